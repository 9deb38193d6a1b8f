// A minimal host: loads the driver as the real host does, identifies it,
// then starts, warm-starts and closes a line on a pseudo-terminal.
#include <dlfcn.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cp437.h"
#include "kaldor.h"
#include "qsnwndut.h"

namespace {

void PrintLogLine(int level, const char* line, void*) { std::printf("  [%2d] %s\n", level, line); }

int32_t Request(QsnMainFn qsnMain, DriverContext* context, int32_t command, void* params) {
    RequestBlock request{};
    request.context = context;
    request.command = command;
    request.params = params;
    return qsnMain(&request);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string driverPath = argc > 1 ? argv[1] : "libqsnwndut.so";
    void* library = dlopen(driverPath.c_str(), RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "demo: cannot load %s: %s\n", driverPath.c_str(), dlerror());
        return 1;
    }
    auto qsnMain = reinterpret_cast<QsnMainFn>(dlsym(library, "QsnMain"));
    if (qsnMain == nullptr) {
        std::fprintf(stderr, "demo: %s has no QsnMain\n", driverPath.c_str());
        return 1;
    }
    KaldorSetSink(PrintLogLine, nullptr);

    IdentBlock ident{};
    Request(qsnMain, nullptr, QSN_IDENTIFY, &ident);
    std::printf("%s%s\n", ident.familyName, plexer::Cp437ToUtf8(ident.banner).c_str());
    std::printf("context size %d, default line %u baud, %d data bits\n\n", ident.contextSize,
                ident.defaultSettings.baudRate, ident.defaultSettings.dataBits);

    int master = -1, slave = -1;
    char slaveName[64] = {};
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::perror("demo: openpty");
        return 1;
    }
    close(slave);
    static DriverContext context;  // 9009 bytes, zero-filled
    InitBlock init{};
    const std::string port = slaveName + 5;  // "pts/N", relative to /dev
    if (port.size() >= sizeof init.portName) {
        std::fprintf(stderr, "demo: %s is too long a port name\n", slaveName);
        return 1;
    }
    std::memcpy(init.portName, port.c_str(), port.size() + 1);
    init.enabled = 1;
    init.readTimeout = 100;
    init.settings = ident.defaultSettings;
    std::printf("start-up on /dev/%s:\n", init.portName);
    const int32_t started = Request(qsnMain, &context, QSN_START_UP, &init);
    std::printf("  result %d\nwarm start:\n", started);
    std::printf("  result %d\n", Request(qsnMain, &context, QSN_WARM_START, nullptr));
    std::printf("close: result %d\n", Request(qsnMain, &context, QSN_CLOSE_PORT, nullptr));
    close(master);
    return started == QSN_OK ? 0 : 1;
}
