// The host's own dealings with the serial line, one implementation per platform:
// naming a port as the driver takes it, and the raw exchange a scan probes with.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace plexer {

// The name to put in the driver's 11-character port field. On Linux a device
// under /dev may lose that prefix and a long path its links; throws
// std::runtime_error when the name still does not fit.
std::string DriverPortName(const std::string& given);

// Sends `frame` over the port the driver opened (its handle from the context)
// and collects a reply up to its carriage return, waiting at most `wait`.
// Input still pending is discarded first. Returns what arrived, whole or not:
// "" on silence.
std::string ProbeExchange(std::uint32_t port, const std::string& frame, std::chrono::milliseconds wait);

}  // namespace plexer
