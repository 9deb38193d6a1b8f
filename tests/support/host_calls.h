// How tests call the driver as a host does: one request block a call, and the
// InitBlock that starts a line on a device.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "qsnwndut.h"

namespace qsn::test {

inline int32_t CallDriver(DriverContext* context, int32_t command, void* params) {
    RequestBlock request{};
    request.context = context;
    request.command = command;
    request.params = params;
    return QsnMain(&request);
}

// A line at 9600 baud, 8 data bits, no parity; "/dev/pts/3" is named "pts/3",
// as the driver takes names relative to /dev.
inline InitBlock InitFor(std::string device, int32_t readTimeout) {
    if (device.rfind("/dev/", 0) == 0) device.erase(0, 5);
    InitBlock init{};
    if (device.size() >= sizeof init.portName) {
        throw std::invalid_argument("port name too long for the driver: " + device);
    }
    std::memcpy(init.portName, device.c_str(), device.size() + 1);
    init.enabled = 1;
    init.readTimeout = readTimeout;
    init.settings = {9600, 8, 0, 0};
    return init;
}

}  // namespace qsn::test
