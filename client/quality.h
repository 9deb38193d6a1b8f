// Whether a value the driver returned is a reading. The driver stores 0 for a
// position the unit answers '?' for and clamps an analog input out of range,
// returning success either way; only its log lines tell, so they are read here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "log_view.h"

namespace plexer {

enum class Quality : std::uint8_t {
    kGood,
    kNotConfigured,  // the unit answered '?': the position is not of the gate's kind
    kOutOfRange,     // an analog input out of range (the driver clamped it)
    kBeyondScale,    // a temperature below or above its probe's scale
    kSuspect,        // a whole-unit read flagged some value, maybe this one
};

const char* QualityName(Quality quality);

// The quality of a one-point read from the lines the driver logged for it.
Quality QualityOf(const std::vector<LogLine>& log);

// Whether a value from a flagged whole-unit read may be one the driver made
// up ('?' stores 0, clamping 0 or 4096, scale faults lie at the ends); only
// such points need a read of their own to be judged.
bool MayBeFlagged(Family family, std::int16_t value);

// Why a read's value is not a reading: "position 4 of unit 5 is not an input
// (the unit answered '?')", the position being the GAS's last hexadecimal digit.
std::string BadValueText(const Gate& gate, Quality quality);

}  // namespace plexer
