// Optomux ASCII command frames: ">" + unit address + command letter + data
// fields + two checksum digits + CR. Pure encoders with fixed-width,
// upper-case hexadecimal fields; no state, no logging, no failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qsn {

// Room for the longest frame any sender builds (99 characters and the zero).
inline constexpr std::size_t kFrameCapacity = 100;

// The position mask that selects all sixteen points of a unit.
inline constexpr std::uint16_t kAllPositions = 0xFFFF;

// Two hexadecimal digits of the byte sum of `text`, modulo 256.
void CalcChecksum(const char* text, char (&out)[3]);
// Two digits below 256, four from 256 on.
void ValToAsciiHex(std::uint16_t value, char (&out)[5]);
// Four digits of the mask with bit (point - 1) set, shifted modulo 32 in 32 bits.
void PointToMaskHex(std::uint16_t point, char (&out)[5]);
void WordToAsciiHex(std::uint16_t value, char (&out)[5]);
// Three digits of the low 12 bits.
void Val12ToAsciiHex(std::uint16_t value, char (&out)[4]);

// The whole frame, carriage return included and zero-terminated; returns its length.
std::size_t BuildCommandFrame(std::uint16_t unit, char letter, const char* data,
                              char (&frame)[kFrameCapacity]);

// Hexadecimal text to a 16-bit value: 2 or 3 characters as they are, any other
// length by its first four; digits above F are not rejected. Never reads past
// the terminating zero.
std::uint16_t AsciiHexToVal(const char* text);

}  // namespace qsn
