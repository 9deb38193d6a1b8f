#include "sparkplug.h"

#include <algorithm>
#include <cmath>

#include "display_text.h"
#include "sparkplug_b.pb.h"

namespace plexer::gateway::mqtt {

namespace {

using sparkplug::Payload;
using SystemClock = std::chrono::system_clock;

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr std::uint64_t kSeqModulo = 256;
// Counters change on every poll; between line changes they go out this often.
constexpr auto kCountersEvery = std::chrono::seconds(10);

std::uint64_t EpochMs(SystemClock::time_point when) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

// The wall-clock time of a poll, from the steady clock the poller keeps.
std::uint64_t EpochMs(PollClock::time_point when, const LineSnapshot& line) {
    return EpochMs(SystemClock::now() -
                   std::chrono::duration_cast<SystemClock::duration>(line.now - when));
}

// A message sent now, with its place in the sequence.
Payload Stamped(std::uint64_t seq) {
    Payload payload;
    payload.set_timestamp(EpochMs(SystemClock::now()));
    payload.set_seq(seq);
    return payload;
}

std::optional<std::int16_t> ValueOf(const PointState& point) {
    if (point.lastResult != QSN_OK || !point.value) return std::nullopt;
    return point.value;
}

bool Alive(const Device& device, const LineSnapshot& line) {
    if (!line.lineUp) return false;
    const auto health = std::find_if(line.units.begin(), line.units.end(),
                                     [&](const UnitHealth& unit) { return unit.unit == device.unit; });
    return health != line.units.end() && health->lastGood && !health->demotedUntil;
}

// A point's alias, time of its last good read and value, in a birth or in data.
void SetValue(Payload::Metric& metric, const MetricEntry& entry, const PointState& point,
              std::optional<std::int16_t> value, const LineSnapshot& line) {
    metric.set_alias(entry.alias);
    if (point.lastGood) metric.set_timestamp(EpochMs(*point.lastGood, line));
    if (!value) {
        metric.set_is_null(true);
    } else if (entry.type == kBoolean) {
        metric.set_boolean_value(*value != 0);
    } else {
        // Signed types travel as their two's complement in the unsigned field.
        metric.set_int_value(static_cast<std::uint32_t>(static_cast<std::int32_t>(*value)));
    }
}

void AddProperty(Payload::Metric& metric, const std::string& key, const std::string& text) {
    Payload::PropertySet& set = *metric.mutable_properties();
    set.add_keys(key);
    Payload::PropertyValue& value = *set.add_values();
    value.set_type(kString);
    value.set_string_value(text);
}

Payload::Metric& Named(Payload& payload, const std::string& name, DataType type) {
    Payload::Metric& metric = *payload.add_metrics();
    metric.set_name(name);
    metric.set_datatype(type);
    return metric;
}

void AddLineMetrics(Payload& payload, const LineSnapshot& line, const Counters& totals) {
    Named(payload, "Line/Up", kBoolean).set_boolean_value(line.lineUp);
    const std::pair<const char*, long> counts[] = {
        {"Line/Transactions", totals.transactions}, {"Line/Failures", totals.failures}, {"Line/Retries", totals.retries}};
    for (const auto& [name, count] : counts) {
        Named(payload, name, kUInt64).set_long_value(static_cast<std::uint64_t>(std::max(count, 0L)));
    }
}

std::string DeviceIdOf(std::int32_t unit) { return "unit" + Hex2(static_cast<unsigned>(unit)); }

std::optional<long long> NumberOf(const Payload::Metric& metric) {
    switch (metric.value_case()) {
    case Payload::Metric::kBooleanValue: return metric.boolean_value() ? 1 : 0;
    case Payload::Metric::kIntValue:
        // An Int16 or Int32 command carries its sign in the top bit.
        return metric.datatype() <= kInt64 ? static_cast<std::int32_t>(metric.int_value())
                                           : static_cast<long long>(metric.int_value());
    case Payload::Metric::kLongValue: return static_cast<long long>(metric.long_value());
    case Payload::Metric::kFloatValue:
    case Payload::Metric::kDoubleValue: {
        const double value = metric.has_float_value() ? metric.float_value() : metric.double_value();
        if (!std::isfinite(value) || value != std::trunc(value) || std::fabs(value) > 1e9) return std::nullopt;
        return static_cast<long long>(value);
    }
    default: return std::nullopt;
    }
}

}  // namespace

std::vector<Device> DevicesOf(const PointMap& map, const MqttConfig& config) {
    std::vector<Device> devices;
    const std::vector<Gate>& gates = map.Gates();
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const Gate& gate = gates[i];
        auto device = std::find_if(devices.begin(), devices.end(), [&](const Device& d) { return d.unit == gate.unit; });
        if (device == devices.end()) device = devices.insert(devices.end(), Device{gate.unit, DeviceIdOf(gate.unit), {}});
        const Family family = FamilyOf(gate.typeCode);
        const auto own = config.deadbands.find(gate.gas);
        const double deadband = own == config.deadbands.end() ? config.deadband : own->second;
        device->metrics.push_back(MetricEntry{
            .point = i,
            .alias = i + 1,
            .name = gate.gas,
            .engUnit = family == Family::kTemperature ? "degC" : "",
            .type = IsDigital(family) ? kBoolean : kInt16,
            .deadband = IsDigital(family) ? 0 : deadband,
            .output = family == Family::kDigitalOut || family == Family::kAnalogOut});
    }
    std::sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) { return a.unit < b.unit; });
    return devices;
}

EdgeNode::EdgeNode(const MqttConfig& config, std::vector<Device> devices)
    : config_(config), devices_(std::move(devices)), shown_(devices_.size()) {}

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

std::vector<Outgoing> EdgeNode::Birth(const LineSnapshot& line, std::uint64_t bdSeq) {
    seq_ = 0;
    Payload payload = Stamped(NextSeq());
    Named(payload, "bdSeq", kInt64).set_long_value(bdSeq);
    Named(payload, kRebirth, kBoolean).set_boolean_value(false);
    lineUp_ = line.lineUp;
    counters_ = TotalOf(line.units);
    countersAt_ = line.now;
    AddLineMetrics(payload, line, counters_);
    std::vector<Outgoing> out{{Topic("NBIRTH"), payload.SerializeAsString()}};
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        shown_[d] = Shown{};
        if (Alive(devices_[d], line)) out.push_back(DeviceBirth(d, line));
    }
    return out;
}

Outgoing EdgeNode::DeviceBirth(std::size_t d, const LineSnapshot& line) {
    const Device& device = devices_[d];
    Payload payload = Stamped(NextSeq());
    Shown& shown = shown_[d];
    shown.alive = true;
    shown.values.clear();
    for (const MetricEntry& entry : device.metrics) {
        const PointState& point = line.points[entry.point];
        Payload::Metric& metric = Named(payload, entry.name, entry.type);
        SetValue(metric, entry, point, ValueOf(point), line);
        AddProperty(metric, "gas", point.gate.gas);
        AddProperty(metric, "access", entry.output ? "read-write" : "read-only");
        if (!entry.engUnit.empty()) AddProperty(metric, "engUnit", entry.engUnit);
        shown.values.push_back(ValueOf(point));
    }
    return {Topic("DBIRTH", device.id), payload.SerializeAsString()};
}

std::optional<Outgoing> EdgeNode::DeviceData(std::size_t d, const LineSnapshot& line) {
    const Device& device = devices_[d];
    Shown& shown = shown_[d];
    Payload payload;
    for (std::size_t m = 0; m < device.metrics.size(); ++m) {
        const MetricEntry& entry = device.metrics[m];
        const PointState& point = line.points[entry.point];
        const std::optional<std::int16_t> now = ValueOf(point);
        const std::optional<std::int16_t>& before = shown.values[m];
        const bool changed = now.has_value() != before.has_value() ||
                             (now && (entry.type == kBoolean ? (*now != 0) != (*before != 0)
                                                            : std::abs(*now - *before) > entry.deadband));
        if (!changed) continue;
        SetValue(*payload.add_metrics(), entry, point, now, line);
        shown.values[m] = now;
    }
    if (payload.metrics_size() == 0) return std::nullopt;
    payload.set_timestamp(EpochMs(SystemClock::now()));
    payload.set_seq(NextSeq());
    return Outgoing{Topic("DDATA", device.id), payload.SerializeAsString()};
}

std::optional<Outgoing> EdgeNode::NodeData(const LineSnapshot& line) {
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

std::vector<Outgoing> EdgeNode::Changes(const LineSnapshot& line) {
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

bool EdgeNode::AsksRebirth(const std::string& text) {
    Payload payload;
    if (!payload.ParseFromString(text)) return false;
    return std::any_of(payload.metrics().begin(), payload.metrics().end(), [](const Payload::Metric& metric) {
        return metric.name() == kRebirth && metric.has_boolean_value() && metric.boolean_value();
    });
}

std::optional<std::pair<const Device*, std::vector<CommandWrite>>> EdgeNode::DeviceCommand(
    const std::string& topic, const std::string& text) const {
    const auto device = std::find_if(devices_.begin(), devices_.end(),
                                     [&](const Device& d) { return Topic("DCMD", d.id) == topic; });
    Payload payload;
    if (device == devices_.end() || !payload.ParseFromString(text)) return std::nullopt;
    std::vector<CommandWrite> writes;
    for (const Payload::Metric& metric : payload.metrics()) {
        const auto entry = std::find_if(device->metrics.begin(), device->metrics.end(), [&](const MetricEntry& s) {
            return metric.has_name() ? s.name == metric.name() : s.alias == metric.alias();
        });
        writes.push_back({.metric = entry == device->metrics.end() ? nullptr : &*entry,
                          .name = metric.has_name() ? metric.name() : "alias " + std::to_string(metric.alias()),
                          .value = NumberOf(metric)});
    }
    return std::make_pair(&*device, writes);
}

}  // namespace plexer::gateway::mqtt
