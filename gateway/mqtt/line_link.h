// What the Sparkplug side needs of the poller, in one place: the line as a
// snapshot, and writes that report their outcome.
#pragma once

#include <cstdint>
#include <vector>

#include "poller.h"

namespace plexer::gateway::mqtt {

struct LineSnapshot {
    bool lineUp = true;
    std::vector<PointState> points;  // in the poller's order
    std::vector<UnitHealth> units;
    PollClock::time_point now;
};

class LineLink {
public:
    explicit LineLink(Poller& poller) : poller_(poller) {}

    LineSnapshot Snapshot() const;
    // `done` runs once, on the poller's thread or on this one.
    void Write(const Gate& gate, std::int16_t value, Poller::WriteDone done);

private:
    Poller& poller_;
};

}  // namespace plexer::gateway::mqtt
