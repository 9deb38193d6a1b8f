// The line settings and time-outs as the platform's serial calls take them:
// plain data, shared by the driver's backends and the host's line tools, which
// set a real port up exactly as the driver would.
#pragma once

#include <cstdint>

namespace qsn {

// The 32-bit value stored in DriverContext.port: a HANDLE on Windows, the
// file descriptor plus one on POSIX, a port number in the fake. 0 is no port.
using PortHandle = std::uint32_t;

}  // namespace qsn

namespace qsn::platform {

// What a failed open yields, like INVALID_HANDLE_VALUE.
inline constexpr PortHandle kInvalidHandle = 0xFFFFFFFFu;

// Control-line modes, with the values of the Win32 DCB fields.
enum DtrControl : std::uint8_t { kDtrDisable = 0, kDtrEnable = 1, kDtrHandshake = 2 };
enum RtsControl : std::uint8_t {
    kRtsDisable = 0,
    kRtsEnable = 1,
    kRtsHandshake = 2,
    kRtsToggle = 3
};

// Stop-bit and parity codes, as in LineSettings and the DCB.
enum StopBits : std::uint8_t { kOneStopBit = 0, kOneAndHalfStopBits = 1, kTwoStopBits = 2 };
enum Parity : std::uint8_t { kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4 };

// The fields of the device control block the driver reads and writes. The
// backend keeps the device's complete native state in `native`, so that every
// other field is written back exactly as it was read.
struct CommState {
    std::uint32_t baudRate;
    std::uint8_t byteSize;
    std::uint8_t parity;
    std::uint8_t stopBits;
    bool parityCheck;  // fParity
    std::uint8_t dtrControl;
    std::uint8_t rtsControl;
    bool outxCtsFlow;
    bool outxDsrFlow;
    bool dsrSensitivity;
    char errorChar;
    bool errorCharReplace;  // fErrorChar
    alignas(8) unsigned char native[64];
};

// COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
    std::uint32_t readIntervalTimeout;
    std::uint32_t readTotalTimeoutMultiplier;
    std::uint32_t readTotalTimeoutConstant;
    std::uint32_t writeTotalTimeoutMultiplier;
    std::uint32_t writeTotalTimeoutConstant;
};

}  // namespace qsn::platform
