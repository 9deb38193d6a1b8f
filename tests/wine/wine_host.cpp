// A small host program, as the real host uses the driver: it loads
// QSNWNDUT.dll at run time beside KALDOR.DLL, captures the log lines through
// KaldorSetSink, identifies the driver and runs a line through its lifecycle.
//
//   wine_host.exe MAPPED_PORT UNMAPPED_PORT
//
// Prints every mismatch and exits non-zero if there was any.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kaldor.h"
#include "qsnwndut.h"

namespace {

struct Logged {
    int level;
    std::string text;
};

std::vector<Logged> logged;
int failures = 0;
QsnMainFn qsnMain = nullptr;

void Sink(int level, const char* line, void*) { logged.push_back({level, line}); }

void Expect(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::printf("MISMATCH: %s\n", what.c_str());
}

// The lines logged since the last check must be exactly `want`, in order.
void ExpectLog(const std::vector<Logged>& want, const std::string& step) {
    bool same = logged.size() == want.size();
    for (std::size_t i = 0; same && i < want.size(); ++i) {
        same = logged[i].level == want[i].level && logged[i].text == want[i].text;
    }
    if (!same) {
        for (const Logged& l : logged) std::printf("  logged [%d] \"%s\"\n", l.level, l.text.c_str());
    }
    Expect(same, step + ": log lines");
    logged.clear();
}

std::int32_t Call(DriverContext* context, std::int32_t command, void* params) {
    RequestBlock request{};
    request.context = context;
    request.command = command;
    request.params = params;
    return qsnMain(&request);
}

bool Load() {
    const HMODULE driver = LoadLibraryA("QSNWNDUT.dll");
    const HMODULE kaldor = GetModuleHandleA("KALDOR.DLL");
    if (driver == nullptr || kaldor == nullptr) {
        std::printf("MISMATCH: cannot load QSNWNDUT.dll beside KALDOR.DLL (error %lu)\n",
                    GetLastError());
        return false;
    }
    qsnMain = reinterpret_cast<QsnMainFn>(
        reinterpret_cast<void*>(GetProcAddress(driver, "QsnMain")));
    const auto setSink = reinterpret_cast<decltype(&KaldorSetSink)>(
        reinterpret_cast<void*>(GetProcAddress(kaldor, "KaldorSetSink")));
    if (qsnMain == nullptr || setSink == nullptr) {
        std::printf("MISMATCH: QsnMain or KaldorSetSink not exported\n");
        return false;
    }
    setSink(Sink, nullptr);
    return true;
}

// The banner as the host shows it: six 62-character box lines in code page 437.
std::string BoxLine(char left, const std::string& inner, char right) {
    return std::string(1, left) + inner + std::string(1, right) + "\n";
}

std::string Centred(std::size_t lead, const std::string& text) {
    return std::string(lead, ' ') + text + std::string(60 - lead - text.size(), ' ');
}

void CheckBanner(const char* banner) {
    const std::string shades = std::string(5, '\xDB') + std::string(6, '\xB2') +
                               std::string(6, '\xB1') + std::string(6, '\xB0') + " Q S N D U T " +
                               std::string(4, '\xB0') + std::string(6, '\xB1') +
                               std::string(6, '\xB2') + std::string(5, '\xDB');
    const std::string head = "\n" + BoxLine('\xDA', std::string(60, '\xC4'), '\xBF') +
                             BoxLine('\xB3', " " + shades + "  ", '\xB3') +
                             BoxLine('\xB3', Centred(15, "duTec I/O Plexer driver installed."), '\xB3') +
                             BoxLine('\xB3', Centred(16, "Opto22 Optomux 2 Pass Protocol."), '\xB3');
    const std::string tail = BoxLine('\xC0', std::string(60, '\xC4'), '\xD9');
    const std::string got(banner);
    Expect(got.size() == 379, "banner is 379 characters, got " + std::to_string(got.size()));
    if (got.size() != 379) return;
    Expect(got.compare(0, head.size(), head) == 0, "banner lines 1 to 4");
    Expect(got.compare(379 - tail.size(), tail.size(), tail) == 0, "banner line 6");
    // The fifth line is ours to word: a framed line that carries the version.
    const std::string fifth = got.substr(head.size(), 63);
    Expect(fifth.front() == '\xB3' && fifth.substr(61) == "\xB3\n", "banner line 5 framed");
    Expect(fifth.find("Version 7.00") != std::string::npos, "banner line 5 has the version");
    for (char c : fifth.substr(1, 60)) Expect(c >= ' ' && c <= '~', "banner line 5 printable");
}

// Every byte of the block, and the guard bytes after it untouched.
void CheckIdentify() {
    unsigned char area[sizeof(IdentBlock) + 8];
    std::memset(area, 0xA5, sizeof area);
    auto* block = reinterpret_cast<IdentBlock*>(area);
    Expect(Call(nullptr, QSN_IDENTIFY, block) == QSN_OK, "identify result");
    Expect(block->familyName != nullptr &&
               std::strcmp(block->familyName, "duTec I/O Plexer family") == 0,
           "family name");
    if (block->banner != nullptr) CheckBanner(block->banner);
    IdentBlock want{};
    want.identValueA = 70;
    want.familyName = block->familyName;
    want.banner = block->banner;
    want.contextSize = QSN_CONTEXT_SIZE;
    want.identValueB = 4;
    want.defaultSettings = LineSettings{9600, 8, 0, 0};
    want.identValueC = 3;
    Expect(std::memcmp(area, &want, sizeof want) == 0, "IdentBlock bytes");
    for (std::size_t i = sizeof(IdentBlock); i < sizeof area; ++i) {
        Expect(area[i] == 0xA5, "byte after IdentBlock untouched");
    }
    ExpectLog({}, "identify");
}

InitBlock Init(const char* port) {
    InitBlock init{};
    std::snprintf(init.portName, sizeof init.portName, "%s", port);
    init.enabled = 1;
    init.readTimeout = 150;
    init.settings = LineSettings{9600, 8, 0, 0};
    return init;
}

void CheckLifecycle(DriverContext* context, const char* port) {
    InitBlock init = Init(port);
    Expect(Call(context, QSN_START_UP, &init) == QSN_OK, "start-up on " + std::string(port));
    ExpectLog({{32, "QSNDUT: duTec Driver, loaded successfully."}}, "start-up");
    Expect(context->port != 0 && context->active == 1 && context->readTimeout == 150 &&
               context->portDesc.openFlags == 8 && std::strcmp(context->portDesc.portName, port) == 0,
           "context after start-up");

    Expect(Call(context, QSN_WARM_START, nullptr) == QSN_OK, "warm start");
    ExpectLog({{32, "QSNDUT: Warm Start."}}, "warm start");
    Expect(Call(context, QSN_NO_OP, nullptr) == QSN_FAILED, "command 10");

    Expect(Call(context, QSN_CLOSE_PORT_ALT, nullptr) == QSN_OK && context->port == 0, "close (11)");
    Expect(Call(context, QSN_CLOSE_PORT, nullptr) == QSN_OK, "close (12) when closed");
    Expect(Call(context, QSN_OPEN_PORT, nullptr) == QSN_OK && context->port != 0, "open (13)");
    Expect(Call(context, QSN_CLOSE_PORT, nullptr) == QSN_OK && context->port == 0, "close (12)");
    ExpectLog({}, "close and open");
}

void CheckBadPort(DriverContext* context, const char* port) {
    InitBlock init = Init(port);
    Expect(Call(context, QSN_START_UP, &init) == QSN_NO_LINE, "start-up on " + std::string(port));
    ExpectLog({{32, "QSNDUT: Fail to open " + std::string(port)}}, "start-up on a bad port");
    Expect(context->port == 0 && context->active == 1, "context after a failed start-up");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: wine_host MAPPED_PORT UNMAPPED_PORT\n");
        return 2;
    }
    if (!Load()) return 1;
    CheckIdentify();
    // The host allocates the context at the size identification reports.
    std::vector<unsigned char> contextBytes(QSN_CONTEXT_SIZE, 0);
    auto* context = reinterpret_cast<DriverContext*>(contextBytes.data());
    CheckLifecycle(context, argv[1]);
    std::vector<unsigned char> otherBytes(QSN_CONTEXT_SIZE, 0);
    CheckBadPort(reinterpret_cast<DriverContext*>(otherBytes.data()), argv[2]);
    std::printf("wine_host: %d mismatch(es)\n", failures);
    return failures == 0 ? 0 : 1;
}
