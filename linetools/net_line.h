// A line behind a serial device server, reached over TCP: raw
// (tcp://HOST:PORT) or telnet with the COM port option (rfc2217://HOST:PORT).
// The driver takes a port name of 11 characters and opens a terminal, so it is
// handed a pseudo-terminal, as for the wire trace, and a relay thread carries
// its bytes to the socket and back. Over RFC 2217 the settings the driver puts
// on its terminal and its discards reach the server as the option's commands.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "poller.h"
#include "qsnwndut.h"
#include "wire_trace.h"

namespace plexer {

struct NetAddress {
    bool rfc2217 = false;
    std::string host;  // a name, an IPv4 address or an IPv6 one without its brackets
    std::string port;  // digits, 1 to 65535
    std::string text;  // as given
};

// None when `given` names no server (a device); throws std::invalid_argument
// when it does but is malformed.
std::optional<NetAddress> ParseNetAddress(const std::string& given);

// The relay. Throws std::runtime_error when the server cannot be reached at
// first, does not answer the COM port option, or refuses a setting. A
// connection lost later is made again with a growing wait; meanwhile the
// driver's frames are dropped and it hears silence.
class NetLine {
public:
    // `log`, when given, traces the wire as WireTrace does.
    NetLine(const NetAddress& address, const LineSettings& settings, std::unique_ptr<TraceLog> log);
    ~NetLine();
    NetLine(const NetLine&) = delete;
    NetLine& operator=(const NetLine&) = delete;

    // The name to hand the driver.
    const std::string& DriverPort() const;
    // The connection as the poller sees a device: gone when lost since the
    // driver last opened, present when connected again.
    std::unique_ptr<LineDevice> Watch() const;

private:
    struct Relay;
    std::unique_ptr<Relay> relay_;
};

}  // namespace plexer
