#include "terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace plexer {

namespace {

// In Colour's order.
constexpr const char* kColourEscapes[] = {"", "\x1b[2m", "\x1b[33m", "\x1b[32m", "\x1b[1m"};

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
    // Colours and the table's redraw are escape sequences, which a Windows
    // console carries out only when asked to.
    for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE handle = GetStdHandle(which);
        DWORD mode = 0;
        if (GetConsoleMode(handle, &mode) != 0) SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#endif
}

int TerminalWidth(std::FILE* stream) {
    if (!IsTerminal(stream)) return 0;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetConsoleScreenBufferInfo(handle, &info) == 0) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
#endif
}

#if defined(_WIN32)
namespace {

// Whether the stream is a console, asked once per stream: the answer does not
// change while the program runs.
HANDLE ConsoleOf(std::FILE* stream) {
    static int known[3] = {-1, -1, -1};
    const int fd = _fileno(stream);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (fd < 0 || fd > 2) return nullptr;
    if (known[fd] < 0) {
        DWORD mode = 0;
        known[fd] = GetConsoleMode(handle, &mode) != 0 ? 1 : 0;
    }
    return known[fd] == 1 ? handle : nullptr;
}

// The runtime hands a console one character at a time, each a round trip to
// the console host; the whole text as UTF-16 goes in one.
bool WriteConsoleWhole(std::FILE* stream, const std::string& text) {
    const HANDLE console = ConsoleOf(stream);
    if (console == nullptr || text.empty()) return false;
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    std::fflush(stream);
    DWORD written = 0;
    return WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
}

}  // namespace
#endif

void WriteWhole(std::FILE* stream, const std::string& text) {
#if defined(_WIN32)
    if (WriteConsoleWhole(stream, text)) return;
#endif
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string Paint(const std::string& text, Colour colour, bool enabled) {
    if (!enabled || colour == Colour::kNone) return text;
    return kColourEscapes[static_cast<std::size_t>(colour)] + text + "\x1b[0m";
}

}  // namespace plexer
