// What the scripted peer of the Wine tier understands. The Windows side
// writes one request line; the peer answers on the same line:
//   "SEND n chunk gapMs\n"  n pattern bytes, in chunks, with a pause between chunks
//   "ECHO n\n" + n bytes     the n bytes back, each one complemented, so that an
//                            answer cannot be a mere echo of the line
// Without a request the peer stays silent. Shared by both sides; valid C++17
// for the MinGW build as well.
#pragma once

#include <cstdint>

namespace qsn::peer {

// Byte i of a SEND answer: not a plain counter, so a lost or repeated chunk shows.
inline std::uint8_t PatternByte(std::uint32_t i) {
    return static_cast<std::uint8_t>((i * 7u + 3u) % 251u);
}

inline std::uint8_t Complement(std::uint8_t b) { return static_cast<std::uint8_t>(~b); }

}  // namespace qsn::peer
