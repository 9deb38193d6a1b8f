#include "gate_types.h"

#include <algorithm>
#include <cctype>

#include "display_text.h"

namespace plexer {

namespace {

constexpr std::int32_t kKindBit = 6;
constexpr std::int32_t kKindValue = 1;

}  // namespace

Family FamilyOf(std::int32_t typeCode) {
    switch (typeCode) {
    case qsn::kAnalogIn: return Family::kAnalogIn;
    case qsn::kAnalogOut: return Family::kAnalogOut;
    case qsn::kDigitalIn: return Family::kDigitalIn;
    case qsn::kDigitalOut: return Family::kDigitalOut;
    default: return TypeClassOf(typeCode) == qsn::TypeClass::kTemperature ? Family::kTemperature : Family::kOther;
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
    const auto type = std::ranges::find(qsn::kGateTypes, typeCode, &qsn::GateType::code);
    return type == qsn::kGateTypes.end() ? "" : type->mnemonic;
}

// Codes beyond 16 bits name no gate type: the driver's table holds 16.
qsn::TypeClass TypeClassOf(std::int32_t typeCode) {
    if (typeCode < 0 || typeCode > 0xFFFF) return qsn::TypeClass::kPlain;
    return qsn::GateTypeClass(static_cast<std::uint16_t>(typeCode));
}

std::int32_t DataKindFor(const std::string& gas) {
    if (gas.size() < 4) return kKindValue;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2])));
    const char second = static_cast<char>(std::toupper(static_cast<unsigned char>(gas[3])));
    return letter == 'D' && (second == 'I' || second == 'O') ? kKindBit : kKindValue;
}

std::string GasAt(const std::string& gas, int index) {
    return gas.substr(0, 4) + Hex2(static_cast<unsigned>(index) & 0xFu).back();
}

}  // namespace plexer
