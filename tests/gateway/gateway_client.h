// The gateway as its tests and its benchmark run it: the built plexer
// serving a line, and a client that speaks raw Modbus TCP bytes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace gateway_test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// plexer with `args`, ready once it has said where it listens.
class Gateway {
public:
    explicit Gateway(const std::vector<std::string>& args);
    // Another server, `argv` with its program first, that says where it listens as plexer does.
    Gateway(std::vector<std::string> argv, std::chrono::milliseconds limit);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;
    // The exit code, once the signal (none: 0) has ended it.
    int Stop(int signal);
    // Standard output until `pattern` shows up in it; throws after `limit`.
    std::smatch Await(const std::regex& pattern, std::chrono::milliseconds limit);
    const std::string& Printed() const { return printed_; }

private:
    bool Read(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string printed_;
};

// A client of 127.0.0.1:port that speaks raw bytes.
class Socket {
public:
    explicit Socket(int port);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Send(const Bytes& bytes) const;
    // At least `want` bytes, or what arrived within `limit`; none when the
    // gateway closed the connection before sending anything.
    std::optional<Bytes> Receive(std::chrono::milliseconds limit = 3s, std::size_t want = 1) const;

private:
    int fd_ = -1;
};

// A request with its MBAP header.
Bytes Adu(std::uint8_t unit, Bytes pdu, std::uint16_t transaction = 1);
// One request over a fresh connection: the reply's PDU, empty if none.
Bytes Exchange(int port, std::uint8_t unit, const Bytes& pdu);
// One input register: its value, or 0x10000 + the exception code, or -1.
int ReadInput(int port, std::uint8_t unit, std::uint16_t address);

}  // namespace gateway_test
