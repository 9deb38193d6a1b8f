// Gate address strings (GAS): "uummp", a hexadecimal unit address, a gate type
// mnemonic and a hexadecimal module address; and the two validation commands
// that decode a GAS into the host's GateBlock.
#pragma once

#include <cstdint>

#include "gate/gate_types.h"
#include "qsnwndut.h"

namespace qsn {

// Set only while command 4 runs its validation; shared by every context.
extern std::uint8_t validateOnly;

char UpperChar(char c);
// Copies the upper-cased GAS of the request's GateBlock into gasScratch.
bool CopyGasScratch(const RequestBlock& request);

std::int32_t ValidateGate(const RequestBlock& request);
std::int32_t ValidateGateOnly(const RequestBlock& request);

}  // namespace qsn
