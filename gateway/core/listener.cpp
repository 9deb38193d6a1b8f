#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace plexer::gateway {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

sockaddr_storage BindAddress(const std::string& host, int port, socklen_t& size, const std::string& what) {
    sockaddr_storage storage{};
    const std::string name = host == "localhost" ? "127.0.0.1" : host;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *v4;
    } else if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *v6;
    } else {
        throw std::runtime_error(what + "cannot listen on " + host + ": not an IPv4 or IPv6 address");
    }
    return storage;
}

void Describe(const sockaddr_storage& storage, Listener& listener) {
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        listener.port = ntohs(v6.sin6_port);
        listener.loopback = IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) != 0;
        listener.address = "[" + std::string(text) + "]:" + std::to_string(listener.port);
        return;
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    listener.port = ntohs(v4.sin_port);
    listener.loopback = (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    listener.address = std::string(text) + ":" + std::to_string(listener.port);
}

}  // namespace

Listener Listen(const std::string& host, int port, int backlog, const std::string& what) {
    socklen_t size = 0;
    const sockaddr_storage wanted = BindAddress(host, port, size, what);
    const std::string where = what + "cannot listen on " + host + ":" + std::to_string(port);
    Listener listener;
    listener.fd = socket(wanted.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener.fd < 0) Fail(where);
    const int on = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener.fd, reinterpret_cast<const sockaddr*>(&wanted), size) != 0 || listen(listener.fd, backlog) != 0) {
        const int error = errno;
        close(listener.fd);
        errno = error;
        Fail(where);
    }
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    getsockname(listener.fd, reinterpret_cast<sockaddr*>(&bound), &boundSize);
    Describe(bound, listener);
    return listener;
}

int AcceptClient(int listenFd) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return fd;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool TurnAwayThroughSpare(int listenFd, int* spare) {
    close(*spare);
    const int turnedAway = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (turnedAway >= 0) close(turnedAway);
    *spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return turnedAway >= 0 && *spare >= 0;
}

}  // namespace plexer::gateway
