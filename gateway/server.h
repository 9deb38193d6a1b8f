// The Modbus TCP side: one thread serves every client with poll(). Requests
// are framed by their MBAP header and answered with libmodbus's replies:
// reads at once from the poller's cache, writes once the driver has done them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "point_map.h"
#include "poller.h"

typedef struct _modbus modbus_t;

namespace plexer::gateway {

struct ServerOptions {
    std::string host;
    int port = 0;  // 0: any free port
    int maxClients = 64;
    std::chrono::milliseconds idleTimeout{60000};
    bool readOnly = false;
};

class Server {
public:
    // Listens at once; throws std::runtime_error when it cannot.
    Server(const ServerOptions& options, const PointMap& map, Poller& poller);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int Port() const { return port_; }

    // Serves until SIGINT or SIGTERM arrives on `signalFd` (a signalfd), then
    // stops the poller and answers the writes still in flight before it
    // returns. SIGUSR1 calls `onHealth`.
    void Serve(int signalFd, const std::function<void()>& onHealth);

private:
    using Clock = std::chrono::steady_clock;

    struct PendingWrite {
        std::vector<std::uint8_t> adu;
        std::vector<std::future<WriteOutcome>> outcomes;
    };
    struct Connection {
        int fd = -1;
        std::vector<std::uint8_t> input;
        Clock::time_point lastHeard;
        std::optional<Clock::time_point> partialSince;
        std::optional<PendingWrite> pending;
        bool closed = false;
    };

    void Accept();
    void Receive(Connection& connection);
    void Process(Connection& connection);
    void Handle(Connection& connection, const std::uint8_t* adu, std::size_t length);
    void Answer(Connection& connection, const std::uint8_t* adu, std::size_t length, std::uint8_t function,
                std::uint16_t address, const std::vector<std::uint16_t>& values);
    void AnswerException(Connection& connection, const std::uint8_t* adu, std::uint8_t code);
    void FinishWrite(Connection& connection);
    void Expire(Connection& connection, Clock::time_point now) const;
    int WaitMs(Clock::time_point now) const;
    bool AnyPending() const;
    void Close(Connection& connection);

    ServerOptions options_;
    const PointMap& map_;
    Poller& poller_;
    modbus_t* modbus_ = nullptr;
    int listen_ = -1;
    int port_ = 0;
    std::chrono::milliseconds frameTimeout_;
    bool stopping_ = false;
    std::list<Connection> connections_;
};

}  // namespace plexer::gateway
