// What the driver's answers mean: the values a read returned, and why a call
// failed, from the lines it logged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "log_view.h"

namespace plexer {

// One point's value as read: the GAS it belongs to and the host's int16.
struct PointValue {
    std::string gas;
    Family family = Family::kOther;
    std::int16_t value = 0;
};

// The points a read returned: element 1 for one point; elements 0 to 15, or
// the bits of element 0 for digital points, for a whole unit.
std::vector<PointValue> PointValues(const Gate& gate, const Transfer& transfer, bool wholeUnit);

// "power-up clear expected" for "00"; "" for a code units do not send.
std::string ErrorCodeMeaning(const std::string& code);

// The driver's lines of a failed call, joined for a one-line reason.
std::string LogSummary(const std::vector<LogLine>& log);

// The driver's line that best says why a read or write failed: a reply fault,
// else a refusal; "" when it logged neither.
std::string FailureCause(const std::vector<LogLine>& log);

}  // namespace plexer
