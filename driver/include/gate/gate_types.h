// The gate types: the mnemonics a GAS may name, the code each decodes to, and
// the class that says what a unit needs before the first read of it. The
// driver validates with this table and the hosts describe gates with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qsn {

struct GateType {
    char mnemonic[3];
    std::uint16_t code;
};

// The fifth entry reads "MN", the mnemonic hosts have always had accepted,
// and it takes type code 70 of its place instead of decoding to 0.
inline constexpr std::array<GateType, 31> kGateTypes = {{
    {"AI", 30},  {"AO", 40},  {"DI", 50},  {"DO", 60},  {"MN", 70},  {"MX", 80},
    {"AV", 90},  {"LT", 100}, {"LA", 110}, {"WA", 120}, {"PC", 130}, {"PR", 140},
    {"PL", 150}, {"DL", 160}, {"OS", 170}, {"CE", 180}, {"CJ", 190}, {"J1", 200},
    {"CK", 210}, {"K1", 220}, {"CR", 230}, {"R1", 240}, {"CS", 250}, {"S1", 260},
    {"CT", 270}, {"T1", 280}, {"T2", 290}, {"TR", 300}, {"TX", 310}, {"TP", 320},
    {"P1", 330},
}};

// The type codes that the reads and writes treat by name.
enum TypeCode : std::uint16_t {
    kAnalogIn = 30,    // AI
    kAnalogOut = 40,   // AO
    kDigitalIn = 50,   // DI
    kDigitalOut = 60,  // DO
};

enum class TypeClass : std::uint8_t {
    kPlain = 10,        // no configuration beyond the power-up clear
    kOutput = 20,       // output configuration before the first read
    kTemperature = 30,  // probe configuration before the first read
};

// The code of a two-character upper-case mnemonic, or 0 when none matches.
// Reads `mnemonic` no further than its first difference from an entry.
constexpr std::uint16_t GateTypeCode(const char* mnemonic) {
    for (const GateType& type : kGateTypes) {
        std::size_t i = 0;
        while (i < sizeof type.mnemonic && mnemonic[i] == type.mnemonic[i] && mnemonic[i] != '\0') ++i;
        if (i == sizeof type.mnemonic - 1 && mnemonic[i] == '\0') return type.code;
    }
    return 0;
}

// Temperature codes run from CE (180) to P1 (330).
constexpr TypeClass GateTypeClass(std::uint16_t typeCode) {
    if (typeCode == kAnalogOut || typeCode == kDigitalOut) return TypeClass::kOutput;
    if (typeCode >= 180 && typeCode <= 330 && typeCode % 10 == 0) return TypeClass::kTemperature;
    return TypeClass::kPlain;
}

}  // namespace qsn
