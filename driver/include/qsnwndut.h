/* QSNWNDUT: duTec I/O Plexer driver, the host's view.
 *
 * A host program includes this header to build the request blocks it passes
 * to QsnMain. Every block is packed and little-endian; on 32-bit targets each
 * offset is fixed by the host interface and checked below. On 64-bit targets
 * the pointers widen, but DriverContext holds no pointer and stays 9009 bytes.
 * The header is valid C and C++.
 */
#ifndef QSNWNDUT_H
#define QSNWNDUT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QSN_CALL __stdcall
#else
#define QSN_CALL
#endif

#if defined(_WIN32)
#define QSN_EXPORT
#else
#define QSN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define QSN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define QSN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Command codes of RequestBlock.command. 8, 9 and 16 have no handler. */
enum QsnCommand {
    QSN_START_UP = 1,
    QSN_WARM_START = 2,
    QSN_VALIDATE_GATE = 3,
    QSN_VALIDATE_GATE_ONLY = 4,
    QSN_READ_ALT = 5,
    QSN_READ = 6,
    QSN_WRITE = 7,
    QSN_NO_OP = 10,
    QSN_CLOSE_PORT_ALT = 11,
    QSN_CLOSE_PORT = 12,
    QSN_OPEN_PORT = 13,
    QSN_IDENTIFY = 14,
    QSN_REOPEN_PORT = 15
};

/* Results: 0 success; 1 validation failure, refused write, rejected replies
 * (and the fixed answer of command 10); 2 port not opened or closed, or no
 * complete reply. */
enum QsnResult { QSN_OK = 0, QSN_FAILED = 1, QSN_NO_LINE = 2 };

#pragma pack(push, 1)

typedef struct DriverContext DriverContext;

typedef struct RequestBlock {
    DriverContext* context;
    int32_t command;
    uint8_t notUsed[8];
    void* params;
} RequestBlock;

/* stopBits and parity hold the Windows codes: stop 0 one, 1 one and a half,
 * 2 two; parity 0 none, 1 odd, 2 even, 3 mark, 4 space. */
typedef struct LineSettings {
    uint16_t baudRate;
    int16_t dataBits;
    int16_t stopBits;
    int16_t parity;
} LineSettings;

typedef struct InitBlock {
    char portName[12];
    int32_t enabled;
    int32_t readTimeout; /* units of 10 ms */
    LineSettings settings;
} InitBlock;

typedef struct PortBlock {
    char portName[12];
    int32_t readTimeout; /* units of 10 ms; 0 keeps the stored one */
    LineSettings settings;
} PortBlock;

typedef struct IdentBlock {
    int32_t identValueA;
    const char* familyName;
    const char* banner;
    int32_t contextSize;
    int32_t identValueB;
    LineSettings defaultSettings;
    int32_t identValueC;
} IdentBlock;

typedef struct GateBlock {
    const char* gas;
    uint8_t notUsed04[4];
    int32_t dataKind;
    int32_t elementCount;
    int32_t unit;
    int32_t typeCode;
    int32_t pointAddress;
    int32_t pointIndex;
    int32_t pointCount;
} GateBlock;

typedef struct PointBlock {
    const char* gas;
    uint8_t notUsed04[4];
    int32_t unit;
    int32_t typeCode;
    int32_t pointAddress;
    int32_t bitNumber;
    int32_t notUsed18; /* the pointCount slot of GateBlock */
    int32_t dataKind;
    int32_t count;
    uint8_t notUsed24[4];
    int16_t* values;
} PointBlock;

typedef struct PortDescriptor {
    char portName[12];
    LineSettings settings;
    uint16_t openFlags;
} PortDescriptor;

/* port: a Win32 HANDLE on Windows; on POSIX the file descriptor plus one.
 * 0 means no port in both. */
struct DriverContext {
    int32_t readTimeout;
    uint32_t port;
    int32_t active;
    PortDescriptor portDesc;
    char gasScratch[15];
    uint8_t unitCleared[256];
    uint8_t outputConfigured[256][17];
    uint8_t tempConfigured[256][17];
};

#pragma pack(pop)

#define QSN_CONTEXT_SIZE 9009

QSN_STATIC_ASSERT(sizeof(LineSettings) == 8, "LineSettings");
QSN_STATIC_ASSERT(sizeof(InitBlock) == 28, "InitBlock");
QSN_STATIC_ASSERT(offsetof(InitBlock, enabled) == 0x0c, "InitBlock.enabled");
QSN_STATIC_ASSERT(offsetof(InitBlock, readTimeout) == 0x10, "InitBlock.readTimeout");
QSN_STATIC_ASSERT(offsetof(InitBlock, settings) == 0x14, "InitBlock.settings");
QSN_STATIC_ASSERT(sizeof(PortBlock) == 24, "PortBlock");
QSN_STATIC_ASSERT(offsetof(PortBlock, readTimeout) == 0x0c, "PortBlock.readTimeout");
QSN_STATIC_ASSERT(offsetof(PortBlock, settings) == 0x10, "PortBlock.settings");
QSN_STATIC_ASSERT(sizeof(PortDescriptor) == 22, "PortDescriptor");
QSN_STATIC_ASSERT(offsetof(PortDescriptor, settings) == 12, "PortDescriptor.settings");
QSN_STATIC_ASSERT(offsetof(PortDescriptor, openFlags) == 20, "PortDescriptor.openFlags");
QSN_STATIC_ASSERT(sizeof(struct DriverContext) == QSN_CONTEXT_SIZE, "DriverContext");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, port) == 0x0004, "DriverContext.port");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, active) == 0x0008, "DriverContext.active");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, portDesc) == 0x000c, "DriverContext.portDesc");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, gasScratch) == 0x0022, "DriverContext.gasScratch");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, unitCleared) == 0x0031, "DriverContext.unitCleared");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, outputConfigured) == 0x0131,
                  "DriverContext.outputConfigured");
QSN_STATIC_ASSERT(offsetof(struct DriverContext, tempConfigured) == 0x1231,
                  "DriverContext.tempConfigured");

#if UINTPTR_MAX == 0xFFFFFFFFu
QSN_STATIC_ASSERT(offsetof(RequestBlock, command) == 0x04, "RequestBlock.command");
QSN_STATIC_ASSERT(offsetof(RequestBlock, notUsed) == 0x08, "RequestBlock.notUsed");
QSN_STATIC_ASSERT(offsetof(RequestBlock, params) == 0x10, "RequestBlock.params");
QSN_STATIC_ASSERT(sizeof(RequestBlock) == 20, "RequestBlock");
QSN_STATIC_ASSERT(offsetof(IdentBlock, familyName) == 0x04, "IdentBlock.familyName");
QSN_STATIC_ASSERT(offsetof(IdentBlock, banner) == 0x08, "IdentBlock.banner");
QSN_STATIC_ASSERT(offsetof(IdentBlock, contextSize) == 0x0c, "IdentBlock.contextSize");
QSN_STATIC_ASSERT(offsetof(IdentBlock, identValueB) == 0x10, "IdentBlock.identValueB");
QSN_STATIC_ASSERT(offsetof(IdentBlock, defaultSettings) == 0x14, "IdentBlock.defaultSettings");
QSN_STATIC_ASSERT(offsetof(IdentBlock, identValueC) == 0x1c, "IdentBlock.identValueC");
QSN_STATIC_ASSERT(sizeof(IdentBlock) == 32, "IdentBlock");
QSN_STATIC_ASSERT(offsetof(GateBlock, dataKind) == 0x08, "GateBlock.dataKind");
QSN_STATIC_ASSERT(offsetof(GateBlock, elementCount) == 0x0c, "GateBlock.elementCount");
QSN_STATIC_ASSERT(offsetof(GateBlock, unit) == 0x10, "GateBlock.unit");
QSN_STATIC_ASSERT(offsetof(GateBlock, typeCode) == 0x14, "GateBlock.typeCode");
QSN_STATIC_ASSERT(offsetof(GateBlock, pointAddress) == 0x18, "GateBlock.pointAddress");
QSN_STATIC_ASSERT(offsetof(GateBlock, pointIndex) == 0x1c, "GateBlock.pointIndex");
QSN_STATIC_ASSERT(offsetof(GateBlock, pointCount) == 0x20, "GateBlock.pointCount");
QSN_STATIC_ASSERT(sizeof(GateBlock) == 36, "GateBlock");
QSN_STATIC_ASSERT(offsetof(PointBlock, unit) == 0x08, "PointBlock.unit");
QSN_STATIC_ASSERT(offsetof(PointBlock, typeCode) == 0x0c, "PointBlock.typeCode");
QSN_STATIC_ASSERT(offsetof(PointBlock, pointAddress) == 0x10, "PointBlock.pointAddress");
QSN_STATIC_ASSERT(offsetof(PointBlock, bitNumber) == 0x14, "PointBlock.bitNumber");
QSN_STATIC_ASSERT(offsetof(PointBlock, dataKind) == 0x1c, "PointBlock.dataKind");
QSN_STATIC_ASSERT(offsetof(PointBlock, count) == 0x20, "PointBlock.count");
QSN_STATIC_ASSERT(offsetof(PointBlock, values) == 0x28, "PointBlock.values");
QSN_STATIC_ASSERT(sizeof(PointBlock) == 44, "PointBlock");
#endif

/* The driver's one export. */
QSN_EXPORT int32_t QSN_CALL QsnMain(RequestBlock* request);

/* Signature of QsnMain for hosts that load the library at run time. */
typedef int32_t(QSN_CALL* QsnMainFn)(RequestBlock* request);

#ifdef __cplusplus
}
#endif

#endif /* QSNWNDUT_H */
