// How a Win32-style control block maps onto termios: a pure function, so the
// mapping can be tested without a device (a pseudo-terminal would force 8
// data bits and drop parity, hiding mistakes).
#pragma once

#include <termios.h>

#include "serial/comm_state.h"

namespace qsn::posix {

// What the modem lines should do once the termios fields are written.
struct ModemLines {
    bool setDtr = false, clearDtr = false;
    bool setRts = false, clearRts = false;
    bool rs485 = false;  // RTS toggle: kernel RS-485 mode, where the UART has one
};

enum class MapResult { kOk, kUnsupported };

// Fills `tio` (holding the device's termios as read) from `state`. The line is
// made raw, as Windows ports are binary-only; fields the control block does
// not name keep their values. kUnsupported names a setting termios cannot
// honour (a baud rate without a speed constant, a byte size outside 5-8, a
// parity or stop code outside the table, DTR handshake, DSR flow control).
MapResult MapToTermios(const platform::CommState& state, termios* tio, ModemLines* lines);

// The control block as termios reports it; `native` is left to the caller.
void MapFromTermios(const termios& tio, platform::CommState* state);

// Baud rate to speed constant; B0 when there is none.
speed_t SpeedFor(std::uint32_t baudRate);
std::uint32_t BaudFor(speed_t speed);

}  // namespace qsn::posix
