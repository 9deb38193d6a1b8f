// The serial port module: open and configure a device, time its reads,
// discard pending input, write, read an exact count, close. It keeps no
// state and logs nothing; each call returns one of the codes below.
#pragma once

#include <cstdint>

#include "qsnwndut.h"
#include "serial/platform.h"

namespace qsn {

enum SerialResult : std::int32_t {
    kSerialOk = 0,
    kSerialOpenFailed = 1,      // open or time-out setting failed
    kSerialShortWrite = 2,      // fewer bytes written than asked
    kSerialGetStateFailed = 4,  // device closed again
    kSerialSetStateFailed = 5,  // device closed again
    kSerialIoFailed = 7         // close, write or read failed, or a read got nothing
};

// openFlags bits that select modem-line and flow controls.
enum OpenFlag : std::uint16_t {
    kFlagDtrEnable = 0x0001,
    kFlagRtsEnable = 0x0002,
    kFlagCtsFlow = 0x0010,
    kFlagDsrFlow = 0x0020,
    kFlagDtrEnableAlt = 0x0100,
    kFlagRtsEnableAlt = 0x0200,
    kFlagRtsHandshake = 0x1000,
    kFlagRtsToggle = 0x2000,
    kFlagDsrSensitivity = 0x4000,
    kFlagDtrHandshake = 0x8000
};

// Fixed values of configuring a port.
inline constexpr std::uint32_t kConfiguredReadTimeoutMs = 1000;
inline constexpr std::uint32_t kQueueSize = 2500;
inline constexpr char kErrorChar = static_cast<char>(0xFC);
inline constexpr std::int32_t kDiscardTimeoutUnits = 5;  // 50 ms
inline constexpr std::uint32_t kDiscardChunk = 512;
// A device that never stops sending would keep a discard reading for ever. Two
// queues' worth empties a full input queue and what arrives meanwhile: at most
// 10 reads (5120 bytes) of at most 50 ms each.
inline constexpr std::uint32_t kDiscardLimit = 2 * kQueueSize;

std::int32_t SerialOpen(const char* name, const LineSettings& settings, std::uint16_t openFlags,
                        PortHandle* handle);
// Applies the settings and openFlags table to a control block as read.
void ApplyLineSettings(platform::CommState* state, const LineSettings& settings,
                       std::uint16_t openFlags);
// Time-out in units of 10 ms; returns the previous one, truncated, or 0 on failure.
std::int32_t SerialSetReadTimeout(PortHandle handle, std::int32_t timeout);
std::int32_t SerialDiscardInput(PortHandle handle);
std::int32_t SerialWrite(PortHandle handle, const void* bytes, std::int32_t count,
                         std::int32_t* written = nullptr);
std::int32_t SerialRead(PortHandle handle, void* buffer, std::int32_t count,
                        std::int32_t* received = nullptr);
std::int32_t SerialClose(PortHandle handle);

// The line as the rest of the driver uses it, over the context's port.
bool SendFrame(const RequestBlock& request, const char* bytes, std::int32_t count);
bool ReceiveExact(const RequestBlock& request, char* buffer, std::int32_t count);

}  // namespace qsn
