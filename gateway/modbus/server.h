// The Modbus TCP side: one thread serves every client with epoll, so that a
// wake costs the sockets that are ready, not every client's. Requests
// are framed by their MBAP header and answered with libmodbus's replies:
// reads at once from the core's verdicts, writes once the driver has done them.
// Every request takes the core's settings anew, so a reload reaches the next one.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "line_core.h"
#include "traffic.h"

typedef struct _modbus modbus_t;

namespace plexer::gateway {

// Where to listen, fixed for the server's life; its limits come from the core's settings.
struct ServerOptions {
    std::string host;  // an IPv4 or IPv6 address, or localhost
    int port = 0;      // 0: any free port
    TrafficCounts* traffic = nullptr;  // counts every answer when given
};

struct ServeHooks {
    std::function<void()> health;                  // SIGUSR1
    std::function<void()> hangUp;  // SIGHUP
    std::function<void(const std::string&)> warn;
};

// Reads one signal from `signalFd` (a signalfd): SIGUSR1 and SIGHUP go to
// their hooks; true for the others (SIGINT, SIGTERM), which ask for a stop.
bool TakeSignal(int signalFd, const ServeHooks& hooks);

// Descriptors the gateway holds besides its clients: standard streams, the
// line, the listener, the signal and wake descriptors, the epoll set, the spare, the driver's.
inline constexpr int kDescriptorsBesideClients = 16;

// Raises the descriptor limit to what `maxClients` needs; throws
// std::invalid_argument when the hard limit is too low.
void FitDescriptorLimit(int maxClients);

class Server {
public:
    // Listens at once; throws std::runtime_error when it cannot.
    Server(const ServerOptions& options, LineCore& core);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int Port() const { return port_; }
    // As the kernel reports it: "127.0.0.1:5020", "[::1]:5020".
    const std::string& Address() const { return address_; }
    bool Loopback() const { return loopback_; }

    // Serves until SIGINT or SIGTERM arrives on `signalFd` (a signalfd), then
    // stops accepting, stops the line with the drain time-out and answers
    // every write still in flight before it returns.
    void Serve(int signalFd, const ServeHooks& hooks);

private:
    using Clock = std::chrono::steady_clock;

    struct Connection;
    // Outcomes of writes, handed from the poller's thread to the server's.
    struct Completions {
        std::mutex mutex;
        std::vector<std::pair<Connection*, WriteOutcome>> done;
        int wake = -1;  // an eventfd the server polls
    };
    struct PendingWrite {
        std::vector<std::uint8_t> adu;
        std::size_t waiting = 0;
        std::vector<WriteFate> fates;
    };
    struct Connection {
        int fd = -1;
        std::vector<std::uint8_t> input;
        Clock::time_point lastHeard;
        std::optional<Clock::time_point> partialSince;
        std::optional<PendingWrite> pending;
        bool closed = false;
        bool watched = false;  // in the epoll set: read on only when no write is in flight
    };

    void Listen();
    void Accept(const ServeHooks& hooks);
    bool MakeRoom();
    void Receive(Connection& connection);
    void Process(Connection& connection);
    void TakeRequests(Connection& connection);
    void Handle(Connection& connection, const std::uint8_t* adu, std::size_t length);
    void Answer(Connection& connection, const std::uint8_t* adu, std::size_t length, std::uint8_t function,
                std::uint16_t address, const std::vector<std::uint16_t>& values);
    void AnswerException(Connection& connection, const std::uint8_t* adu, std::uint8_t code);
    void TakeCompletions();
    void FinishWrite(Connection& connection);
    static Clock::time_point Deadline(const Connection& connection, std::chrono::milliseconds idleTimeout);
    void Expect(Clock::time_point deadline) { nextSweep_ = std::min(nextSweep_, deadline); }
    void Sweep(Clock::time_point now);
    int WaitMs(Clock::time_point now) const;
    bool AnyPending() const;
    void Watch(int fd, std::uint64_t tag, std::uint32_t events);
    void SyncWatch(Connection& connection);
    void StopServing();
    void Close(Connection& connection);

    ServerOptions options_;
    LineCore& core_;
    modbus_t* modbus_ = nullptr;
    int listen_ = -1;
    int spare_ = -1;  // given up to accept and close a client when descriptors run out
    int port_ = 0;
    std::string address_;
    bool loopback_ = true;
    std::optional<Clock::time_point> acceptPausedUntil_;
    bool stopping_ = false;
    int epoll_ = -1;
    // No client's deadline falls before this: the clients are swept only then, not on every wake.
    Clock::time_point nextSweep_ = Clock::time_point::max();
    bool anyClosed_ = false;  // since the closed were last let go
    std::shared_ptr<Completions> completions_;
    std::list<Connection> connections_;
};

}  // namespace plexer::gateway
