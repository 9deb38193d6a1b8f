// The core of one line, with no protocol in it: the running settings, the
// verdict on every point, the plan and queue of every write, and the line's
// state. Modbus, the page and Sparkplug each ask it and nothing else.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "history_source.h"
#include "logger.h"
#include "poller.h"
#include "running.h"
#include "verdict.h"
#include "write_plan.h"

namespace plexer::gateway {

// A point's verdict with its value also in the point's engineering unit.
struct PointVerdict {
    Verdict verdict;
    std::optional<double> eu;      // of the counts served: only when good
    std::optional<double> lastEu;  // of the last good value, to show
};

class LineCore {
public:
    // `poller` runs the line whose gates the snapshots' maps hold, in its order.
    LineCore(Poller& poller, RunningPtr first, const Logger& logger);
    LineCore(const LineCore&) = delete;
    LineCore& operator=(const LineCore&) = delete;

    // Every request takes the current snapshot once and answers from it.
    RunningPtr Settings() const { return running_.Current(); }
    // Swaps in a new snapshot, then tells each listener (on the caller's thread).
    void Reload(RunningPtr next);
    // Before serving starts; called after each reload.
    void OnReload(std::function<void()> listener) { listeners_.push_back(std::move(listener)); }

    const std::vector<Gate>& Gates() const { return poller_.Gates(); }
    std::vector<PointVerdict> Judge(const Running& running, std::span<const std::size_t> points,
                                    PollClock::time_point now) const;
    std::vector<PointVerdict> JudgeAll(const Running& running, PollClock::time_point now) const;

    std::vector<PointState> Points() const { return poller_.Points(); }
    std::vector<UnitHealth> Units() const { return poller_.Units(); }
    std::optional<UnitHealth> Unit(std::int32_t unit) const { return poller_.Unit(unit); }
    LineHealth Line() const { return poller_.Line(); }

    // Queues a plan with no refusal; `done` is called once per write, with its
    // index in the plan, on the poller's thread or, refused at once, on this one.
    using WriteDone = std::function<void(std::size_t write, const WriteOutcome& outcome)>;
    void Submit(const WritePlan& plan, const WriteDone& done);

    // Ends the polling; writes still queued get `drain` to be done, the rest
    // are answered as not done, and later ones are refused.
    void Stop(std::chrono::milliseconds drain) { poller_.Stop(drain); }

    const Logger& Log() const { return logger_; }

    // The line's stored history, when it keeps one; set before serving.
    void SetHistory(const HistorySource* history) { history_ = history; }
    const HistorySource* History() const { return history_; }

private:
    Poller& poller_;
    RunningSettings running_;
    const Logger& logger_;
    std::vector<std::function<void()>> listeners_;  // set before serving; read-only after
    const HistorySource* history_ = nullptr;        // likewise
};

}  // namespace plexer::gateway
