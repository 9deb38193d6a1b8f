// The line's and the units' state as JSON, the same for the status page and
// for the health the gateway prints on SIGUSR1 and at exit.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "poller.h"

namespace plexer::gateway {

long long AgeMs(PollClock::time_point then, PollClock::time_point now);

// "ok", "failed", "demoted" or "not read".
std::string UnitState(const UnitHealth& unit, PollClock::time_point now);

nlohmann::ordered_json UnitsJson(const std::vector<UnitHealth>& units, PollClock::time_point now);
// The line: up or lost (since when, why), how often lost and back.
nlohmann::ordered_json LineJson(const LineHealth& line, PollClock::time_point now);

}  // namespace plexer::gateway
