// Bytes and numbers as people read them: hexadecimal digits as frames and
// gate addresses write them, and frames escaped into printable text.
#pragma once

#include <string>
#include <string_view>

namespace plexer {

// 0-9, A-F or a-f: what a person may type.
bool IsHexDigit(char c);

// The value of 0-9 or A-F, as frames carry them; -1 for anything else.
int UpperHexValue(char c);

// Two upper-case digits of the low byte: "0B".
std::string Hex2(unsigned value);

// Printable ASCII: \r, \n and \t, the backslash doubled, and \xHH for other
// control characters and bytes above 126.
std::string Escaped(std::string_view bytes);

}  // namespace plexer
