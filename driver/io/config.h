// The three configuration commands a unit or point gets before its first
// transaction: power-up clear (A), output configuration (I) and temperature
// probe configuration (k). Each sends one frame, reads the two-character
// acknowledgement, logs a failure and sets its flag whatever the answer.
#pragma once

#include <array>
#include <cstdint>

#include "qsnwndut.h"

namespace qsn {

struct ProbeCode {
    std::uint16_t typeCode;
    char code[3];
};

// Probe code of each temperature gate type; any other type code gets "00".
extern const std::array<ProbeCode, 16> kProbeCodes;
const char* ProbeCodeFor(std::uint16_t typeCode);

void PowerupClear(const RequestBlock& request);
void OutputConfig(const RequestBlock& request);
void TcConfigure(const RequestBlock& request);

}  // namespace qsn
