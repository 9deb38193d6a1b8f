#include "recorder.h"

#include <cmath>

#include "display_text.h"
#include "session.h"
#include "store.h"

namespace plexer::gateway {

namespace {

using SystemClock = std::chrono::system_clock;
constexpr auto kPruneEvery = std::chrono::minutes(1);

std::int64_t EpochMs(SystemClock::time_point at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// The change a value must pass to be recorded: Sparkplug's, in the unit it publishes.
double DeadbandOf(const Running& running, std::size_t point) {
    const Gate& gate = running.map.Gates()[point];
    if (IsDigital(FamilyOf(gate.typeCode))) return 0;
    const auto own = running.config.mqtt.deadbands.find(gate.gas);
    return own == running.config.mqtt.deadbands.end() ? running.config.mqtt.deadband : own->second;
}

std::optional<double> ValueOf(const Running& running, std::size_t point, const PointVerdict& verdict) {
    if (!verdict.verdict.counts) return std::nullopt;
    if (running.map.Settings(point).serving != Serving::kRaw && verdict.eu) return verdict.eu;
    return *verdict.verdict.counts;
}

HistoryLimits LimitsOf(const HistoryConfig& config) {
    return {static_cast<std::int64_t>(config.days * 86400000.0),
            static_cast<std::int64_t>(config.megabytes * 1024 * 1024)};
}

}  // namespace

HistoryRecorder::HistoryRecorder(LineCore& core, std::unique_ptr<HistoryStore> store,
                                 std::unique_ptr<HistoryStore> reader, std::size_t most)
    : core_(core), store_(std::move(store)), reader_(std::move(reader)), most_(most), seen_(core.Gates().size()), writer_([this] { Run(); }) {}

HistoryRecorder::~HistoryRecorder() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

const HistorySource& HistoryRecorder::Source() const { return *reader_; }

void HistoryRecorder::AfterCycle() {
    std::vector<HistoryRow> rows;
    QueueEvents(rows);
    QueueChanges(rows);
    if (!rows.empty()) Hand(std::move(rows));
}

void HistoryRecorder::QueueChanges(std::vector<HistoryRow>& rows) {
    const RunningPtr running = core_.Settings();
    const PollClock::time_point now = PollClock::now();
    const SystemClock::time_point wall = SystemClock::now();
    const std::vector<PointVerdict> verdicts = core_.JudgeAll(*running, now);
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        const Verdict& verdict = verdicts[i].verdict;
        const std::optional<double> value = ValueOf(*running, i, verdicts[i]);
        Seen& seen = seen_[i];
        const bool changed = !seen.recorded || verdict.reason != seen.reason ||
                             (value && seen.value && std::fabs(*value - *seen.value) > DeadbandOf(*running, i));
        if (!changed) continue;
        seen = Seen{verdict.reason, value, true};
        // A good value at the time it was read; anything else when it was found.
        const SystemClock::time_point at =
            verdict.Good() && verdict.age ? wall - std::chrono::duration_cast<SystemClock::duration>(*verdict.age)
                                          : wall;
        rows.push_back(HistoryRow{0, EpochMs(at), running->map.Gates()[i].gas, ReasonName(verdict.reason),
                                  verdict.counts, verdict.Good() ? verdicts[i].eu : std::nullopt});
    }
}

void HistoryRecorder::QueueEvents(std::vector<HistoryRow>& rows) {
    const PollClock::time_point now = PollClock::now();
    const std::int64_t at = EpochMs(SystemClock::now());
    const bool up = core_.Line().up;
    if (up != lineUp_) rows.push_back(HistoryRow{0, at, "line", up ? "back" : "lost", {}, {}});
    lineUp_ = up;
    for (const UnitHealth& unit : core_.Units()) {
        const bool demoted = DemotedAt(unit, now);
        bool& was = demoted_[unit.unit];
        if (demoted != was) {
            rows.push_back(HistoryRow{0, at, "unit " + Hex2(static_cast<unsigned>(unit.unit)), demoted ? "demoted" : "back",
                                      {}, {}});
        }
        was = demoted;
    }
}

void HistoryRecorder::Hand(std::vector<HistoryRow> rows) {
    bool firstDrop = false;
    {
        const std::lock_guard lock(mutex_);
        const std::size_t room = queue_.size() < most_ ? most_ - queue_.size() : 0;
        const std::size_t taken = std::min(room, rows.size());
        queue_.insert(queue_.end(), std::make_move_iterator(rows.begin()),
                      std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(taken)));
        firstDrop = taken < rows.size() && !behind_;
        behind_ = behind_ || taken < rows.size();
        dropped_ += static_cast<long>(rows.size() - taken);
    }
    wake_.notify_one();
    if (firstDrop) core_.Log().Note("history", "the store is behind the line: changes dropped until it catches up");
}

void HistoryRecorder::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        std::vector<HistoryRow> batch;
        batch.swap(queue_);
        const long dropped = std::exchange(dropped_, 0);
        const bool last = stopping_;
        lock.unlock();
        failedRows_ += dropped;
        if (!batch.empty()) Store(std::move(batch));
        PruneIfDue();
        lock.lock();
        if (last && queue_.empty()) return;
    }
}

// A batch the disk refuses is lost and counted; said once when it starts and once when storing resumes.
void HistoryRecorder::Store(std::vector<HistoryRow> batch) {
    try {
        store_->Append(batch);
    } catch (const HistoryWriteFailed& e) {
        if (!failing_) {
            core_.Log().Note("history", std::string("cannot store: ") + e.what() + "; changes dropped until it can");
        }
        failing_ = true;
        failedRows_ += static_cast<long>(batch.size());
        return;
    }
    if (failedRows_ > 0) {
        core_.Log().Note("history", "storing again; " + std::to_string(failedRows_) + " changes were dropped");
    }
    failedRows_ = 0;
    const std::lock_guard lock(mutex_);
    behind_ = false;
    failing_ = false;
}

void HistoryRecorder::PruneIfDue() {
    const PollClock::time_point now = PollClock::now();
    if (now < nextPrune_) return;
    nextPrune_ = now + kPruneEvery;
    try {
        store_->Prune(LimitsOf(core_.Settings()->config.history), EpochMs(SystemClock::now()));
    } catch (const HistoryWriteFailed&) {
        // The next batch says whether the disk is at fault; pruning tries again later.
    }
}

std::unique_ptr<HistoryRecorder> StartHistory(LineCore& core) {
    const std::string path = core.Settings()->config.history.path;
    if (path.empty()) return nullptr;
    try {
        std::unique_ptr<HistoryStore> store = HistoryStore::OpenForWriting(path);
        return std::make_unique<HistoryRecorder>(core, std::move(store), HistoryStore::OpenForReading(path));
    } catch (const HistoryRefused& e) {
        throw CommandFailure(kExitUsage, std::string("--history ") + e.what());
    }
}

}  // namespace plexer::gateway
