// The line's poller, shared by plexer watch and the gateway. Each cycle reads
// every configured unit once per family of points (one frame per unit and
// kind; a family with a single point is read as that point alone), keeps the
// last good value of every point with the time it was read, runs queued
// writes between reads (a few at a time, so that polls go on), sets aside a
// unit that keeps failing so that one dead unit cannot slow the others, and
// closes and reopens the line when its device has gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "quality.h"

namespace plexer {

using PollClock = std::chrono::steady_clock;

// The line's device as the host sees it, to tell a device gone from a silent line.
class LineDevice {
public:
    virtual ~LineDevice() = default;
    // Why the device the line was last opened on is gone, or nothing while it is there.
    virtual std::optional<std::string> Gone() const = 0;
    // Whether a device is there now, the same or another, to reopen the line on.
    virtual bool Present() const = 0;
    // The name to give the driver for the device there now.
    virtual std::string DriverName() const = 0;
    // The line has been opened again on the device there now.
    virtual void Opened() = 0;
};

struct PollerOptions {
    std::chrono::milliseconds interval{1000};  // from the start of one cycle to the start of the next
    int failuresToDemote = 3;  // polls in a row a unit that has answered may fail before it is set aside
    std::chrono::milliseconds demotedFor{10000};  // the first time it is set aside; doubles while it stays silent
    std::chrono::milliseconds demotedForMost{300000};  // the longest it is set aside
    int writesBetweenPolls = 4;  // so that a storm of writes cannot starve the polls
    // Asked after a transaction found no complete reply; none: the line is never taken for lost.
    LineDevice* device = nullptr;
    // The line lost and back, one line each.
    std::function<void(const std::string&)> note;
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

struct Verdict;

struct UnitHealth {
    std::int32_t unit = 0;
    Counters counters;  // transactions, failures and retries of this unit's polls and writes
    std::optional<std::int32_t> lastResult;
    std::optional<PollClock::time_point> lastGood;
    std::optional<PollClock::time_point> demotedUntil;  // set while the unit is set aside
    std::chrono::milliseconds demotedFor{0};  // how long this demotion lasts; 0 when not demoted
    int failedInRow = 0;                      // polls
};

// Set aside at `now`: its polls skipped until its time is up.
inline bool DemotedAt(const UnitHealth& unit, PollClock::time_point now) {
    return unit.demotedUntil && *unit.demotedUntil > now;
}

// The line's counters: every unit's added up.
Counters TotalOf(const std::vector<UnitHealth>& units);

struct LineHealth {
    bool up = true;
    std::optional<PollClock::time_point> lostSince;  // while down
    long losses = 0;
    long recoveries = 0;
    std::string lastLoss;  // why the line was last taken for lost
};

enum class WriteFate {
    kWritten,      // the driver did it
    kFailed,       // the driver's result was not 0: refused, or no good reply
    kNotDone,      // the poller stopped first
    kUnavailable,  // refused at once: the unit is set aside or the line is lost
};

struct WriteOutcome {
    WriteFate fate = WriteFate::kNotDone;
    std::int32_t result = QSN_NO_LINE;  // the driver's, when it ran
    std::string cause;                  // why it was not written
};

class Poller {
public:
    using WriteDone = std::function<void(const WriteOutcome&)>;

    // `gates` as validation returned them; the host's line is started.
    Poller(Host& host, std::vector<Gate> gates, PollerOptions options);
    // Writes nobody ran are answered as not done.
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Cycles every interval, keeping its phase, until Stop; queued writes run
    // between reads and while it waits. `afterCycle` is called on this thread
    // with the number of the cycle just ended.
    void Run(const std::function<void(long cycle)>& afterCycle = {});
    // Ends Run at once, or after the transaction in progress: writes still
    // queued run until `drain` has passed, the rest are answered as not done.
    // Any thread; writes submitted afterwards are not done.
    void Stop(std::chrono::milliseconds drain = std::chrono::milliseconds(0));

    // The rest may be called from any thread while another runs the poller.
    // Points in the order of the gates given; fixed for the poller's life.
    const std::vector<Gate>& Gates() const { return gates_; }
    std::vector<PointState> Points() const { return Locked(points_); }
    // The verdicts of the points at `indices` (into Gates()) into `out`, under
    // one short lock; `maxAge` of a point's index, none: never stale.
    using MaxAgeOf = std::function<std::optional<std::chrono::milliseconds>(std::size_t)>;
    void Judge(std::span<const std::size_t> indices, const MaxAgeOf& maxAge, PollClock::time_point now,
               std::span<Verdict> out) const;
    std::vector<UnitHealth> Units() const { return Locked(units_); }
    std::optional<UnitHealth> Unit(std::int32_t unit) const;
    LineHealth Line() const { return Locked(line_); }

    // Queues a write of one point; `done` is called once with its outcome, on
    // the poller's thread or, when it is refused at once, on the caller's
    // before Submit returns. It must not call back into the poller.
    void Submit(const Gate& gate, std::int16_t value, WriteDone done);
    // The same, for a caller that waits.
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
        WriteDone done;
    };
    // How one read went, for the rest of the unit's poll.
    struct ReadOutcome {
        std::int32_t result = QSN_OK;
        std::string cause;
    };
    struct Standing {
        bool everAnswered = false;
        std::chrono::milliseconds nextDemotion{0};
    };

    void Cycle();
    void PollUnit(std::size_t unit);
    std::optional<ReadOutcome> ReadGroup(Group& group);
    ReadOutcome ReadCounted(std::size_t unit, std::span<const std::size_t> points, bool wholeUnit,
                            const std::function<void(const Transfer&, PollClock::time_point)>& take);
    ReadOutcome ReadPoint(std::size_t unit, std::size_t point);
    ReadOutcome ReadWhole(const Group& group);
    void Judge(std::size_t unit, bool answered);
    bool DueNow(std::size_t unit, bool& probe);
    void CountFor(std::size_t unit, const Counters& before);
    void MarkGood(std::size_t point, std::int16_t value, Quality quality, PollClock::time_point now);
    void MarkFailed(std::span<const std::size_t> points, const ReadOutcome& outcome);
    bool RunWrites(int most);
    bool RunOneWrite();
    void DoWrite(QueuedWrite write);
    std::optional<std::string> Refusal(const Gate& gate) const;
    std::optional<std::size_t> UnitIndex(std::int32_t unit) const;
    void AfterNoReply();
    void LoseLine(const std::string& reason);
    bool TryReopen();
    void Wait(PollClock::time_point until);
    void Drain();
    void AnswerLeft(const std::string& cause);
    bool Stopping() const { return Locked(stopping_); }
    bool LineUp() const { return Locked(line_.up); }
    // A copy of `member` taken under the lock.
    template <class T>
    T Locked(const T& member) const {
        const std::lock_guard lock(mutex_);
        return member;
    }
    Host& host_;
    const PollerOptions options_;
    const std::vector<Gate> gates_;
    std::vector<Group> groups_;       // by unit, then family, in the order of the gates
    std::vector<Standing> standing_;  // only the polling thread
    // Only the polling thread: when to look for the lost line's device again, and to reopen it.
    std::chrono::milliseconds reopenBackoff_;
    PollClock::time_point nextCheck_;
    PollClock::time_point nextReopen_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::vector<PointState> points_;
    std::vector<UnitHealth> units_;
    std::deque<QueuedWrite> writes_;
    LineHealth line_;
    bool stopping_ = false;
    PollClock::time_point drainUntil_;
};

}  // namespace plexer
