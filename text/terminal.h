// The terminal the program runs on: whether a stream is one, its width,
// colours, and writes that reach it whole.
#pragma once

#include <cstdio>
#include <string>

namespace plexer {

bool IsTerminal(std::FILE* stream);

// Makes the console show UTF-8 (the banner's box, degree signs) where it needs telling.
void PrepareConsole();

// Columns of the terminal on `stream`; 0 when it is not one or does not say.
int TerminalWidth(std::FILE* stream);

// `text` as it is, in one write and flushed: a table or a line reaches the
// terminal whole, and the Windows runtime does not go to the console once per
// character as it does for unbuffered text.
void WriteWhole(std::FILE* stream, const std::string& text);

enum class Colour { kNone, kDim, kYellow, kGreen, kBold };

// `text` in the colour when `enabled`, else unchanged.
std::string Paint(const std::string& text, Colour colour, bool enabled);

}  // namespace plexer
