#include "display_text.h"

namespace plexer {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

}  // namespace

bool IsHexDigit(char c) { return UpperHexValue(c) >= 0 || (c >= 'a' && c <= 'f'); }

int UpperHexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string Hex2(unsigned value) { return {kUpperDigits[(value >> 4) & 0xFu], kUpperDigits[value & 0xFu]}; }

std::string Escaped(std::string_view bytes) {
    // Each of these is written as a backslash and the letter in its place in kLetters.
    constexpr std::string_view kNamed = "\r\n\t\\";
    constexpr std::string_view kLetters = "rnt\\";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (const std::size_t named = kNamed.find(c); named != std::string_view::npos) {
            text += {'\\', kLetters[named]};
        } else if (byte < 0x20 || byte > 0x7E) {
            text += "\\x" + Hex2(byte);
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace plexer
