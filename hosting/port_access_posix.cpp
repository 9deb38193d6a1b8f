#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "port_access.h"

namespace plexer {

namespace {

constexpr std::size_t kPortNameMax = 11;
constexpr std::string_view kDevPrefix = "/dev/";

std::string WithoutDevPrefix(const std::string& path) {
    return path.starts_with(kDevPrefix) ? path.substr(kDevPrefix.size()) : path;
}

}  // namespace

std::string DriverPortName(const std::string& given) {
    if (given.size() <= kPortNameMax) return given;
    std::string name = WithoutDevPrefix(given);
    if (name.size() <= kPortNameMax) return name;
    std::error_code error;
    const std::string resolved = std::filesystem::canonical(given, error).string();
    if (!error) name = WithoutDevPrefix(resolved);
    if (!error && name.size() <= kPortNameMax) return name;
    throw std::runtime_error("port name " + given + " is longer than the driver's 11 characters");
}

std::string ProbeExchange(std::uint32_t port, const std::string& frame, std::chrono::milliseconds wait) {
    // The driver keeps the descriptor plus one, so that 0 means no port.
    const int fd = static_cast<int>(port) - 1;
    tcflush(fd, TCIFLUSH);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = write(fd, frame.data() + sent, frame.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        sent += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::string reply;
    while (reply.empty() || reply.back() != '\r') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        char c = 0;
        if (ready <= 0 || read(fd, &c, 1) != 1) break;
        reply.push_back(c);
    }
    return reply;
}

}  // namespace plexer
