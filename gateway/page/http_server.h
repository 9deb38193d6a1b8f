// A small HTTP/1.1 server for a read-only page: GET and HEAD only, one thread
// serving every connection with poll(), as the Modbus server does. No client
// can hold it: a request must arrive whole within a deadline however slowly it
// trickles, connections are capped and a newcomer's room is made by one that
// never finished a request before one that was answered (a kept-open scraper
// outlives a flood of idle sockets), and a request with a body is refused at its headers.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plexer::gateway {

struct HttpAnswer {
    std::string type;  // Content-Type
    std::string body;
    int status = 200;                  // 200, 400, 404 or 500
    std::vector<std::string> headers;  // more "Name: value" lines
};

// Given the request's query, undecoded, without its "?".
using HttpRoute = std::function<HttpAnswer(std::string_view query)>;

// The query's "name=value" pairs, percent- and plus-decoded; a name given twice keeps its last value.
std::map<std::string, std::string> QueryFields(std::string_view query);

struct HttpLimits {
    std::size_t maxConnections = 128;
    std::chrono::milliseconds requestDeadline{3000};  // from a request's first byte to its last
    std::chrono::milliseconds idleTimeout{5000};      // a kept-open connection between requests
    std::size_t maxHead = 8192;                       // request line and headers
    // Answers waiting whole for readers that do not read: past this, a large answer (over a 64th of it)
    // is "503 busy" rather than more memory; the small ones a scraper asks always go.
    std::size_t maxUnsent = 16u << 20;
};

// What the bytes received so far make of a request's head.
struct Head {
    enum class State { kWaiting, kComplete, kRefused } state = State::kWaiting;
    int status = 0;          // when refused: 400, 405, 413 or 431
    std::size_t length = 0;  // when complete: the bytes of the head, its blank line included
    std::string path;        // without the query
    std::string query;       // after the "?", undecoded
    bool headOnly = false;   // HEAD
    bool keepAlive = false;
};

// Reads a request's head from the start of `input`; refuses a method other
// than GET or HEAD as soon as its request line is in, and any body at its headers.
Head ReadHead(std::string_view input, std::size_t maxHead);

class HttpServer {
public:
    // Listens on `host` (an IPv4 or IPv6 address, or localhost) at `port` (0: any
    // free port) and serves on a thread of its own; throws std::runtime_error
    // when it cannot listen.
    HttpServer(const std::string& host, int port, std::map<std::string, HttpRoute> routes, HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // As the kernel bound it: "127.0.0.1:8080", "[::1]:8080".
    const std::string& Address() const { return address_; }
    bool Loopback() const { return loopback_; }

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { kIdle, kReading, kWriting, kClosing };
    struct Connection {
        int fd = -1;
        Phase phase = Phase::kIdle;
        Clock::time_point since;  // when the phase began
        std::string input;
        std::string output;
        std::size_t sent = 0;
        std::size_t dropped = 0;  // of a refused request's rest
        bool closeAfter = false;
        bool answered = false;  // a whole request has come in and been answered
    };

    void Serve();
    Clock::time_point Accept();
    void Adopt(int fd);
    std::size_t Live() const;
    bool MakeRoom();
    Connection* FirstToGo();
    void Receive(Connection& connection);
    void Answer(Connection& connection);
    void Respond(Connection& connection, int status, const HttpAnswer& answer, bool headOnly);
    void Send(Connection& connection);
    std::size_t Unsent() const;
    Clock::time_point Deadline(const Connection& connection) const;
    int WaitMs(Clock::time_point now) const;
    static void Close(Connection& connection);

    std::map<std::string, HttpRoute> routes_;
    HttpLimits limits_;
    int listen_ = -1;
    int wake_ = -1;   // an eventfd: the destructor's stop
    int spare_ = -1;  // given up to accept and close a newcomer when descriptors run out
    std::string address_;
    bool loopback_ = true;
    std::list<Connection> connections_;
    std::thread thread_;
};

}  // namespace plexer::gateway
