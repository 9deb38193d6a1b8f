#include <stdexcept>

#include "net_line.h"

namespace plexer {

struct NetLine::Relay {};

NetLine::NetLine(const NetAddress&, const LineSettings&, std::unique_ptr<TraceLog>) {
    throw std::runtime_error("a line behind a serial server is reached from Linux only; on Windows, map it to a COM "
                             "port with the server's own driver");
}

NetLine::~NetLine() = default;

const std::string& NetLine::DriverPort() const {
    static const std::string none;
    return none;
}

std::unique_ptr<LineDevice> NetLine::Watch() const { return nullptr; }

}  // namespace plexer
