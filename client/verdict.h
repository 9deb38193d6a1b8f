// The one judgement of a point's value: whether it may be served, and if not,
// why. Every face of the gateway and plexer watch take it from here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "poller.h"

namespace plexer {

// Why a value may or may not be served; a good value is the only reading.
enum class Reason : std::uint8_t {
    kGood,
    kNotReadYet,     // no poll has read it since the start
    kFailed,         // its last poll found no good reply
    kStale,          // its last good read is older than the maximum age
    kNotConfigured,  // the unit answered '?': the position is not of the gate's kind
    kOutOfRange,     // an analog value the driver clamped
    kBeyondScale,    // a temperature beyond its probe's scale
    kSuspect,        // a whole-unit read flagged some value, maybe this one
    kUnitDemoted,    // the unit is set aside after failed polls
    kLineLost,       // the line's device is gone
};

// "good", "not read yet", "failed", "stale", "not configured", "out of range",
// "beyond scale", "suspect", "unit demoted", "line lost".
const char* ReasonName(Reason reason);

struct Verdict {
    Reason reason = Reason::kNotReadYet;
    std::optional<std::int16_t> counts;  // the value to serve: only when good
    std::optional<std::int16_t> last;    // the last good value, to show beside its reason
    std::optional<PollClock::duration> age;  // since the last good read
    bool Good() const { return reason == Reason::kGood; }
};

// What the line and the point's unit are at the moment of judging.
struct Standing {
    bool lineUp = true;
    bool unitDemoted = false;
};

// `maxAge` none: a value never grows stale.
Verdict Judge(const PointState& point, Standing standing, std::optional<std::chrono::milliseconds> maxAge,
              PollClock::time_point now);

}  // namespace plexer
