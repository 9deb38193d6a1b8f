#include <stdexcept>

#include "wire_trace.h"

namespace plexer {

std::string WhyNoTrace() {
    return "--trace works on Linux only: Windows has no pseudo-terminal to put between the driver and the port "
           "(trace the line with the simulator's --trace, or a port monitor)";
}

struct WireTrace::Relay {};

WireTrace::WireTrace(const std::string&, const LineSettings&, std::unique_ptr<TraceLog>) {
    throw std::runtime_error(WhyNoTrace());
}

WireTrace::~WireTrace() = default;

const std::string& WireTrace::DriverPort() const {
    static const std::string none;
    return none;
}

std::unique_ptr<LineDevice> WireTrace::WatchDevice() const { return nullptr; }

}  // namespace plexer
