// `plexer gateway --history PATH`: every change of a point's verdict or value
// (past the point's deadband) and every unit and line event, kept in the
// line's store. The poller only hands changes over; a thread of its own
// writes them in batches and prunes the store, so the line never waits on the disk.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "history_source.h"
#include "line_core.h"

namespace plexer::gateway {

class HistoryStore;

class HistoryRecorder {
public:
    // `most`: rows waiting for the disk before more are dropped (and counted).
    HistoryRecorder(LineCore& core, std::unique_ptr<HistoryStore> store, std::unique_ptr<HistoryStore> reader,
                    std::size_t most = 1 << 16);
    // Writes what is still queued, then stops.
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // On the poller's thread after each cycle: queues what changed, never waits on the disk.
    void AfterCycle();
    // The store for readers on any thread, on a connection of their own.
    const HistorySource& Source() const;

private:
    struct Seen {
        Reason reason = Reason::kNotReadYet;
        std::optional<double> value;
        bool recorded = false;
    };
    void QueueChanges(std::vector<HistoryRow>& rows);
    void QueueEvents(std::vector<HistoryRow>& rows);
    void Hand(std::vector<HistoryRow> rows);
    void Run();
    void Store(std::vector<HistoryRow> batch);
    void PruneIfDue();

    LineCore& core_;
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<HistoryStore> reader_;
    const std::size_t most_;
    // Only the poller's thread: what was last recorded of each point, unit and the line.
    std::vector<Seen> seen_;
    std::map<std::int32_t, bool> demoted_;
    bool lineUp_ = true;
    // Only the writer's thread.
    long failedRows_ = 0;  // since the store last took a batch
    bool failing_ = false;  // the last batch was refused by the disk
    PollClock::time_point nextPrune_{};

    std::mutex mutex_;  // guards the queue, the dropped count, behind_ and stopping_
    std::condition_variable wake_;
    std::vector<HistoryRow> queue_;
    long dropped_ = 0;
    bool behind_ = false;  // dropping since the store last took a batch: said once
    bool stopping_ = false;
    std::thread writer_;  // last, so that it starts with the rest in place
};

// Null unless the settings name a store; throws CommandFailure for a file refused.
std::unique_ptr<HistoryRecorder> StartHistory(LineCore& core);

}  // namespace plexer::gateway
