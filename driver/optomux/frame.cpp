#include "optomux/frame.h"

namespace qsn {
namespace {

// Checksum digits, carriage return and the terminating zero.
constexpr std::size_t kFrameTail = 4;

char HexDigit(unsigned nibble) {
    const unsigned low = nibble & 0xFu;
    return static_cast<char>(low < 10 ? '0' + low : 'A' + (low - 10));
}

// Writes `count` digits of `value`, most significant first, and the zero.
void WriteHex(unsigned value, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t shift = 4 * (count - 1 - i);
        out[i] = HexDigit(value >> shift);
    }
    out[count] = '\0';
}

// Digits above F are kept, not rejected: the code minus 55 as an 8-bit value.
std::uint16_t DigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint16_t>(c - '0');
    return static_cast<std::uint8_t>(static_cast<unsigned char>(c) - 55u);
}

// Copies up to (but not including) position `end`; the frame never overruns its buffer.
void CopyText(const char* text, char* out, std::size_t& at, std::size_t end) {
    while (*text != '\0' && at < end) out[at++] = *text++;
}

}  // namespace

void CalcChecksum(const char* text, char (&out)[3]) {
    unsigned sum = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        sum = (sum + static_cast<unsigned char>(*c)) & 0xFFu;
    }
    WriteHex(sum, 2, out);
}

void ValToAsciiHex(std::uint16_t value, char (&out)[5]) {
    WriteHex(value, value < 256 ? 2 : 4, out);
}

void PointToMaskHex(std::uint16_t point, char (&out)[5]) {
    const std::uint32_t mask = std::uint32_t{1} << ((point - 1u) % 32u);
    WordToAsciiHex(static_cast<std::uint16_t>(mask & 0xFFFFu), out);
}

void WordToAsciiHex(std::uint16_t value, char (&out)[5]) { WriteHex(value, 4, out); }

void Val12ToAsciiHex(std::uint16_t value, char (&out)[4]) { WriteHex(value & 0xFFFu, 3, out); }

std::size_t BuildCommandFrame(std::uint16_t unit, char letter, const char* data,
                              char (&frame)[kFrameCapacity]) {
    char address[5];
    ValToAsciiHex(unit, address);
    std::size_t at = 0;
    frame[at++] = '>';
    CopyText(address, frame, at, kFrameCapacity);
    frame[at++] = letter;
    CopyText(data, frame, at, kFrameCapacity - kFrameTail);
    frame[at] = '\0';
    char checksum[3];
    CalcChecksum(frame + 1, checksum);
    CopyText(checksum, frame, at, kFrameCapacity);
    frame[at++] = '\r';
    frame[at] = '\0';
    return at;
}

std::uint16_t AsciiHexToVal(const char* text) {
    std::uint16_t value = 0;
    for (std::size_t i = 0; i < 4 && text[i] != '\0'; ++i) {
        value = static_cast<std::uint16_t>((value << 4) + DigitValue(text[i]));
    }
    return value;
}

}  // namespace qsn
