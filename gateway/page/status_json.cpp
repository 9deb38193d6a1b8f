#include "status_json.h"

#include "display_text.h"
#include "quality.h"

namespace plexer::gateway {

namespace {

using nlohmann::ordered_json;

// What a point's value is worth now: the same judgement as the Modbus answers.
std::string PointQuality(const PointState& point, const UnitSettings& settings, PollClock::time_point now) {
    if (!point.lastResult) return "not read";
    if (*point.lastResult != QSN_OK) return "failed";
    if (!point.lastGood || now - *point.lastGood > settings.maxAge) return "stale";
    return QualityName(point.quality);
}

std::string Label(const char* name, const std::string& value) { return std::string(name) + "=\"" + value + "\""; }

}  // namespace

ordered_json PointsJson(const PointMap& map, const std::vector<PointState>& points, PollClock::time_point now) {
    ordered_json all = ordered_json::array();
    for (std::size_t i = 0; i < points.size() && i < map.Gates().size(); ++i) {
        const PointState& point = points[i];
        const PointSettings& settings = map.Settings(i);
        const Family family = FamilyOf(point.gate.typeCode);
        const UnitMap* unit = map.Unit(point.gate.unit);
        const std::string quality = unit ? PointQuality(point, unit->settings, now) : "not served";
        ordered_json object = {{"gas", point.gate.gas},
                               {"unit", point.gate.unit},
                               {"name", settings.name},
                               {"family", FamilyName(family)},
                               {"quality", quality},
                               {"good", quality == "good"}};
        const bool shown = point.value && quality != "not configured";
        object["counts"] = shown ? ordered_json(*point.value) : nullptr;
        object["eu"] = shown ? ordered_json(EuOf(settings, family, *point.value)) : nullptr;
        object["euName"] = EuNameOf(settings, family);
        object["ageMs"] = point.lastGood ? ordered_json(AgeMs(*point.lastGood, now)) : nullptr;
        if (!point.lastCause.empty() && quality == "failed") object["cause"] = point.lastCause;
        all.push_back(object);
    }
    return all;
}

std::string MetricsText(const std::vector<UnitHealth>& units, const LineHealth& line,
                        const std::map<std::pair<int, int>, long>& requests, PollClock::time_point now) {
    std::string text;
    const auto family = [&](const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
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
    single("plexer_line_up", "gauge", "1 while the line's device is there, 0 while it is lost.", line.up ? 1 : 0);
    single("plexer_line_losses_total", "counter", "Times the line's device was lost.", line.losses);
    single("plexer_line_recoveries_total", "counter", "Times the line came back.", line.recoveries);
    family("plexer_modbus_requests_total", "counter", "Modbus requests answered, by function and exception (0: none).");
    for (const auto& [key, count] : requests) {
        const std::string labels = Label("function", "0x" + Hex2(static_cast<unsigned>(key.first))) + "," +
                                   Label("exception", "0x" + Hex2(static_cast<unsigned>(key.second)));
        text += "plexer_modbus_requests_total{" + labels + "} " + std::to_string(count) + "\n";
    }
    return text;
}

}  // namespace plexer::gateway
