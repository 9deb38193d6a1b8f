// A host that runs one fixed scenario through the driver and prints every
// result, output field and log line as text, so that a run of the Windows DLL
// under Wine can be compared line by line with a run of the native library.
//
//   scenario_host DRIVER PORT
#include <cstdio>
#include <cstring>
#include <string>

#include "kaldor.h"
#include "qsnwndut.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

QsnMainFn LoadDriver(const char* path) {
#if defined(_WIN32)
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) return nullptr;
    // FARPROC is the generic signature; QsnMain takes its request block.
    return reinterpret_cast<QsnMainFn>(reinterpret_cast<void*>(GetProcAddress(library, "QsnMain")));
#else
    void* library = dlopen(path, RTLD_NOW);
    return library ? reinterpret_cast<QsnMainFn>(dlsym(library, "QsnMain")) : nullptr;
#endif
}

void PrintLogLine(int level, const char* line, void*) { std::printf("  log %d \"%s\"\n", level, line); }

QsnMainFn qsnMain = nullptr;
DriverContext context;

int32_t Request(int32_t command, void* params) {
    RequestBlock request{};
    request.context = &context;
    request.command = command;
    request.params = params;
    return qsnMain(&request);
}

struct GateCase {
    int32_t command;
    const char* gas;
    int32_t dataKind;
    int32_t elementCount;
};

constexpr GateCase kGates[] = {
    {3, "0aai3", 1, 16}, {3, "FFDOF", 6, 16}, {3, "01DI2", 1, 16}, {4, "01DI2", 1, 16},
    {4, "01DI0", 1, 16}, {3, "01CK5", 1, 16}, {3, "01CK5", 3, 16}, {4, "01CK5", 3, 16},
    {3, "01CK0", 0, 16}, {4, "01CK0", 0, 16}, {4, "01CK0", 0, 15}, {3, "0AAO7", 6, 16},
    {3, "01MX3", 0, 16}, {3, "0GAI1", 1, 16}, {3, "", 1, 16},     {3, "1", 1, 16},
    {3, "01XX1", 1, 16}, {3, "01AI", 1, 16},  {3, "01AIG", 1, 16}, {3, "01AI10", 1, 16},
    {3, "01mn3", 1, 16}, {3, "01NM3", 1, 16}, {3, "7fp1f", 1, 16}, {3, "{0AI0", 1, 16},
};

GateBlock Validate(int32_t command, const char* gas, int32_t dataKind, int32_t elementCount) {
    GateBlock gate{};
    gate.gas = gas;
    gate.dataKind = dataKind;
    gate.elementCount = elementCount;
    gate.pointAddress = 12345;  // shows where validation leaves it alone
    const int32_t result = Request(command, &gate);
    std::printf("validate %d \"%s\" kind %d elements %d: result %d unit %d type %d address %d "
                "index %d count %d scratch \"%.15s\"\n",
                command, gas, dataKind, elementCount, result, gate.unit, gate.typeCode,
                gate.pointAddress, gate.pointIndex, gate.pointCount, context.gasScratch);
    return gate;
}

void PrintValues(const char* what, const char* gas, int32_t count, int32_t result,
                 const int16_t (&values)[16]) {
    std::printf("%s \"%s\" count %d: result %d values", what, gas, count, result);
    for (int16_t v : values) std::printf(" %d", v);
    std::printf("\n");
}

PointBlock PointFor(const char* gas, int32_t count, int16_t (&values)[16]) {
    const bool digital = std::strstr("DIdiDOdo", std::string(gas + 2, 2).c_str()) != nullptr;
    const GateBlock gate = Validate(3, gas, digital ? 6 : 1, 16);
    PointBlock point{};
    point.gas = gas;
    point.unit = gate.unit;
    point.typeCode = gate.typeCode;
    point.pointAddress = gate.pointAddress;
    point.bitNumber = gate.pointIndex;
    point.dataKind = gate.dataKind;
    point.count = count;
    point.values = values;
    return point;
}

void Read(const char* gas, int32_t count) {
    int16_t values[16];
    for (int16_t& v : values) v = -1;
    PointBlock point = PointFor(gas, count, values);
    PrintValues("read", gas, count, Request(QSN_READ, &point), values);
}

void Write(const char* gas, int16_t value, int32_t count) {
    int16_t values[16] = {};
    values[count == 1 ? 1 : 0] = value;
    PointBlock point = PointFor(gas, count, values);
    PrintValues("write", gas, count, Request(QSN_WRITE, &point), values);
}

bool StartLine(const char* port) {
    InitBlock init{};
    std::snprintf(init.portName, sizeof init.portName, "%.11s", port);
    init.enabled = 1;
    init.readTimeout = 10;
    init.settings = {9600, 8, 0, 0};
    const int32_t result = Request(QSN_START_UP, &init);
    std::printf("start-up: result %d\n", result);
    return result == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: scenario_host DRIVER PORT\n");
        return 2;
    }
    qsnMain = LoadDriver(argv[1]);
    if (qsnMain == nullptr) {
        std::fprintf(stderr, "scenario_host: cannot load QsnMain from %s\n", argv[1]);
        return 1;
    }
    KaldorSetSink(PrintLogLine, nullptr);
    for (const GateCase& g : kGates) Validate(g.command, g.gas, g.dataKind, g.elementCount);
    if (!StartLine(argv[2])) return 1;
    Read("02AI3", 1);
    Read("02ai0", 16);
    Read("01DI5", 1);
    Read("01DI0", 16);
    Read("03CK0", 1);
    Read("03CK0", 16);
    Write("02AO6", 2048, 1);
    Read("02AO6", 1);
    Write("02AO0", 1234, 16);
    Read("02AO0", 16);
    Write("01DOC", 1, 1);
    Read("01DOC", 1);
    Write("02AI1", 5, 1);
    Write("02AO1", 4096, 1);
    Read("05AI0", 1);
    Read("06AI0", 1);
    Write("06AO0", 10, 1);
    Read("04AI1", 1);
    Request(QSN_WARM_START, nullptr);
    Read("02AI3", 1);
    std::printf("close: result %d\n", Request(QSN_CLOSE_PORT, nullptr));
    return 0;
}
