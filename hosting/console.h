// The terminal the program runs on: whether a stream is one, colours, and the
// Ctrl-C that ends a watch.
#pragma once

#include <cstdio>
#include <string>

namespace plexer {

bool IsTerminal(std::FILE* stream);

// Makes the console show UTF-8 (the banner's box, degree signs) where it needs telling.
void PrepareConsole();

// While one lives, Ctrl-C only sets the flag that Interrupted() reports.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};
bool Interrupted();

enum class Colour { kNone, kDim, kYellow, kGreen, kBold };

// `text` in the colour when `enabled`, else unchanged.
std::string Paint(const std::string& text, Colour colour, bool enabled);

}  // namespace plexer
