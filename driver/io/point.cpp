#include "io/point.h"

namespace qsn {

GasCopy::GasCopy(const char* gas) {
    for (std::size_t i = 0; gas != nullptr && i + 1 < kCapacity && gas[i] != '\0'; ++i) {
        const char c = gas[i];
        text[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
}

std::uint16_t PointFromAddress(const PointBlock& block) {
    return static_cast<std::uint16_t>(Low16(block.pointAddress) - Low16(block.unit) * 100u);
}

std::uint16_t PointNumber(const PointBlock& block, const GasCopy& gas) {
    if (Low16(block.dataKind) != kKindBit) return PointFromAddress(block);
    const char c = gas.text[4];
    if (c >= '0' && c <= '9') return static_cast<std::uint16_t>(c - '0' + 1);
    return static_cast<std::uint16_t>(static_cast<unsigned char>(c) - 54u);
}

}  // namespace qsn
