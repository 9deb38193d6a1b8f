#include "sparkplug.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "display_text.h"
#include "sparkplug_b.pb.h"
#include "version.h"

namespace plexer::gateway::mqtt {

namespace {

using sparkplug::Payload;
using SystemClock = std::chrono::system_clock;

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr std::uint64_t kSeqModulo = 256;
// Counters change on every poll; between line changes they go out this often.
constexpr auto kCountersEvery = std::chrono::seconds(10);
// The quality a SCADA host reads beside a value: good, stale, or bad.
constexpr std::int32_t kQualityGood = 192;
constexpr std::int32_t kQualityStale = 500;
constexpr std::int32_t kQualityBad = 0;

std::uint64_t EpochMs(SystemClock::time_point when) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

// A message sent now, with its place in the sequence.
Payload Stamped(std::uint64_t seq) {
    Payload payload;
    payload.set_timestamp(EpochMs(SystemClock::now()));
    payload.set_seq(seq);
    return payload;
}

// As the verdict has it: a unit not read yet is born with its metrics null;
// only a unit set aside or a lost line is dead.
bool Alive(const Device& device, const LineView& line) {
    if (!line.lineUp) return false;
    const auto health = std::ranges::find(line.units, device.unit, &UnitHealth::unit);
    return health != line.units.end() && !DemotedAt(*health, line.now);
}

// The value a good verdict publishes, in the metric's unit; none otherwise.
std::optional<double> PublishedOf(const MetricEntry& entry, const PointVerdict& point) {
    if (!point.verdict.Good()) return std::nullopt;
    if (entry.type == kFloat) return point.eu;
    return *point.verdict.counts;
}

std::int32_t QualityOf(Reason reason) {
    if (reason == Reason::kGood) return kQualityGood;
    return reason == Reason::kStale ? kQualityStale : kQualityBad;
}

Payload::PropertyValue& AddProperty(Payload::Metric& metric, const std::string& key, DataType type) {
    Payload::PropertySet& set = *metric.mutable_properties();
    set.add_keys(key);
    Payload::PropertyValue& value = *set.add_values();
    value.set_type(type);
    return value;
}

void AddText(Payload::Metric& metric, const std::string& key, const std::string& text) {
    AddProperty(metric, key, kString).set_string_value(text);
}

void AddQuality(Payload::Metric& metric, Reason reason) {
    // Int32 travels as its two's complement in the unsigned field.
    AddProperty(metric, "Quality", kInt32).set_int_value(static_cast<std::uint32_t>(QualityOf(reason)));
}

// A point's alias, datatype, time of its last good read, and value or its
// absence with the reason; `wasGood` none in a birth.
void SetValue(Payload::Metric& metric, const MetricEntry& entry, const PointVerdict& point,
              std::optional<bool> wasGood) {
    metric.set_alias(entry.alias);
    metric.set_datatype(entry.type);
    const Verdict& verdict = point.verdict;
    if (verdict.age) {
        metric.set_timestamp(
            EpochMs(SystemClock::now() - std::chrono::duration_cast<SystemClock::duration>(*verdict.age)));
    }
    const std::optional<double> value = PublishedOf(entry, point);
    if (!value) {
        metric.set_is_null(true);
        AddQuality(metric, verdict.reason);
        AddText(metric, "reason", ReasonName(verdict.reason));
        return;
    }
    if (entry.type == kBoolean) {
        metric.set_boolean_value(*value != 0);
    } else if (entry.type == kFloat) {
        metric.set_float_value(static_cast<float>(*value));
    } else {
        // Signed types travel as their two's complement in the unsigned field.
        metric.set_int_value(static_cast<std::uint32_t>(static_cast<std::int32_t>(*value)));
    }
    if (wasGood == false) AddQuality(metric, Reason::kGood);
}

Payload::Metric& Named(Payload& payload, const std::string& name, DataType type) {
    Payload::Metric& metric = *payload.add_metrics();
    metric.set_name(name);
    metric.set_datatype(type);
    return metric;
}

void AddLineMetrics(Payload& payload, const LineView& line, const Counters& totals) {
    Named(payload, "Line/Up", kBoolean).set_boolean_value(line.lineUp);
    const std::pair<const char*, long> counts[] = {
        {"Line/Transactions", totals.transactions}, {"Line/Failures", totals.failures}, {"Line/Retries", totals.retries}};
    for (const auto& [name, count] : counts) {
        Named(payload, name, kUInt64).set_long_value(static_cast<std::uint64_t>(std::max(count, 0L)));
    }
}

std::string DeviceIdOf(std::int32_t unit) { return "unit" + Hex2(static_cast<unsigned>(unit)); }

// A command's value as a number, whatever its datatype; none for null, text or bytes.
std::optional<double> NumberOf(const Payload::Metric& metric) {
    if (metric.is_null()) return std::nullopt;
    switch (metric.value_case()) {
    case Payload::Metric::kBooleanValue: return metric.boolean_value() ? 1 : 0;
    case Payload::Metric::kIntValue:
        // An Int8, Int16 or Int32 carries its sign in the top bit.
        return metric.datatype() <= kInt32 ? static_cast<double>(static_cast<std::int32_t>(metric.int_value()))
                                           : static_cast<double>(metric.int_value());
    case Payload::Metric::kLongValue:
        return metric.datatype() == kInt64 ? static_cast<double>(static_cast<std::int64_t>(metric.long_value()))
                                           : static_cast<double>(metric.long_value());
    case Payload::Metric::kFloatValue: return metric.float_value();
    case Payload::Metric::kDoubleValue: return metric.double_value();
    default: return std::nullopt;
    }
}

std::string Grouped(std::size_t count) {
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// A command's refused metrics, counted by reason, each with the first it refused.
class Faults {
public:
    void Add(const std::string& reason, const std::string& metric) {
        auto [fault, fresh] = byReason_.try_emplace(reason, Fault{0, metric});
        ++fault->second.count;
        if (fresh) order_.push_back(reason);
        ++total_;
    }
    std::size_t Total() const { return total_; }
    // "no such metric (first: zz1)", or with several reasons each counted: "2 no such metric (first: zz1), ...".
    std::string Text() const {
        std::string text;
        for (const std::string& reason : order_) {
            const Fault& fault = byReason_.at(reason);
            if (!text.empty()) text += ", ";
            if (order_.size() > 1) text += Grouped(fault.count) + " ";
            text += reason + " (first: " + fault.first + ")";
        }
        return text;
    }

private:
    struct Fault {
        std::size_t count;
        std::string first;
    };
    std::map<std::string, Fault> byReason_;
    std::vector<std::string> order_;
    std::size_t total_ = 0;
};

MetricEntry EntryOf(const Running& running, std::size_t i, const MqttConfig& mqtt) {
    const Gate& gate = running.map.Gates()[i];
    const Family family = FamilyOf(gate.typeCode);
    const PointSettings& settings = running.map.Settings(i);
    const UnitMap* unit = running.map.Unit(gate.unit);
    const bool readOnly = running.config.readOnly || unit == nullptr || unit->settings.readOnly;
    const bool output = family == Family::kDigitalOut || family == Family::kAnalogOut;
    const auto own = mqtt.deadbands.find(gate.gas);
    const bool ranged = IsAnalog(family) && settings.euLow && settings.euHigh;
    MetricEntry entry{.point = i,
                      .alias = i + 1,
                      .gas = gate.gas,
                      .name = settings.name,
                      .engUnit = EuNameOf(settings, family),
                      .engLow = ranged ? settings.euLow : std::nullopt,
                      .engHigh = ranged ? settings.euHigh : std::nullopt,
                      .type = kInt16,
                      .deadband = own == mqtt.deadbands.end() ? mqtt.deadband : own->second,
                      .writable = output && !readOnly};
    if (IsDigital(family)) {
        entry.type = kBoolean;
        entry.deadband = 0;
    } else if (settings.serving != Serving::kRaw) {
        entry.type = kFloat;
    }
    return entry;
}

}  // namespace

std::vector<Device> DevicesOf(const Running& running) {
    std::vector<Device> devices;
    const std::vector<Gate>& gates = running.map.Gates();
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const std::int32_t unit = gates[i].unit;
        auto device = std::ranges::find(devices, unit, &Device::unit);
        if (device == devices.end()) device = devices.insert(devices.end(), Device{unit, DeviceIdOf(unit), {}});
        device->metrics.push_back(EntryOf(running, i, running.config.mqtt));
    }
    std::ranges::sort(devices, {}, &Device::unit);
    return devices;
}

EdgeNode::EdgeNode(const MqttConfig& config, std::vector<Device> devices, std::string line)
    : config_(config), line_(std::move(line)), devices_(std::move(devices)), shown_(devices_.size()) {}

void EdgeNode::Replace(std::vector<Device> devices) {
    devices_ = std::move(devices);
    shown_.assign(devices_.size(), DeviceShown{});
}

std::string EdgeNode::Topic(const char* type, const std::string& device) const {
    std::string topic = std::string(kNamespace) + "/" + config_.groupId + "/" + type + "/" + config_.edgeNodeId;
    return device.empty() ? topic : topic + "/" + device;
}

std::string EdgeNode::DeathPayload(std::uint64_t bdSeq) const {
    Payload payload;
    payload.set_timestamp(EpochMs(SystemClock::now()));
    Named(payload, "bdSeq", kInt64).set_long_value(bdSeq);
    return payload.SerializeAsString();
}

std::uint64_t EdgeNode::NextSeq() {
    const std::uint64_t seq = seq_;
    seq_ = (seq_ + 1) % kSeqModulo;
    return seq;
}

std::vector<Outgoing> EdgeNode::Birth(const LineView& line, std::uint64_t bdSeq) {
    seq_ = 0;
    Payload payload = Stamped(NextSeq());
    Named(payload, "bdSeq", kInt64).set_long_value(bdSeq);
    Named(payload, kRebirth, kBoolean).set_boolean_value(false);
    Named(payload, "Properties/Version", kString).set_string_value(Version());
    Named(payload, "Properties/Line", kString).set_string_value(line_);
    lineUp_ = line.lineUp;
    counters_ = TotalOf(line.units);
    countersAt_ = line.now;
    AddLineMetrics(payload, line, counters_);
    std::vector<Outgoing> out{{Topic("NBIRTH"), payload.SerializeAsString()}};
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        shown_[d] = DeviceShown{};
        if (Alive(devices_[d], line)) out.push_back(DeviceBirth(d, line));
    }
    return out;
}

Outgoing EdgeNode::DeviceBirth(std::size_t d, const LineView& line) {
    const Device& device = devices_[d];
    Payload payload = Stamped(NextSeq());
    DeviceShown& shown = shown_[d];
    shown.alive = true;
    shown.metrics.clear();
    for (const MetricEntry& entry : device.metrics) {
        const PointVerdict& point = line.points[entry.point];
        Payload::Metric& metric = Named(payload, entry.gas, entry.type);
        SetValue(metric, entry, point, std::nullopt);
        AddText(metric, "gas", entry.gas);
        if (!entry.name.empty()) AddText(metric, "name", entry.name);
        if (!entry.engUnit.empty()) AddText(metric, "engUnit", entry.engUnit);
        if (entry.engLow) AddProperty(metric, "engLow", kDouble).set_double_value(*entry.engLow);
        if (entry.engHigh) AddProperty(metric, "engHigh", kDouble).set_double_value(*entry.engHigh);
        AddText(metric, "access", entry.writable ? "read-write" : "read-only");
        shown.metrics.push_back(Shown{point.verdict.reason, PublishedOf(entry, point)});
    }
    return {Topic("DBIRTH", device.id), payload.SerializeAsString()};
}

std::optional<Outgoing> EdgeNode::DeviceData(std::size_t d, const LineView& line) {
    const Device& device = devices_[d];
    DeviceShown& shown = shown_[d];
    Payload payload;
    for (std::size_t m = 0; m < device.metrics.size(); ++m) {
        const MetricEntry& entry = device.metrics[m];
        const PointVerdict& point = line.points[entry.point];
        const Shown now{point.verdict.reason, PublishedOf(entry, point)};
        const Shown& before = shown.metrics[m];
        const bool changed = now.reason != before.reason ||
                             (now.value && before.value && std::fabs(*now.value - *before.value) > entry.deadband);
        if (!changed) continue;
        SetValue(*payload.add_metrics(), entry, point, before.reason == Reason::kGood);
        shown.metrics[m] = now;
    }
    if (payload.metrics_size() == 0) return std::nullopt;
    payload.set_timestamp(EpochMs(SystemClock::now()));
    payload.set_seq(NextSeq());
    return Outgoing{Topic("DDATA", device.id), payload.SerializeAsString()};
}

std::optional<Outgoing> EdgeNode::NodeData(const LineView& line) {
    const Counters totals = TotalOf(line.units);
    const bool countersDue = line.now - countersAt_ >= kCountersEvery &&
                             (totals.transactions != counters_.transactions || totals.failures != counters_.failures);
    if (line.lineUp == lineUp_ && !countersDue) return std::nullopt;
    lineUp_ = line.lineUp;
    counters_ = totals;
    countersAt_ = line.now;
    Payload payload = Stamped(NextSeq());
    AddLineMetrics(payload, line, totals);
    return Outgoing{Topic("NDATA"), payload.SerializeAsString()};
}

std::vector<Outgoing> EdgeNode::Changes(const LineView& line) {
    std::vector<Outgoing> out;
    if (auto node = NodeData(line)) out.push_back(std::move(*node));
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        const bool alive = Alive(devices_[d], line);
        if (alive && !shown_[d].alive) {
            out.push_back(DeviceBirth(d, line));
        } else if (!alive && shown_[d].alive) {
            shown_[d].alive = false;
            out.push_back({Topic("DDEATH", devices_[d].id), Stamped(NextSeq()).SerializeAsString()});
        } else if (alive) {
            if (auto data = DeviceData(d, line)) out.push_back(std::move(*data));
        }
    }
    return out;
}

namespace {

Reason ReasonNamed(const std::string& name) {
    for (auto reason = Reason::kGood; reason <= Reason::kLineLost;
         reason = static_cast<Reason>(static_cast<int>(reason) + 1)) {
        if (name == ReasonName(reason)) return reason;
    }
    return Reason::kFailed;
}

}  // namespace

std::vector<Forwarded> EdgeNode::Historical(const std::vector<HistoryRow>& rows) {
    constexpr int kMostMetrics = 64;
    std::vector<Forwarded> out;
    Payload payload;
    std::size_t device = 0;
    HistoryCursor through;
    const auto flush = [&] {
        if (payload.metrics_size() == 0) return;
        payload.set_timestamp(EpochMs(SystemClock::now()));
        payload.set_seq(NextSeq());
        out.push_back({{Topic("DDATA", devices_[device].id), payload.SerializeAsString()}, through});
        payload.Clear();
    };
    for (const HistoryRow& row : rows) {
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            const auto entry = std::ranges::find(devices_[d].metrics, row.source, &MetricEntry::gas);
            if (entry == devices_[d].metrics.end()) continue;
            if (d != device || payload.metrics_size() >= kMostMetrics) flush();
            device = d;
            PointVerdict point{};
            point.verdict.reason = ReasonNamed(row.quality);
            point.verdict.counts = row.counts;
            point.eu = row.eu;
            Payload::Metric& metric = *payload.add_metrics();
            SetValue(metric, *entry, point, std::nullopt);
            metric.set_timestamp(static_cast<std::uint64_t>(row.atMs));
            metric.set_is_historical(true);
        }
        through = {row.atMs, row.id};
    }
    flush();
    if (!rows.empty() && (out.empty() || out.back().through.id != through.id)) out.push_back({{}, through});
    return out;
}

bool EdgeNode::AsksRebirth(const std::string& text) {
    Payload payload;
    if (!payload.ParseFromString(text)) return false;
    return std::ranges::any_of(payload.metrics(), [](const Payload::Metric& metric) {
        return metric.name() == kRebirth && metric.has_boolean_value() && metric.boolean_value();
    });
}

std::optional<DeviceCommand> EdgeNode::Command(const std::string& topic, const std::string& text,
                                               const Running& running) const {
    const auto device =
        std::ranges::find_if(devices_, [&](const Device& d) { return Topic("DCMD", d.id) == topic; });
    Payload payload;
    if (device == devices_.end() || !payload.ParseFromString(text)) return std::nullopt;
    DeviceCommand command{.device = &*device, .refusal = "", .plan = {}};
    const auto metrics = static_cast<std::size_t>(payload.metrics_size());
    if (metrics > kMaxCommandMetrics) {
        command.refusal = "refused whole: " + Grouped(metrics) + " metrics, more than " +
                          std::to_string(kMaxCommandMetrics) + " in one command";
        return command;
    }
    Faults faults;
    std::vector<WriteItem> items;
    for (const Payload::Metric& metric : payload.metrics()) {
        const std::string name = metric.has_name() ? metric.name() : "alias " + std::to_string(metric.alias());
        const auto entry = std::ranges::find_if(device->metrics, [&](const MetricEntry& e) {
            return metric.has_name() ? e.gas == metric.name() : e.alias == metric.alias();
        });
        if (entry == device->metrics.end()) {
            faults.Add("no such metric", name);
            continue;
        }
        const std::optional<double> value = NumberOf(metric);
        if (!value) {
            faults.Add("not a number or true/false", name);
            continue;
        }
        // In the unit the metric is published in: EU for a Float, counts or 0/1 otherwise.
        const WriteItem item{entry->point, *value, entry->type == kFloat};
        const Refusal refusal = PlanWrites(running, std::span(&item, 1)).refusal;
        if (refusal != Refusal::kNone) {
            faults.Add(RefusalText(refusal), name);
            continue;
        }
        items.push_back(item);
    }
    if (faults.Total() > 0) {
        command.refusal = "refused " + Grouped(faults.Total()) + " of " + Grouped(metrics) +
                          " metrics: " + faults.Text() + "; nothing written";
        return command;
    }
    command.plan = PlanWrites(running, items);
    if (command.plan.refusal != Refusal::kNone) {
        command.refusal = std::string("refused: ") + RefusalText(command.plan.refusal);
    }
    return command;
}

}  // namespace plexer::gateway::mqtt
