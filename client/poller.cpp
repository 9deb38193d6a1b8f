#include "poller.h"
#include "verdict.h"

#include <algorithm>
#include <cstdio>

#include "display_text.h"
#include "results.h"

namespace plexer {

namespace {

constexpr int kPositions = 16;

// A lost line: its device is looked for this often, and reopened after a
// back-off that grows while reopening fails.
constexpr auto kDeviceCheck = std::chrono::seconds(1);
constexpr auto kFirstReopen = std::chrono::milliseconds(1000);
constexpr auto kLongestReopen = std::chrono::milliseconds(30000);

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
bool NeedsPriming(const Gate& gate) { return TypeClassOf(gate.typeCode) != qsn::TypeClass::kPlain; }

std::string CauseOf(std::int32_t command, const Transfer& transfer) {
    if (transfer.result == QSN_OK) return "";
    const std::string cause = FailureCause(transfer.log);
    return cause.empty() ? ResultMeaning(command, transfer.result) : cause;
}

// Refused by the driver before anything went on the line (a value out of
// range, a read-only gate): the client's fault, not the unit's.
bool RefusedBeforeTheLine(const Transfer& transfer) {
    return transfer.result == QSN_FAILED && std::none_of(transfer.log.begin(), transfer.log.end(), IsReplyFault);
}

// The next start of a cycle on the grid of `interval` from `due`: a stall
// skips the starts it missed rather than bunching them.
PollClock::time_point NextDue(PollClock::time_point due, std::chrono::milliseconds interval,
                              PollClock::time_point now) {
    if (interval.count() <= 0) return now;
    due += interval;
    if (due > now) return due;
    return due + interval * ((now - due) / interval + 1);
}

}  // namespace

Poller::Poller(Host& host, std::vector<Gate> gates, PollerOptions options)
    : host_(host), options_(std::move(options)), gates_(std::move(gates)), reopenBackoff_(kFirstReopen) {
    for (const Gate& gate : gates_) {
        const std::size_t point = points_.size();
        if (!UnitIndex(gate.unit)) units_.push_back(UnitHealth{gate.unit, {}, {}, {}, {}, {}, 0});
        const std::size_t unit = *UnitIndex(gate.unit);
        const auto group = std::find_if(groups_.begin(), groups_.end(), [&](const Group& candidate) {
            const Gate& first = gates_[candidate.points.front()];
            return candidate.unit == unit && Groupable(first) && Groupable(gate) &&
                   FamilyOf(first.typeCode) == FamilyOf(gate.typeCode);
        });
        if (group == groups_.end()) {
            groups_.push_back(Group{unit, {point}, false});
        } else {
            group->points.push_back(point);
        }
        points_.push_back(PointState{gate, {}, {}, {}, "", 0});
    }
    standing_.assign(units_.size(), Standing{});
}

Poller::~Poller() { AnswerLeft("not written: the poller has stopped"); }

void Poller::Run(const std::function<void(long cycle)>& afterCycle) {
    PollClock::time_point due = PollClock::now();
    for (long cycle = 1; !Stopping(); ++cycle) {
        if (LineUp()) Cycle();
        if (afterCycle) afterCycle(cycle);
        due = NextDue(due, options_.interval, PollClock::now());
        Wait(due);
    }
    Drain();
}

void Poller::Stop(std::chrono::milliseconds drain) {
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_) drainUntil_ = PollClock::now() + drain;
        stopping_ = true;
    }
    wake_.notify_all();
}

Counters TotalOf(const std::vector<UnitHealth>& units) {
    Counters total;
    for (const UnitHealth& unit : units) total += unit.counters;
    return total;
}

void Poller::Judge(std::span<const std::size_t> indices, const MaxAgeOf& maxAge, PollClock::time_point now,
                   std::span<Verdict> out) const {
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < indices.size() && i < out.size(); ++i) {
        const PointState& point = points_.at(indices[i]);
        const std::optional<std::size_t> unit = UnitIndex(point.gate.unit);
        const plexer::Standing standing{line_.up, unit && DemotedAt(units_[*unit], now)};
        out[i] = plexer::Judge(point, standing, maxAge(indices[i]), now);
    }
}

std::optional<UnitHealth> Poller::Unit(std::int32_t unit) const {
    const std::lock_guard lock(mutex_);
    const std::optional<std::size_t> index = UnitIndex(unit);
    if (!index) return std::nullopt;
    return units_[*index];
}

void Poller::Submit(const Gate& gate, std::int16_t value, WriteDone done) {
    std::optional<WriteOutcome> answer;
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            answer = WriteOutcome{WriteFate::kNotDone, QSN_NO_LINE, "not written: the poller is stopping"};
        } else if (std::optional<std::string> refusal = Refusal(gate)) {
            answer = WriteOutcome{WriteFate::kUnavailable, QSN_NO_LINE, *refusal};
        } else {
            writes_.push_back(QueuedWrite{gate, value, std::move(done)});
        }
    }
    if (answer) {
        done(*answer);
        return;
    }
    wake_.notify_all();
}

std::future<WriteOutcome> Poller::Write(const Gate& gate, std::int16_t value) {
    auto promise = std::make_shared<std::promise<WriteOutcome>>();
    std::future<WriteOutcome> outcome = promise->get_future();
    Submit(gate, value, [promise](const WriteOutcome& done) { promise->set_value(done); });
    return outcome;
}

// With the lock held: why a write to this gate cannot take the line now.
std::optional<std::string> Poller::Refusal(const Gate& gate) const {
    if (!line_.up) return "not written: the line is lost (" + line_.lastLoss + ")";
    const std::optional<std::size_t> unit = UnitIndex(gate.unit);
    if (unit && units_[*unit].demotedUntil) {
        return "not written: unit 0x" + Hex2(static_cast<unsigned>(gate.unit)) + " is set aside";
    }
    return std::nullopt;
}

// With the lock held.
std::optional<std::size_t> Poller::UnitIndex(std::int32_t unit) const {
    const auto found = std::ranges::find(units_, unit, &UnitHealth::unit);
    if (found == units_.end()) return std::nullopt;
    return static_cast<std::size_t>(found - units_.begin());
}

void Poller::Cycle() {
    for (std::size_t unit = 0; unit < units_.size() && !Stopping() && LineUp(); ++unit) PollUnit(unit);
}

// A unit's poll fails when none of its reads succeeds. Once it has not
// answered at all, the rest of its reads would only wait out the same
// time-outs: their points fail with it.
void Poller::PollUnit(std::size_t unit) {
    bool probe = false;
    if (!DueNow(unit, probe)) return;
    // A unit set aside is tried again only when no write is kept waiting by it.
    if (probe && RunWrites(options_.writesBetweenPolls)) return;
    bool tried = false;
    bool answered = false;
    std::optional<ReadOutcome> silent;
    for (Group& group : groups_) {
        if (group.unit != unit) continue;
        if (silent) {
            const std::lock_guard lock(mutex_);
            MarkFailed(group.points, *silent);
            continue;
        }
        const std::optional<ReadOutcome> outcome = ReadGroup(group);
        if (!outcome) break;
        tried = true;
        if (outcome->result == QSN_OK) answered = true;
        if (outcome->result == QSN_NO_LINE) silent = outcome;
    }
    if (tried && LineUp()) Judge(unit, answered);
}

// Nothing when a stop or a lost line came before the first read.
std::optional<Poller::ReadOutcome> Poller::ReadGroup(Group& group) {
    const bool single = group.points.size() == 1;
    const auto mayRead = [this] {
        RunWrites(options_.writesBetweenPolls);
        return !Stopping() && LineUp();
    };
    if (single || group.primed || !NeedsPriming(gates_[group.points.front()])) {
        if (!mayRead()) return std::nullopt;
        return single ? ReadPoint(group.unit, group.points.front()) : ReadWhole(group);
    }
    std::optional<ReadOutcome> outcome;
    for (std::size_t i = 0; i < group.points.size(); ++i) {
        if (!mayRead()) return outcome;
        const ReadOutcome read = ReadPoint(group.unit, group.points[i]);
        if (!outcome || outcome->result != QSN_OK) outcome = read;
        if (read.result == QSN_NO_LINE) {
            const std::lock_guard lock(mutex_);
            MarkFailed(std::span(group.points).subspan(i + 1), read);
            return read;
        }
    }
    group.primed = true;
    return outcome;
}

// One read of a unit's poll, counted for the unit. Its points fail with it;
// on success `take` stores their values. Both with the lock held.
Poller::ReadOutcome Poller::ReadCounted(std::size_t unit, std::span<const std::size_t> points, bool wholeUnit,
                                        const std::function<void(const Transfer&, PollClock::time_point)>& take) {
    const Counters before = host_.Totals();
    const Transfer transfer = host_.Read(gates_[points.front()], wholeUnit);
    const PollClock::time_point now = PollClock::now();
    const ReadOutcome outcome{transfer.result, CauseOf(QSN_READ, transfer)};
    {
        const std::lock_guard lock(mutex_);
        CountFor(unit, before);
        units_[unit].lastResult = transfer.result;
        if (transfer.result == QSN_OK) {
            units_[unit].lastGood = now;
            take(transfer, now);
        } else {
            MarkFailed(points, outcome);
        }
    }
    if (transfer.result == QSN_NO_LINE) AfterNoReply();
    return outcome;
}

Poller::ReadOutcome Poller::ReadPoint(std::size_t unit, std::size_t point) {
    return ReadCounted(unit, {&point, 1}, false, [&](const Transfer& transfer, PollClock::time_point now) {
        MarkGood(point, transfer.values[1], QualityOf(transfer.log), now);
    });
}

Poller::ReadOutcome Poller::ReadWhole(const Group& group) {
    std::vector<std::size_t> suspects;
    const ReadOutcome outcome =
        ReadCounted(group.unit, group.points, true, [&](const Transfer& transfer, PollClock::time_point now) {
            const std::vector<PointValue> values = PointValues(gates_[group.points.front()], transfer, true);
            // The lines name only the unit's gate: they tell that some value was flagged, not which.
            const bool flagged = QualityOf(transfer.log) != Quality::kGood;
            for (const std::size_t point : group.points) {
                const Gate& gate = gates_[point];
                const std::int16_t value = values[static_cast<std::size_t>(PositionOf(gate))].value;
                // A suspect keeps what it had until its own read has judged it.
                if (flagged && MayBeFlagged(FamilyOf(gate.typeCode), value)) {
                    suspects.push_back(point);
                } else {
                    MarkGood(point, value, Quality::kGood, now);
                }
            }
        });
    // The driver's lines do not say which position they flag: a read of each suspect does.
    for (const std::size_t point : suspects) ReadPoint(group.unit, point);
    return outcome;
}

// With the lock held.
void Poller::MarkGood(std::size_t point, std::int16_t value, Quality quality, PollClock::time_point now) {
    PointState& state = points_[point];
    state.value = value;
    state.quality = quality;
    state.lastGood = now;
    state.lastResult = QSN_OK;
    state.lastCause.clear();
}

// With the lock held.
void Poller::MarkFailed(std::span<const std::size_t> points, const ReadOutcome& outcome) {
    for (const std::size_t point : points) {
        PointState& state = points_[point];
        state.lastResult = outcome.result;
        state.lastCause = outcome.cause;
        ++state.failures;
    }
}

// A unit that has never answered is set aside after its first failed poll,
// one that has after `failuresToDemote` in a row; each time it is set aside
// again without answering, for twice as long, up to `demotedForMost`.
void Poller::Judge(std::size_t unit, bool answered) {
    Standing& standing = standing_[unit];
    const std::lock_guard lock(mutex_);
    UnitHealth& health = units_[unit];
    if (answered) {
        standing = Standing{true, {}};
        health.failedInRow = 0;
        health.demotedUntil.reset();
        health.demotedFor = {};
        reopenBackoff_ = kFirstReopen;
        return;
    }
    ++health.failedInRow;
    const bool demote = !standing.everAnswered ||
                        (options_.failuresToDemote > 0 && health.failedInRow >= options_.failuresToDemote);
    if (!demote) return;
    const std::chrono::milliseconds period =
        standing.nextDemotion.count() > 0 ? standing.nextDemotion : options_.demotedFor;
    health.demotedUntil = PollClock::now() + period;
    health.demotedFor = period;
    standing.nextDemotion = std::min(period * 2, std::max(options_.demotedForMost, options_.demotedFor));
}

// `probe`: the unit is set aside and its time is up.
bool Poller::DueNow(std::size_t unit, bool& probe) {
    const std::lock_guard lock(mutex_);
    const std::optional<PollClock::time_point>& until = units_[unit].demotedUntil;
    probe = until.has_value();
    return !until || PollClock::now() >= *until;
}

// With the lock held.
void Poller::CountFor(std::size_t unit, const Counters& before) { units_[unit].counters += host_.Totals() - before; }

// Runs at most `most` queued writes that take the line; true if some still wait.
bool Poller::RunWrites(int most) {
    for (int done = 0; done < most && !Stopping() && LineUp();) {
        if (RunOneWrite()) ++done;
        const std::lock_guard lock(mutex_);
        if (writes_.empty()) return false;
    }
    const std::lock_guard lock(mutex_);
    return !writes_.empty();
}

// The first queued write, written or refused; true if it took the line.
bool Poller::RunOneWrite() {
    QueuedWrite write;
    std::optional<std::string> refusal;
    {
        const std::lock_guard lock(mutex_);
        if (writes_.empty()) return false;
        write = std::move(writes_.front());
        writes_.pop_front();
        refusal = Refusal(write.gate);
    }
    if (refusal) {
        write.done({WriteFate::kUnavailable, QSN_NO_LINE, *refusal});
        return false;
    }
    DoWrite(std::move(write));
    return true;
}

void Poller::DoWrite(QueuedWrite write) {
    const Counters before = host_.Totals();
    const Transfer transfer = host_.Write(write.gate, write.value);
    if (!RefusedBeforeTheLine(transfer)) {
        const std::lock_guard lock(mutex_);
        if (const std::optional<std::size_t> unit = UnitIndex(write.gate.unit)) CountFor(*unit, before);
    }
    if (transfer.result == QSN_NO_LINE) AfterNoReply();
    const WriteFate fate = transfer.result == QSN_OK ? WriteFate::kWritten : WriteFate::kFailed;
    write.done(WriteOutcome{fate, transfer.result, CauseOf(QSN_WRITE, transfer)});
}

// No complete reply: a silent unit, or a device that is gone.
void Poller::AfterNoReply() {
    if (options_.device == nullptr) return;
    if (const std::optional<std::string> gone = options_.device->Gone()) LoseLine(*gone);
}

// Closed at once, so that the dead device is let go; every value is absent
// until the line is back.
void Poller::LoseLine(const std::string& reason) {
    host_.ClosePort();
    const PollClock::time_point now = PollClock::now();
    {
        const std::lock_guard lock(mutex_);
        line_.up = false;
        line_.lostSince = now;
        ++line_.losses;
        line_.lastLoss = reason;
        for (PointState& point : points_) {
            point.lastResult = QSN_NO_LINE;
            point.lastCause = "the line is lost: " + reason;
        }
    }
    nextCheck_ = now;
    nextReopen_ = now + reopenBackoff_;
    if (options_.note) options_.note("line lost: " + reason);
}

// Reopens the lost line once its device is there and the back-off has passed.
bool Poller::TryReopen() {
    const PollClock::time_point now = PollClock::now();
    nextCheck_ = now + kDeviceCheck;
    if (now < nextReopen_ || !options_.device->Present()) return false;
    // A failed reopen, or a line lost again before anything answers, waits longer for the next try.
    reopenBackoff_ = std::min(reopenBackoff_ * 2, kLongestReopen);
    if (host_.Restart(options_.device->DriverName()) != QSN_OK) {
        nextReopen_ = now + reopenBackoff_;
        return false;
    }
    options_.device->Opened();
    std::chrono::duration<double> down{};
    {
        const std::lock_guard lock(mutex_);
        down = now - line_.lostSince.value_or(now);
        line_.up = true;
        line_.lostSince.reset();
        ++line_.recoveries;
    }
    // A new device has its outputs and probes unconfigured again.
    for (Group& group : groups_) group.primed = false;
    char text[64];
    std::snprintf(text, sizeof text, "line back after %.1f s", down.count());
    if (options_.note) options_.note(text);
    return true;
}

// Until `until` or a stop, running writes as they arrive and, while the line
// is lost, looking for its device.
void Poller::Wait(PollClock::time_point until) {
    std::unique_lock lock(mutex_);
    while (!stopping_ && PollClock::now() < until) {
        if (!writes_.empty()) {
            lock.unlock();
            RunOneWrite();
            lock.lock();
            continue;
        }
        if (line_.up) {
            wake_.wait_until(lock, until);
            continue;
        }
        if (PollClock::now() >= nextCheck_) {
            lock.unlock();
            const bool back = TryReopen();
            lock.lock();
            if (back) return;
        }
        wake_.wait_until(lock, std::min(until, nextCheck_));
    }
}

// Queued writes run until the drain deadline; the rest are not done.
void Poller::Drain() {
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (writes_.empty() || PollClock::now() >= drainUntil_) break;
        }
        RunOneWrite();
    }
    AnswerLeft("not written: the poller stopped before the drain deadline");
}

// Every write still queued is answered as not done, outside the lock.
void Poller::AnswerLeft(const std::string& cause) {
    std::deque<QueuedWrite> left;
    {
        const std::lock_guard lock(mutex_);
        left.swap(writes_);
    }
    for (QueuedWrite& write : left) write.done({WriteFate::kNotDone, QSN_NO_LINE, cause});
}

}  // namespace plexer
