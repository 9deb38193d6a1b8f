// The platform seam under the serial module: the Win32 comm calls the driver
// relies on, plus the millisecond sleep. One backend per platform implements
// it (Win32, POSIX termios, and a scripted fake for unit tests); CMake links
// exactly one of them.
#pragma once

#include <cstdint>

#include "serial/comm_state.h"

namespace qsn::platform {

// CreateFileA(name, read|write, no sharing, OPEN_EXISTING, synchronous).
// Returns kInvalidHandle on failure.
PortHandle PortOpen(const char* name);
bool PortGetState(PortHandle port, CommState* state);
bool PortSetState(PortHandle port, const CommState& state);
bool PortGetTimeouts(PortHandle port, CommTimeouts* timeouts);
bool PortSetTimeouts(PortHandle port, const CommTimeouts& timeouts);
bool PortSetupQueues(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue);
// ClearCommError: clears the error state and reports the bytes waiting.
bool PortClearErrors(PortHandle port, std::uint32_t* bytesWaiting);
// ReadFile: returns once `count` bytes arrived or the time-outs ran out,
// successfully in both cases; `received` tells how many arrived.
bool PortRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received);
bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written);
bool PortClose(PortHandle port);
void SleepMs(std::uint32_t milliseconds);

}  // namespace qsn::platform
