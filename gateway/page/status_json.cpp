#include "status_json.h"

#include "display_text.h"
#include "version.h"

namespace plexer::gateway {

namespace {

using nlohmann::ordered_json;

// A label's value escaped as the text format asks: a port name is the user's text.
std::string Label(const char* name, const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return std::string(name) + "=\"" + escaped + "\"";
}

long long Milliseconds(PollClock::duration age) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(age).count();
}

template <typename T>
ordered_json OrNull(const std::optional<T>& value) {
    return value ? ordered_json(*value) : ordered_json(nullptr);
}

}  // namespace

ordered_json PointsJson(const PointMap& map, std::span<const PointVerdict> verdicts,
                        const std::vector<PointState>& points) {
    ordered_json all = ordered_json::array();
    for (std::size_t i = 0; i < verdicts.size() && i < map.Gates().size(); ++i) {
        const Gate& gate = map.Gates()[i];
        const PointSettings& settings = map.Settings(i);
        const Family family = FamilyOf(gate.typeCode);
        const Verdict& verdict = verdicts[i].verdict;
        ordered_json object = {{"gas", gate.gas},
                               {"unit", gate.unit},
                               {"name", settings.name},
                               {"family", FamilyName(family)},
                               {"quality", ReasonName(verdict.reason)},
                               {"good", verdict.Good()}};
        // What a '?' position returns is no value at all, not even a last one.
        const bool configured = i >= points.size() || points[i].quality != Quality::kNotConfigured;
        const bool shown = verdict.reason != Reason::kNotConfigured && configured;
        object["counts"] = shown ? OrNull(verdict.last) : nullptr;
        object["eu"] = shown ? OrNull(verdicts[i].lastEu) : nullptr;
        object["euName"] = EuNameOf(settings, family);
        object["ageMs"] = verdict.age ? ordered_json(Milliseconds(*verdict.age)) : ordered_json(nullptr);
        if (verdict.reason == Reason::kFailed && i < points.size() && !points[i].lastCause.empty()) {
            object["cause"] = points[i].lastCause;
        }
        all.push_back(object);
    }
    return all;
}

std::string MetricsText(const MetricsSources& sources, PollClock::time_point now) {
    const std::vector<UnitHealth>& units = sources.units;
    std::string text;
    const auto family = [&](const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("plexer_build_info", "gauge", "Always 1: the version of the gateway and the line it serves.");
    text += "plexer_build_info{" + Label("version", Version()) + "," + Label("line", sources.port) + "} 1\n";
    const auto perUnit = [&](const char* name, const char* type, const char* help, auto value) {
        family(name, type, help);
        for (const UnitHealth& unit : units) {
            text += std::string(name) + "{" + Label("unit", std::to_string(unit.unit)) + "} " +
                    std::to_string(value(unit)) + "\n";
        }
    };
    perUnit("plexer_unit_transactions_total", "counter", "Driver transactions with the unit.",
            [](const UnitHealth& u) { return u.counters.transactions; });
    perUnit("plexer_unit_failures_total", "counter", "Driver transactions with the unit that failed.",
            [](const UnitHealth& u) { return u.counters.failures; });
    perUnit("plexer_unit_retries_total", "counter", "Attempts the driver repeated.",
            [](const UnitHealth& u) { return u.counters.retries; });
    perUnit("plexer_unit_demoted", "gauge", "1 while the unit is set aside after failed polls.",
            [&](const UnitHealth& u) { return DemotedAt(u, now) ? 1L : 0L; });
    perUnit("plexer_unit_up", "gauge", "1 when the unit's last poll succeeded.",
            [&](const UnitHealth& u) { return UnitState(u, now) == "ok" ? 1L : 0L; });
    const auto single = [&](const char* name, const char* type, const char* help, long value) {
        family(name, type, help);
        text += std::string(name) + " " + std::to_string(value) + "\n";
    };
    single("plexer_line_up", "gauge", "1 while the line's device is there, 0 while it is lost.",
           sources.line.up ? 1 : 0);
    single("plexer_line_losses_total", "counter", "Times the line's device was lost.", sources.line.losses);
    single("plexer_line_recoveries_total", "counter", "Times the line came back.", sources.line.recoveries);
    family("plexer_modbus_requests_total", "counter", "Modbus requests answered, by function and exception (0: none).");
    for (const auto& [key, count] : sources.requests) {
        const std::string labels = Label("function", "0x" + Hex2(static_cast<unsigned>(key.first))) + "," +
                                   Label("exception", "0x" + Hex2(static_cast<unsigned>(key.second)));
        text += "plexer_modbus_requests_total{" + labels + "} " + std::to_string(count) + "\n";
    }
    family("plexer_point_good", "gauge", "1 while the point's value is served, 0 while it is not.");
    const std::vector<Gate>& gates = sources.map.Gates();
    for (std::size_t i = 0; i < sources.verdicts.size() && i < gates.size(); ++i) {
        text += "plexer_point_good{" + Label("gas", gates[i].gas) + "} " +
                (sources.verdicts[i].verdict.Good() ? "1" : "0") + "\n";
    }
    return text;
}

}  // namespace plexer::gateway
