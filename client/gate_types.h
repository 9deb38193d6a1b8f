// What the host knows of gate types: mnemonics, families and the data kind a
// gate is validated with. The driver stays the judge of every GAS.
#pragma once

#include <cstdint>
#include <string>

#include "gate/gate_types.h"

namespace plexer {

enum class Family { kAnalogIn, kAnalogOut, kDigitalIn, kDigitalOut, kTemperature, kOther };

Family FamilyOf(std::int32_t typeCode);
const char* FamilyName(Family family);
bool IsDigital(Family family);
bool IsAnalog(Family family);

// "AI" for 30 and so on; "" for a code without a mnemonic.
std::string MnemonicOf(std::int32_t typeCode);
qsn::TypeClass TypeClassOf(std::int32_t typeCode);

// The host's data kind for the gate: 6 (one bit) for digital mnemonics, 1 otherwise.
std::int32_t DataKindFor(const std::string& gas);

// The GAS of module address `index` (0 to 15) on the unit and type of `gas`.
std::string GasAt(const std::string& gas, int index);

}  // namespace plexer
