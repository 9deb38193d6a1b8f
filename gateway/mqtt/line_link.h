// What the Sparkplug side needs of the poller, in one place: the line as a
// snapshot, writes that report their outcome, and when to look again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <vector>

#include "poller.h"

namespace plexer::gateway::mqtt {

struct LineSnapshot {
    bool lineUp = true;
    std::vector<PointState> points;  // in the poller's order
    std::vector<UnitHealth> units;
    PollClock::time_point now;
};

using WriteDone = std::function<void(const WriteOutcome&)>;

class LineLink {
public:
    LineLink(Poller& poller, const PollerOptions& options);

    LineSnapshot Snapshot() const;
    // Queues the write; `done` runs on the caller's thread from RunFinished.
    void Write(const Gate& gate, std::int16_t value, WriteDone done);
    void RunFinished();
    // When new values may next be there to publish.
    PollClock::time_point NextLook(PollClock::time_point now) const;

private:
    struct Pending {
        std::future<WriteOutcome> outcome;
        WriteDone done;
    };

    Poller& poller_;
    std::chrono::milliseconds look_;
    std::list<Pending> pending_;
};

}  // namespace plexer::gateway::mqtt
