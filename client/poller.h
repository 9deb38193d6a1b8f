// The line's poller, shared by plexer watch and the gateway. Each cycle reads
// every configured unit once per family of points (one frame per unit and
// kind; a family with a single point is read as that point alone), keeps the
// last good value of every point with the time it was read, runs queued
// writes between reads, and sets aside a unit that keeps failing so that one
// dead unit cannot slow the others.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "quality.h"

namespace plexer {

using PollClock = std::chrono::steady_clock;

struct PollerOptions {
    std::chrono::milliseconds interval{1000};  // from the start of one cycle to the start of the next
    int failuresToDemote = 3;                  // polls in a row a unit may fail before it is set aside
    std::chrono::milliseconds demotedFor{10000};  // how long it is then skipped before one more try
};

// One configured gate and what the polls made of it.
struct PointState {
    Gate gate;
    std::optional<std::int16_t> value;  // the last good value
    std::optional<PollClock::time_point> lastGood;
    std::optional<std::int32_t> lastResult;  // of the last poll that read it; none before the first
    std::string lastCause;                   // the driver's line that best says why it last failed
    long failures = 0;
    Quality quality = Quality::kGood;  // of the last good read; only a good value is a reading
};

struct UnitHealth {
    std::int32_t unit = 0;
    Counters counters;  // transactions, failures and retries of this unit's polls and writes
    std::optional<std::int32_t> lastResult;
    std::optional<PollClock::time_point> lastGood;
    std::optional<PollClock::time_point> demotedUntil;  // set while the unit is set aside
};

struct WriteOutcome {
    std::int32_t result = QSN_NO_LINE;
    std::string cause;  // the driver's reason when the result is not 0
};

class Poller {
public:
    // `gates` as validation returned them; the host's line is started.
    Poller(Host& host, std::vector<Gate> gates, PollerOptions options);
    // Writes nobody ran are answered as not done.
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // One cycle on the calling thread. Once `stop` is set it returns after the
    // transaction in progress.
    void Cycle(const std::atomic<bool>& stop);
    // Cycles every interval until `stop`; queued writes run as they arrive,
    // between reads, and those still queued at the stop are run before it returns.
    void Run(const std::atomic<bool>& stop);

    // The rest may be called from any thread while another runs the poller.
    std::vector<PointState> Points() const;
    std::vector<UnitHealth> Units() const;
    // Queues a write of one point; the future holds the driver's result.
    std::future<WriteOutcome> Write(const Gate& gate, std::int16_t value);

private:
    // The points of one unit and family, read with one frame.
    struct Group {
        std::size_t unit = 0;  // index into units_
        std::vector<std::size_t> points;
        bool primed = false;  // every point read once on its own, so the driver configured it
    };
    struct QueuedWrite {
        Gate gate;
        std::int16_t value = 0;
        std::promise<WriteOutcome> promise;
    };
    // How one read went, for the rest of the unit's poll.
    struct ReadOutcome {
        std::int32_t result = QSN_OK;
        std::string cause;
    };

    void PollUnit(std::size_t unit, const std::atomic<bool>& stop);
    std::optional<ReadOutcome> ReadGroup(Group& group, const std::atomic<bool>& stop);
    ReadOutcome ReadPoint(std::size_t unit, std::size_t point);
    ReadOutcome ReadWhole(const Group& group);
    void Judge(std::size_t unit, bool answered);
    bool DueNow(std::size_t unit);
    void CountFor(std::size_t unit, const Counters& before);
    void MarkFailed(std::size_t point, const ReadOutcome& outcome);
    void RunWrites(const std::atomic<bool>* stop);
    void Await(PollClock::time_point until, const std::atomic<bool>& stop);

    Host& host_;
    const PollerOptions options_;
    std::vector<Group> groups_;  // by unit, then family, in the order of the gates
    std::vector<int> failedInRow_;  // only the polling thread

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::vector<PointState> points_;
    std::vector<UnitHealth> units_;
    std::deque<QueuedWrite> writes_;
};

}  // namespace plexer
