#include "gate/gate.h"

#include <cstring>

#include "kaldor.h"
#include "optomux/frame.h"

namespace qsn {

std::uint8_t validateOnly = 0;

namespace {

constexpr std::size_t kGasLength = 5;
constexpr std::int32_t kValid = QSN_OK;
constexpr std::int32_t kInvalid = QSN_FAILED;
constexpr std::int32_t kNoPointIndex = 255;
constexpr std::int32_t kPointsPerUnit = 16;

// The host's kinds of value that validation compares; what 1 and 3 stand for
// is the host's own business.
constexpr std::int32_t kKindTemperature = 1;  // the only kind a temperature point takes
constexpr std::int32_t kKindNoAnalog = 3;     // refused for analog and temperature points
constexpr std::int32_t kKindBit = 6;

// Tested on the upper-cased copy, where a-f can only have come from bytes
// 0x81-0x86: those are not digits.
bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Only called on an upper-cased hexadecimal digit.
std::int32_t HexDigitValue(char c) { return c <= '9' ? c - '0' : c - 55; }

std::int32_t DecodeUnit(const char* gas) {
    const char digits[3] = {gas[0], gas[1], '\0'};
    return AsciiHexToVal(digits);
}

std::uint16_t DecodeTypeCode(const char* gas) {
    const char mnemonic[3] = {gas[2], gas[3], '\0'};
    return GateTypeCode(mnemonic);
}

// Steps past the address: whether the host's kind of value suits the type,
// and where the point lies in the unit.
std::int32_t PlacePoint(GateBlock& gate, std::uint16_t code, std::int32_t module) {
    const bool temperature = GateTypeClass(code) == TypeClass::kTemperature;
    if (temperature && validateOnly == 0 && gate.dataKind != kKindTemperature) return kInvalid;
    if (code == kDigitalIn || code == kDigitalOut) {
        if (gate.dataKind != kKindBit && validateOnly == 0) return kInvalid;
        gate.pointIndex = module;
        gate.pointAddress = gate.unit * 100;
        return kValid;
    }
    if (code == kAnalogIn || code == kAnalogOut || temperature) {
        if (gate.dataKind == kKindBit || gate.dataKind == kKindNoAnalog) return kInvalid;
        gate.pointAddress = gate.unit * 100 + module + 1;
    }
    return kValid;
}

}  // namespace

char UpperChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' ? static_cast<char>(byte - 32) : c;
}

bool CopyGasScratch(const RequestBlock& request) {
    const char* gas = static_cast<const GateBlock*>(request.params)->gas;
    // A missing GAS is refused like one too long to fit.
    if (gas == nullptr) return false;
    // Measured before anything is copied, and no further than one past the limit.
    std::size_t length = 0;
    while (length <= kGasLength && gas[length] != '\0') ++length;
    if (length > kGasLength) return false;
    char(&scratch)[sizeof DriverContext::gasScratch] = request.context->gasScratch;
    std::memset(scratch, 0, sizeof scratch);
    for (std::size_t i = 0; i < length; ++i) scratch[i] = UpperChar(gas[i]);
    return true;
}

std::int32_t ValidateGate(const RequestBlock& request) {
    GateBlock& gate = *static_cast<GateBlock*>(request.params);
    gate.pointIndex = kNoPointIndex;
    gate.pointCount = kPointsPerUnit;
    gate.unit = 0;
    gate.typeCode = 0;
    if (!CopyGasScratch(request)) return kInvalid;
    const char* gas = request.context->gasScratch;
    if (!IsHexDigit(gas[0]) || !IsHexDigit(gas[1])) {
        err(32, "QSNDUT:illegal Unit Address. GAS='%s'.", gas);
        return kInvalid;
    }
    gate.unit = DecodeUnit(gas);
    const std::uint16_t code = DecodeTypeCode(gas);
    if (code == 0) {
        err(32, "QSNDUT:Illegal gate type. GAS='%s'.", gas);
        return kInvalid;
    }
    gate.typeCode = code;
    if (!IsHexDigit(gas[4])) {
        err(32, "QSNDUT:Illegal Module address. GAS='%s'.", gas);
        return kInvalid;
    }
    return PlacePoint(gate, code, HexDigitValue(gas[4]));
}

std::int32_t ValidateGateOnly(const RequestBlock& request) {
    validateOnly = 1;
    const std::int32_t result = ValidateGate(request);
    validateOnly = 0;
    if (result != kValid) return kInvalid;
    const GateBlock& gate = *static_cast<const GateBlock*>(request.params);
    if (gate.gas[4] != '0') return kInvalid;
    return gate.elementCount == kPointsPerUnit ? kValid : kInvalid;
}

}  // namespace qsn
