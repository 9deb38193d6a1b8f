#include "state_json.h"

namespace plexer::gateway {

using nlohmann::ordered_json;

long long AgeMs(PollClock::time_point then, PollClock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
}

// "ok", "failed", "demoted" or "not read".
std::string UnitState(const UnitHealth& unit, PollClock::time_point now) {
    if (DemotedAt(unit, now)) return "demoted";
    if (!unit.lastResult) return "not read";
    return *unit.lastResult == QSN_OK ? "ok" : "failed";
}

ordered_json UnitsJson(const std::vector<UnitHealth>& units, PollClock::time_point now) {
    ordered_json all = ordered_json::array();
    for (const UnitHealth& unit : units) {
        ordered_json object = {{"unit", unit.unit},
                               {"state", UnitState(unit, now)},
                               {"transactions", unit.counters.transactions},
                               {"failures", unit.counters.failures},
                               {"retries", unit.counters.retries},
                               {"demoted", DemotedAt(unit, now)}};
        object["lastResult"] = unit.lastResult ? ordered_json(*unit.lastResult) : nullptr;
        object["lastGoodAgeMs"] = unit.lastGood ? ordered_json(AgeMs(*unit.lastGood, now)) : nullptr;
        all.push_back(object);
    }
    return all;
}

ordered_json LineJson(const LineHealth& line, PollClock::time_point now) {
    ordered_json object = {{"up", line.up}, {"losses", line.losses}, {"recoveries", line.recoveries}};
    object["lostForMs"] = line.lostSince ? ordered_json(AgeMs(*line.lostSince, now)) : nullptr;
    object["lastLoss"] = line.lastLoss;
    return object;
}

}  // namespace plexer::gateway
