#include "poller.h"

#include <algorithm>

#include "results.h"

namespace plexer {

namespace {

// How often a wait between cycles looks at the stop flag.
constexpr auto kStopCheck = std::chrono::milliseconds(20);

constexpr int kPositions = 16;

// Where the point's value lies in a read of its whole unit: the bit of the
// status word for a digital point, else the element of its module address.
int PositionOf(const Gate& gate) {
    if (IsDigital(FamilyOf(gate.typeCode))) return gate.pointIndex;
    return gate.pointAddress - gate.unit * 100 - 1;
}

bool Groupable(const Gate& gate) {
    const int position = PositionOf(gate);
    return FamilyOf(gate.typeCode) != Family::kOther && position >= 0 && position < kPositions;
}

// The driver configures an output or a probe only on a read of that very
// point; a read of the whole unit would find the others unconfigured.
bool NeedsPriming(const Gate& gate) { return TypeClassOf(gate.typeCode) != 10; }

std::string CauseOf(std::int32_t command, const Transfer& transfer) {
    if (transfer.result == QSN_OK) return "";
    const std::string cause = FailureCause(transfer.log);
    return cause.empty() ? ResultMeaning(command, transfer.result) : cause;
}

void Add(Counters& to, const Counters& more) {
    to.transactions += more.transactions;
    to.failures += more.failures;
    to.retries += more.retries;
}

}  // namespace

Poller::Poller(Host& host, std::vector<Gate> gates, PollerOptions options) : host_(host), options_(options) {
    for (Gate& gate : gates) {
        const std::size_t point = points_.size();
        const auto known = std::find_if(units_.begin(), units_.end(),
                                        [&](const UnitHealth& health) { return health.unit == gate.unit; });
        const std::size_t unit = static_cast<std::size_t>(known - units_.begin());
        if (known == units_.end()) units_.push_back(UnitHealth{gate.unit, {}, {}, {}, {}});
        const auto group = std::find_if(groups_.begin(), groups_.end(), [&](const Group& candidate) {
            const Gate& first = points_[candidate.points.front()].gate;
            return candidate.unit == unit && Groupable(first) && Groupable(gate) &&
                   FamilyOf(first.typeCode) == FamilyOf(gate.typeCode);
        });
        if (group == groups_.end()) {
            groups_.push_back(Group{unit, {point}, false});
        } else {
            group->points.push_back(point);
        }
        points_.push_back(PointState{std::move(gate), {}, {}, {}, "", 0});
    }
    failedInRow_.assign(units_.size(), 0);
}

Poller::~Poller() {
    const std::lock_guard lock(mutex_);
    for (QueuedWrite& write : writes_) write.promise.set_value({QSN_NO_LINE, "not written: the poller has stopped"});
}

void Poller::Cycle(const std::atomic<bool>& stop) {
    for (std::size_t unit = 0; unit < units_.size() && !stop; ++unit) PollUnit(unit, stop);
    RunWrites(&stop);
}

void Poller::Run(const std::atomic<bool>& stop) {
    while (!stop) {
        const PollClock::time_point start = PollClock::now();
        Cycle(stop);
        Await(start + options_.interval, stop);
    }
    RunWrites(nullptr);
}

std::vector<PointState> Poller::Points() const {
    const std::lock_guard lock(mutex_);
    return points_;
}

std::vector<UnitHealth> Poller::Units() const {
    const std::lock_guard lock(mutex_);
    return units_;
}

std::future<WriteOutcome> Poller::Write(const Gate& gate, std::int16_t value) {
    std::promise<WriteOutcome> promise;
    std::future<WriteOutcome> outcome = promise.get_future();
    {
        const std::lock_guard lock(mutex_);
        writes_.push_back(QueuedWrite{gate, value, std::move(promise)});
    }
    wake_.notify_all();
    return outcome;
}

// A unit's poll fails when none of its reads succeeds. Once it has not
// answered at all, the rest of its reads would only wait out the same
// time-outs: their points fail with it.
void Poller::PollUnit(std::size_t unit, const std::atomic<bool>& stop) {
    if (!DueNow(unit)) return;
    bool tried = false;
    bool answered = false;
    std::optional<ReadOutcome> silent;
    for (Group& group : groups_) {
        if (group.unit != unit) continue;
        if (silent) {
            const std::lock_guard lock(mutex_);
            for (const std::size_t point : group.points) MarkFailed(point, *silent);
            continue;
        }
        const std::optional<ReadOutcome> outcome = ReadGroup(group, stop);
        if (!outcome) break;
        tried = true;
        if (outcome->result == QSN_OK) answered = true;
        if (outcome->result == QSN_NO_LINE) silent = outcome;
    }
    if (tried) Judge(unit, answered);
}

// Nothing when `stop` came before the first read.
std::optional<Poller::ReadOutcome> Poller::ReadGroup(Group& group, const std::atomic<bool>& stop) {
    const bool single = group.points.size() == 1;
    if (single || group.primed || !NeedsPriming(points_[group.points.front()].gate)) {
        RunWrites(&stop);
        if (stop) return std::nullopt;
        return single ? ReadPoint(group.unit, group.points.front()) : ReadWhole(group);
    }
    std::optional<ReadOutcome> outcome;
    for (std::size_t i = 0; i < group.points.size(); ++i) {
        RunWrites(&stop);
        if (stop) return outcome;
        const ReadOutcome read = ReadPoint(group.unit, group.points[i]);
        if (!outcome || outcome->result != QSN_OK) outcome = read;
        if (read.result == QSN_NO_LINE) {
            const std::lock_guard lock(mutex_);
            for (std::size_t rest = i + 1; rest < group.points.size(); ++rest) MarkFailed(group.points[rest], read);
            return read;
        }
    }
    group.primed = true;
    return outcome;
}

Poller::ReadOutcome Poller::ReadPoint(std::size_t unit, std::size_t point) {
    const Counters before = host_.Totals();
    const Transfer transfer = host_.Read(points_[point].gate, false);
    const PollClock::time_point now = PollClock::now();
    const ReadOutcome outcome{transfer.result, CauseOf(QSN_READ, transfer)};
    const std::lock_guard lock(mutex_);
    CountFor(unit, before);
    units_[unit].lastResult = transfer.result;
    if (transfer.result != QSN_OK) {
        MarkFailed(point, outcome);
        return outcome;
    }
    units_[unit].lastGood = now;
    PointState& state = points_[point];
    state.value = transfer.values[1];
    state.quality = QualityOf(transfer.log);
    state.lastGood = now;
    state.lastResult = QSN_OK;
    state.lastCause.clear();
    return outcome;
}

Poller::ReadOutcome Poller::ReadWhole(const Group& group) {
    const Gate& first = points_[group.points.front()].gate;
    const Counters before = host_.Totals();
    const Transfer transfer = host_.Read(first, true);
    const PollClock::time_point now = PollClock::now();
    const ReadOutcome outcome{transfer.result, CauseOf(QSN_READ, transfer)};
    const std::vector<PointValue> values = PointValues(first, transfer, true);
    const bool flagged = FlagsAnyValue(transfer.log);
    std::vector<std::size_t> suspects;
    std::unique_lock lock(mutex_);
    CountFor(group.unit, before);
    units_[group.unit].lastResult = transfer.result;
    if (transfer.result == QSN_OK) units_[group.unit].lastGood = now;
    for (const std::size_t point : group.points) {
        PointState& state = points_[point];
        if (transfer.result != QSN_OK) {
            MarkFailed(point, outcome);
            continue;
        }
        const std::int16_t value = values[static_cast<std::size_t>(PositionOf(state.gate))].value;
        // A suspect keeps what it had until its own read has judged it.
        if (flagged && MayBeFlagged(FamilyOf(state.gate.typeCode), value)) {
            suspects.push_back(point);
            continue;
        }
        state.value = value;
        state.quality = Quality::kGood;
        state.lastGood = now;
        state.lastResult = QSN_OK;
        state.lastCause.clear();
    }
    lock.unlock();
    // The driver's lines do not say which position they flag: a read of each suspect does.
    for (const std::size_t point : suspects) ReadPoint(group.unit, point);
    return outcome;
}

// With the lock held.
void Poller::MarkFailed(std::size_t point, const ReadOutcome& outcome) {
    PointState& state = points_[point];
    state.lastResult = outcome.result;
    state.lastCause = outcome.cause;
    ++state.failures;
}

// Demoted after `failuresToDemote` failed polls in a row; once its time is
// up it gets one poll, and while it keeps failing one failure demotes it again.
void Poller::Judge(std::size_t unit, bool answered) {
    const PollClock::time_point now = PollClock::now();
    const std::lock_guard lock(mutex_);
    if (answered) {
        failedInRow_[unit] = 0;
        units_[unit].demotedUntil.reset();
        return;
    }
    ++failedInRow_[unit];
    if (options_.failuresToDemote > 0 && failedInRow_[unit] >= options_.failuresToDemote) {
        units_[unit].demotedUntil = now + options_.demotedFor;
    }
}

bool Poller::DueNow(std::size_t unit) {
    const std::lock_guard lock(mutex_);
    std::optional<PollClock::time_point>& until = units_[unit].demotedUntil;
    if (until && PollClock::now() < *until) return false;
    until.reset();
    return true;
}

// With the lock held.
void Poller::CountFor(std::size_t unit, const Counters& before) { Add(units_[unit].counters, host_.Totals() - before); }

// Runs queued writes in arrival order until none is left, or until `stop`
// when one is given.
void Poller::RunWrites(const std::atomic<bool>* stop) {
    for (;;) {
        if (stop != nullptr && *stop) return;
        QueuedWrite write;
        {
            const std::lock_guard lock(mutex_);
            if (writes_.empty()) return;
            write = std::move(writes_.front());
            writes_.pop_front();
        }
        const Counters before = host_.Totals();
        const Transfer transfer = host_.Write(write.gate, write.value);
        {
            const std::lock_guard lock(mutex_);
            const auto unit = std::find_if(units_.begin(), units_.end(),
                                           [&](const UnitHealth& health) { return health.unit == write.gate.unit; });
            if (unit != units_.end()) CountFor(static_cast<std::size_t>(unit - units_.begin()), before);
        }
        write.promise.set_value(WriteOutcome{transfer.result, CauseOf(QSN_WRITE, transfer)});
    }
}

// Until the next cycle is due, running writes as they arrive.
void Poller::Await(PollClock::time_point until, const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    while (!stop && PollClock::now() < until) {
        if (!writes_.empty()) {
            lock.unlock();
            RunWrites(&stop);
            lock.lock();
            continue;
        }
        wake_.wait_until(lock, std::min(until, PollClock::now() + kStopCheck));
    }
}

}  // namespace plexer
