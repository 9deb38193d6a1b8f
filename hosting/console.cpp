#include "console.h"

#include <csignal>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace plexer {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

const char* EscapeFor(Colour colour) {
    switch (colour) {
    case Colour::kDim: return "\x1b[2m";
    case Colour::kYellow: return "\x1b[33m";
    case Colour::kGreen: return "\x1b[32m";
    case Colour::kBold: return "\x1b[1m";
    case Colour::kNone: break;
    }
    return "";
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void PrepareConsole() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
}

InterruptCatcher::InterruptCatcher() {
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
}

InterruptCatcher::~InterruptCatcher() { std::signal(SIGINT, SIG_DFL); }

bool Interrupted() { return interrupted != 0; }

std::string Paint(const std::string& text, Colour colour, bool enabled) {
    if (!enabled || colour == Colour::kNone) return text;
    return EscapeFor(colour) + text + "\x1b[0m";
}

}  // namespace plexer
