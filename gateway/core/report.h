// What the gateway prints: the health of each unit on SIGUSR1 and at exit;
// text for people, JSON for scripts.
#pragma once

#include <vector>

#include "format.h"
#include "poller.h"

namespace plexer::gateway {

void PrintHealth(const Output& out, const std::vector<UnitHealth>& units, const LineHealth& line,
                 PollClock::time_point now);

}  // namespace plexer::gateway
