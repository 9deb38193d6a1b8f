// Gate address strings (GAS): "uummp", a hexadecimal unit address, a gate type
// mnemonic and a hexadecimal module address; the gate type table; and the two
// validation commands that decode a GAS into the host's GateBlock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "qsnwndut.h"

namespace qsn {

struct GateType {
    char mnemonic[3];
    std::uint16_t code;
};

inline constexpr std::size_t kGateTypeCount = 31;

// Validation accepts exactly these mnemonics and decodes each to its code.
extern const std::array<GateType, kGateTypeCount> kGateTypes;

// The type codes that the reads and writes treat by name.
enum TypeCode : std::uint16_t {
    kAnalogIn = 30,    // AI
    kAnalogOut = 40,   // AO
    kDigitalIn = 50,   // DI
    kDigitalOut = 60,  // DO
};

enum TypeClass : std::uint8_t {
    kClassPlain = 10,        // no configuration beyond the power-up clear
    kClassOutput = 20,       // output configuration before the first read
    kClassTemperature = 30,  // probe configuration before the first read
};

// Set only while command 4 runs its validation; shared by every context.
extern std::uint8_t validateOnly;

// The code of a two-character upper-case mnemonic, or 0 when none matches.
std::uint16_t GateTypeCode(const char* mnemonic);
std::uint8_t GateTypeClass(std::uint16_t typeCode);
char UpperChar(char c);
// Copies the upper-cased GAS of the request's GateBlock into gasScratch.
bool CopyGasScratch(const RequestBlock& request);

std::int32_t ValidateGate(const RequestBlock& request);
std::int32_t ValidateGateOnly(const RequestBlock& request);

}  // namespace qsn
