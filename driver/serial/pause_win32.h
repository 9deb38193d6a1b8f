// How the Win32 backend keeps a pause, reachable by its tests: the preferred
// clock is used when the system has it, else the fallback.
#pragma once

#include <cstdint>

namespace qsn::platform::win32 {

enum class PauseClock {
    kHighResolutionTimer,  // a waitable timer created high-resolution
    kRaisedResolution      // Sleep with the system timer raised to 1 ms for the pause
};

// Pauses `milliseconds` and returns the clock that kept the pause.
PauseClock Pause(std::uint32_t milliseconds, PauseClock preferred);

// The clock that keeps a pause best on the system the driver runs on.
PauseClock PreferredPauseClock();

}  // namespace qsn::platform::win32
