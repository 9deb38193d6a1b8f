#include "gate_types.h"

#include <array>
#include <cctype>

namespace plexer {

namespace {

constexpr std::int32_t kFirstCode = 30;
constexpr std::int32_t kCodeStep = 10;
constexpr std::int32_t kFirstTemperature = 180;
constexpr std::int32_t kLastTemperature = 330;
constexpr std::int32_t kKindBit = 6;
constexpr std::int32_t kKindValue = 1;

// In type-code order: 30, 40, ... 330.
constexpr std::array<const char*, 31> kMnemonics = {"AI", "AO", "DI", "DO", "MN", "MX", "AV", "LT", "LA", "WA", "PC",
                                                    "PR", "PL", "DL", "OS", "CE", "CJ", "J1", "CK", "K1", "CR", "R1",
                                                    "CS", "S1", "CT", "T1", "T2", "TR", "TX", "TP", "P1"};

bool IsTemperatureCode(std::int32_t code) {
    return code >= kFirstTemperature && code <= kLastTemperature && code % kCodeStep == 0;
}

}  // namespace

Family FamilyOf(std::int32_t typeCode) {
    switch (typeCode) {
    case 30: return Family::kAnalogIn;
    case 40: return Family::kAnalogOut;
    case 50: return Family::kDigitalIn;
    case 60: return Family::kDigitalOut;
    default: return IsTemperatureCode(typeCode) ? Family::kTemperature : Family::kOther;
    }
}

const char* FamilyName(Family family) {
    switch (family) {
    case Family::kAnalogIn: return "analog input";
    case Family::kAnalogOut: return "analog output";
    case Family::kDigitalIn: return "digital input";
    case Family::kDigitalOut: return "digital output";
    case Family::kTemperature: return "temperature input";
    case Family::kOther: break;
    }
    return "no read or write of its own";
}

bool IsDigital(Family family) { return family == Family::kDigitalIn || family == Family::kDigitalOut; }

bool IsAnalog(Family family) { return family == Family::kAnalogIn || family == Family::kAnalogOut; }

std::string MnemonicOf(std::int32_t typeCode) {
    const std::int32_t place = (typeCode - kFirstCode) / kCodeStep;
    if (typeCode < kFirstCode || typeCode % kCodeStep != 0 || place >= static_cast<std::int32_t>(kMnemonics.size())) {
        return "";
    }
    return kMnemonics[static_cast<std::size_t>(place)];
}

int TypeClassOf(std::int32_t typeCode) {
    if (typeCode == 40 || typeCode == 60) return 20;
    return IsTemperatureCode(typeCode) ? 30 : 10;
}

std::int32_t DataKindFor(const std::string& gas) {
    if (gas.size() < 4) return kKindValue;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2])));
    const char second = static_cast<char>(std::toupper(static_cast<unsigned char>(gas[3])));
    return letter == 'D' && (second == 'I' || second == 'O') ? kKindBit : kKindValue;
}

std::string GasAt(const std::string& gas, int index) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    return gas.substr(0, 4) + kHexDigits[index & 0xF];
}

}  // namespace plexer
