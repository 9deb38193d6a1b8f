// What a read or write takes from the host's PointBlock: an upper-cased copy
// of the GAS for messages, and the point number that indexes the flag tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qsnwndut.h"

namespace qsn {

// The host's data kind of a single-bit digital point.
inline constexpr std::uint16_t kKindBit = 6;
inline constexpr std::uint16_t kFirstPoint = 1;
inline constexpr std::uint16_t kLastPoint = 16;

// Up to 19 characters of the GAS, letters a-z raised to A-Z, always terminated.
struct GasCopy {
    static constexpr std::size_t kCapacity = 20;
    char text[kCapacity] = {};

    explicit GasCopy(const char* gas);
};

// Kind 6: the fifth GAS character as a digit, plus 1; else pointAddress - unit x 100.
std::uint16_t PointNumber(const PointBlock& block, const GasCopy& gas);
// pointAddress - unit x 100, whatever the kind.
std::uint16_t PointFromAddress(const PointBlock& block);

inline bool PointInRange(std::uint16_t point) {
    return point >= kFirstPoint && point <= kLastPoint;
}

// A unit address that fits the frame's address field and a type code with
// nothing in its upper 16 bits; anything else would be cut into another unit
// or type on the wire.
inline bool AddressFits(const PointBlock& block) {
    return block.unit >= 0 && block.unit <= 255 && block.typeCode >= 0 && block.typeCode <= 0xFFFF;
}

inline std::uint8_t UnitOf(const PointBlock& block) { return static_cast<std::uint8_t>(block.unit); }
inline std::uint16_t Low16(std::int32_t slot) { return static_cast<std::uint16_t>(slot); }

inline const PointBlock& PointBlockOf(const RequestBlock& request) {
    return *static_cast<const PointBlock*>(request.params);
}

}  // namespace qsn
