#include "verdict.h"

#include <iterator>

namespace plexer {

namespace {

// The reason of a value the driver returned with success.
Reason ReasonOf(Quality quality) {
    switch (quality) {
    case Quality::kGood: return Reason::kGood;
    case Quality::kNotConfigured: return Reason::kNotConfigured;
    case Quality::kOutOfRange: return Reason::kOutOfRange;
    case Quality::kBeyondScale: return Reason::kBeyondScale;
    case Quality::kSuspect: return Reason::kSuspect;
    }
    return Reason::kSuspect;
}

// The line and the unit first: nothing of a lost line or a unit set aside is
// served; then what the last poll found; then the value's own quality and age.
Reason ReasonFor(const PointState& point, Standing standing, std::optional<std::chrono::milliseconds> maxAge,
                 PollClock::time_point now) {
    if (!standing.lineUp) return Reason::kLineLost;
    if (standing.unitDemoted) return Reason::kUnitDemoted;
    if (!point.lastResult) return Reason::kNotReadYet;
    if (*point.lastResult != QSN_OK || !point.value || !point.lastGood) return Reason::kFailed;
    const Reason quality = ReasonOf(point.quality);
    if (quality != Reason::kGood) return quality;
    if (maxAge && now - *point.lastGood > *maxAge) return Reason::kStale;
    return Reason::kGood;
}

}  // namespace

const char* ReasonName(Reason reason) {
    static constexpr const char* kNames[] = {"good",         "not read yet", "failed",       "stale",
                                             "not configured", "out of range", "beyond scale", "suspect",
                                             "unit demoted", "line lost"};  // in Reason's order
    static_assert(std::size(kNames) == static_cast<std::size_t>(Reason::kLineLost) + 1);
    return kNames[static_cast<std::size_t>(reason)];
}

Verdict Judge(const PointState& point, Standing standing, std::optional<std::chrono::milliseconds> maxAge,
              PollClock::time_point now) {
    Verdict verdict;
    verdict.reason = ReasonFor(point, standing, maxAge, now);
    verdict.last = point.value;
    if (point.lastGood) verdict.age = now - *point.lastGood;
    if (verdict.Good()) verdict.counts = point.value;
    return verdict;
}

}  // namespace plexer
