// The host's own dealings with the serial line, one implementation per platform:
// naming a port as the driver takes it, and a port of the host's own for the
// scan's probes and the wire trace's relay.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qsnwndut.h"
#include "poller.h"

namespace plexer {

// The name to put in the driver's 11-character port field. On Linux a device
// under /dev may lose that prefix and a long path its links; throws
// std::runtime_error when the name still does not fit.
std::string DriverPortName(const std::string& given);

// The device a port name stands for, as the driver opens it.
std::string DevicePath(const std::string& given);

// Why the port cannot serve as a serial line, found before the driver tries:
// missing, not a terminal, busy (held by another program), permission
// denied. "" when nothing stands in the way.
std::string PortProblem(const std::string& given);

// The baud rates the platform's serial backend can set, ascending; empty when
// it takes any rate the driver's 16-bit field holds.
std::vector<unsigned> SupportedBaudRates();

// The latency timer of the USB serial adapter behind `given`, in ms, read from
// the kernel's device tree under `sysRoot`; none when the port is not such an
// adapter (or the platform does not say).
std::optional<int> UsbLatencyTimerMs(const std::string& given,
                                     const std::filesystem::path& sysRoot = "/sys");

// A port the host opens itself, set up as the driver sets it up: held
// exclusively, raw, with the line settings mapped as the driver's backend maps
// them. Throws std::runtime_error, naming the port, when it cannot be had.
class HostLine {
public:
    HostLine(const std::string& given, const LineSettings& settings);
    ~HostLine();
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    // Sends `frame` and collects a reply up to its carriage return, waiting at
    // most `wait`. Input still pending is discarded first. Returns what
    // arrived, whole or not: "" on silence.
    std::string Exchange(const std::string& frame, std::chrono::milliseconds wait);

    // The descriptor on POSIX, the HANDLE on Windows.
    std::intptr_t Native() const { return handle_; }

private:
    std::intptr_t handle_;
};

#ifndef _WIN32
// All of `bytes` to the descriptor, resumed after a signal; false when a write fails.
bool WriteAll(int fd, std::string_view bytes);
#endif

// The device behind `given` as it is now, to tell when it goes or is
// replaced; none where the platform cannot tell.
std::unique_ptr<LineDevice> WatchDevice(const std::string& given);

}  // namespace plexer
