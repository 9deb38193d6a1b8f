#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "request.h"

namespace plexer::gateway {

namespace {

constexpr int kBacklog = 64;
constexpr std::size_t kReadChunk = 4096;
// A request must arrive whole within this time of its first byte.
constexpr std::chrono::milliseconds kFrameTimeout{2000};
// How often the futures of writes in flight are looked at.
constexpr int kWriteCheckMs = 1;
constexpr int kMaxWaitMs = 1000;
// Writes still queued at a stop are done for this long; the rest answer 0x04.
constexpr std::chrono::milliseconds kStopDrain{5000};

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace

Server::Server(const ServerOptions& options, const PointMap& map, Poller& poller)
    : options_(options), map_(map), poller_(poller), frameTimeout_(std::min(kFrameTimeout, options.idleTimeout)) {
    modbus_ = modbus_new_tcp(options_.host.c_str(), options_.port);
    if (modbus_ == nullptr) throw std::runtime_error(std::string("libmodbus: ") + modbus_strerror(errno));
    listen_ = modbus_tcp_listen(modbus_, kBacklog);
    if (listen_ < 0) {
        const std::string why = modbus_strerror(errno);
        modbus_free(modbus_);
        throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " +
                                 why);
    }
    SetNonBlocking(listen_);
    port_ = BoundPort(listen_);
}

Server::~Server() {
    for (Connection& connection : connections_) Close(connection);
    if (listen_ >= 0) close(listen_);
    // The context holds only the last client's socket, closed above.
    modbus_set_socket(modbus_, -1);
    modbus_free(modbus_);
}

void Server::Close(Connection& connection) {
    if (connection.closed) return;
    close(connection.fd);
    connection.closed = true;
}

void Server::Accept() {
    for (;;) {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // Over the cap the client sees its connection closed rather than left waiting.
        if (static_cast<int>(connections_.size()) >= options_.maxClients) {
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection connection;
        connection.fd = fd;
        connection.lastHeard = Clock::now();
        connections_.push_back(std::move(connection));
    }
}

void Server::Receive(Connection& connection) {
    std::uint8_t buffer[kReadChunk];
    const ssize_t count = recv(connection.fd, buffer, sizeof buffer, 0);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(connection);
        return;
    }
    if (count < 0) return;
    connection.input.insert(connection.input.end(), buffer, buffer + count);
    connection.lastHeard = Clock::now();
    Process(connection);
}

// Answers the complete requests in the input, in order; a write holds the
// rest back until the driver has done it, so that answers keep their order.
// Once stopping, the poller takes no more writes: what is left is not taken on.
void Server::Process(Connection& connection) {
    while (!connection.closed && !connection.pending && !stopping_) {
        const std::optional<std::size_t> length = FrameLength(connection.input.data(), connection.input.size());
        if (!length) {
            Close(connection);  // not a Modbus TCP header: nothing after it can be trusted
            return;
        }
        if (*length == 0) {
            if (connection.input.empty()) {
                connection.partialSince.reset();
            } else if (!connection.partialSince) {
                connection.partialSince = Clock::now();
            }
            return;
        }
        const std::vector<std::uint8_t> adu(connection.input.begin(),
                                            connection.input.begin() + static_cast<long>(*length));
        connection.input.erase(connection.input.begin(), connection.input.begin() + static_cast<long>(*length));
        connection.partialSince.reset();
        Handle(connection, adu.data(), adu.size());
    }
}

void Server::Handle(Connection& connection, const std::uint8_t* adu, std::size_t length) {
    const Parsed parsed = ParseRequest(adu, length);
    if (parsed.exception != kNone) return AnswerException(connection, adu, parsed.exception);
    const Request& request = parsed.request;
    if (IsWrite(request.function)) {
        const WritePlan plan = PlanWrite(request, map_, options_.readOnly);
        if (plan.exception != kNone) return AnswerException(connection, adu, plan.exception);
        PendingWrite pending;
        pending.adu.assign(adu, adu + length);
        for (const auto& [index, value] : plan.writes)
            pending.outcomes.push_back(poller_.Write(map_.Gates()[index], value));
        connection.pending = std::move(pending);
        return;
    }
    std::optional<UnitHealth> health;
    if (ReadsHealth(request)) {
        for (const UnitHealth& unit : poller_.Units()) {
            if (unit.unit == request.unit) health = unit;
        }
    }
    const std::vector<PointState> points = ReadsHealth(request) ? std::vector<PointState>{} : poller_.Points();
    const ReadAnswer answer = AnswerRead(request, map_, points, health ? &*health : nullptr, PollClock::now());
    if (answer.exception != kNone) return AnswerException(connection, adu, answer.exception);
    Answer(connection, adu, length, request.function, request.address, answer.values);
}

// libmodbus builds the reply from a mapping that holds exactly the addresses asked for.
void Server::Answer(Connection& connection, const std::uint8_t* adu, std::size_t length, std::uint8_t function,
                    std::uint16_t address, const std::vector<std::uint16_t>& values) {
    std::uint8_t bits[MODBUS_MAX_READ_BITS] = {};
    std::uint16_t registers[MODBUS_MAX_READ_REGISTERS] = {};
    const int count = static_cast<int>(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        bits[i] = static_cast<std::uint8_t>(values[i] != 0);
        registers[i] = values[i];
    }
    modbus_mapping_t mapping{};
    const Table table = TableOfFunction(function);
    switch (table) {
    case Table::kCoils: mapping = {count, address, 0, 0, 0, 0, 0, 0, bits, nullptr, nullptr, nullptr}; break;
    case Table::kDiscreteInputs: mapping = {0, 0, count, address, 0, 0, 0, 0, nullptr, bits, nullptr, nullptr}; break;
    case Table::kInputRegisters:
        mapping = {0, 0, 0, 0, count, address, 0, 0, nullptr, nullptr, registers, nullptr};
        break;
    case Table::kHoldingRegisters:
        mapping = {0, 0, 0, 0, 0, 0, count, address, nullptr, nullptr, nullptr, registers};
        break;
    }
    modbus_set_socket(modbus_, connection.fd);
    if (modbus_reply(modbus_, adu, static_cast<int>(length), &mapping) < 0) Close(connection);
}

void Server::AnswerException(Connection& connection, const std::uint8_t* adu, std::uint8_t code) {
    modbus_set_socket(modbus_, connection.fd);
    if (modbus_reply_exception(modbus_, adu, code) < 0) Close(connection);
}

// The driver has done every write of the request: echo it, or 0x04 if any failed.
void Server::FinishWrite(Connection& connection) {
    PendingWrite& pending = *connection.pending;
    for (auto& outcome : pending.outcomes) {
        if (outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    }
    bool done = true;
    for (auto& outcome : pending.outcomes) done = outcome.get().result == QSN_OK && done;
    const Parsed parsed = ParseRequest(pending.adu.data(), pending.adu.size());
    if (!connection.closed) {
        if (done) {
            Answer(connection, pending.adu.data(), pending.adu.size(), parsed.request.function, parsed.request.address,
                   parsed.request.values);
        } else {
            AnswerException(connection, pending.adu.data(), kDeviceFailure);
        }
        connection.lastHeard = Clock::now();
    }
    connection.pending.reset();
    Process(connection);
}

void Server::Expire(Connection& connection, Clock::time_point now) const {
    if (connection.pending) return;  // a slow line is not an idle client
    const bool idle = now - connection.lastHeard > options_.idleTimeout;
    const bool stalled = connection.partialSince && now - *connection.partialSince > frameTimeout_;
    if (idle || stalled) {
        close(connection.fd);
        connection.closed = true;
    }
}

bool Server::AnyPending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const Connection& connection) { return connection.pending.has_value(); });
}

int Server::WaitMs(Clock::time_point now) const {
    if (AnyPending()) return kWriteCheckMs;
    auto wait = std::chrono::milliseconds(kMaxWaitMs);
    for (const Connection& connection : connections_) {
        auto deadline = connection.lastHeard + options_.idleTimeout;
        if (connection.partialSince) deadline = std::min(deadline, *connection.partialSince + frameTimeout_);
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
    return static_cast<int>(std::max(wait.count(), 0L));
}

void Server::Serve(int signalFd, const std::function<void()>& onHealth) {
    std::vector<pollfd> fds;
    std::vector<Connection*> watched;
    while (!stopping_ || AnyPending()) {
        fds.clear();
        watched.clear();
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({listen_, static_cast<short>(stopping_ ? 0 : POLLIN), 0});
        for (Connection& connection : connections_) {
            if (stopping_ || connection.pending || connection.closed) continue;
            fds.push_back({connection.fd, POLLIN, 0});
            watched.push_back(&connection);
        }
        if (poll(fds.data(), fds.size(), WaitMs(Clock::now())) < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo signal{};
            if (read(signalFd, &signal, sizeof signal) == sizeof signal) {
                if (signal.ssi_signo == SIGUSR1) {
                    onHealth();
                } else {
                    stopping_ = true;
                    poller_.Stop(kStopDrain);
                }
            }
        }
        if ((fds[1].revents & POLLIN) != 0) Accept();
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(*watched[i]);
        }
        const Clock::time_point now = Clock::now();
        for (Connection& connection : connections_) {
            if (connection.pending) FinishWrite(connection);
            if (!connection.closed) Expire(connection, now);
        }
        connections_.remove_if([](const Connection& connection) { return connection.closed && !connection.pending; });
    }
}

}  // namespace plexer::gateway
