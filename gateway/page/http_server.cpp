#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "listener.h"

namespace plexer::gateway {

namespace {

// A burst of connections beyond the listen queue has its SYNs dropped, and a
// client caught in it waits a second to try again: the queue takes all the kernel allows.
constexpr int kBacklog = SOMAXCONN;
constexpr std::size_t kReadChunk = 4096;
// After a refusal, what the client still sends is dropped for this long or this
// much, so that closing does not reset the connection before it has read the answer.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::size_t kLingerBytes = 16 << 20;
// Dropped a little at a time, so that a sender still writing gets to read the refusal before the close.
constexpr std::size_t kDropChunk = 64 << 10;
constexpr std::chrono::milliseconds kAcceptPause{200};
// A newcomer's time to send its request before another may take its place:
// a client caught in a flood is not pushed out unread by the sockets behind it.
constexpr std::chrono::milliseconds kGrace{10};

// The page's thread runs this much nicer than the rest of the gateway.
constexpr int kNicerThanServing = 5;

// On a busy machine the page's work waits, not Modbus's; the page has seconds to answer.
void LowerThisThread() {
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, self);
    if (errno == 0) setpriority(PRIO_PROCESS, self, std::min(nice + kNicerThanServing, 19));
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

Head Refused(int status) {
    Head head;
    head.state = Head::State::kRefused;
    head.status = status;
    return head;
}

// "GET /path?query HTTP/1.1": the method, the path and the minor version; a refusal when it is not one.
Head ReadRequestLine(std::string_view line) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return Refused(400);
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return Refused(400);
    if (method != "GET" && method != "HEAD") return Refused(405);
    if (target.empty() || target.front() != '/') return Refused(400);
    Head head;
    const std::size_t mark = target.find('?');
    head.path = std::string(target.substr(0, mark));
    if (mark != std::string_view::npos) head.query = std::string(target.substr(mark + 1));
    head.headOnly = method == "HEAD";
    head.keepAlive = version == "HTTP/1.1";
    return head;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        case 413: return "Content Too Large";
        case 431: return "Request Header Fields Too Large";
        default: return "Error";
    }
}

}  // namespace

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A malformed escape is kept as it came, for the route to refuse by its meaning.
std::string Decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? HexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> QueryFields(std::string_view query) {
    std::map<std::string, std::string> fields;
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        const std::size_t equals = std::min(pair.find('='), pair.size());
        const std::string_view value = pair.substr(std::min(equals + 1, pair.size()));
        if (equals > 0) fields[Decoded(pair.substr(0, equals))] = Decoded(value);
        query.remove_prefix(std::min(end + 1, query.size()));
    }
    return fields;
}

Head ReadHead(std::string_view input, std::size_t maxHead) {
    const std::size_t lineEnd = input.find("\r\n");
    if (lineEnd == std::string_view::npos) return input.size() >= maxHead ? Refused(431) : Head{};
    Head head = ReadRequestLine(input.substr(0, lineEnd));
    if (head.state == Head::State::kRefused) return head;
    const std::size_t end = input.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 > maxHead) return input.size() >= maxHead ? Refused(431) : Head{};
    for (std::size_t at = lineEnd + 2; at < end + 2;) {
        const std::size_t next = input.find("\r\n", at);
        const std::string_view field = input.substr(at, next - at);
        at = next + 2;
        const std::size_t colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) return Refused(400);
        const std::string_view name = field.substr(0, colon);
        const std::string_view value = Trimmed(field.substr(colon + 1));
        // Nothing here takes a body: refused before a byte of it is read.
        if (SameWord(name, "Transfer-Encoding") || (SameWord(name, "Content-Length") && value != "0")) {
            return Refused(413);
        }
        if (SameWord(name, "Connection") && SameWord(value, "close")) head.keepAlive = false;
        if (SameWord(name, "Connection") && SameWord(value, "keep-alive")) head.keepAlive = true;
    }
    head.state = Head::State::kComplete;
    head.length = end + 4;
    return head;
}

HttpServer::HttpServer(const std::string& host, int port, std::map<std::string, HttpRoute> routes, HttpLimits limits)
    : routes_(std::move(routes)), limits_(limits) {
    const Listener listener = Listen(host, port, kBacklog, "http: ");
    listen_ = listener.fd;
    address_ = listener.address;
    loopback_ = listener.loopback;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (wake_ < 0 || spare_ < 0) {
        close(listen_);
        if (wake_ >= 0) close(wake_);
        Fail("http: eventfd");
    }
    thread_ = std::thread([this] { Serve(); });
}

HttpServer::~HttpServer() {
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    for (Connection& connection : connections_) Close(connection);
    close(listen_);
    close(wake_);
    if (spare_ >= 0) close(spare_);
}

void HttpServer::Close(Connection& connection) {
    if (connection.fd < 0) return;
    close(connection.fd);
    connection.fd = -1;
}

// Room is made first by a connection that never finished a request (the
// oldest of them), then by the answered one idle longest: a client that has
// been answered is kept ahead of sockets that only take a place.
HttpServer::Connection* HttpServer::FirstToGo() {
    Connection* first = nullptr;
    for (Connection& connection : connections_) {
        if (connection.fd < 0) continue;
        const bool sooner = first == nullptr || std::pair(connection.answered, connection.since) <
                                                     std::pair(first->answered, first->since);
        if (sooner) first = &connection;
    }
    return first;
}

bool HttpServer::MakeRoom() {
    Connection* const first = FirstToGo();
    if (first == nullptr) return false;
    Close(*first);
    return true;
}

// Newcomers are taken while there is room or a place to let go; while the
// ones that would go are still within their grace, the rest wait in the
// listen queue, not dropped, and the answer is when to take them (none: at once).
HttpServer::Clock::time_point HttpServer::Accept() {
    for (;;) {
        if (Live() >= limits_.maxConnections) {
            Connection* const first = FirstToGo();
            const Clock::time_point graceEnds = first->since + kGrace;
            if (!first->answered && Clock::now() < graceEnds) return graceEnds;
            Close(*first);
        }
        const int fd = AcceptClient(listen_);
        if (fd >= 0) {
            Adopt(fd);
            continue;
        }
        if (errno != EMFILE && errno != ENFILE) return {};
        if (MakeRoom()) continue;
        // Nobody to let go: the newcomer is turned away.
        TurnAwayThroughSpare(listen_, &spare_);
        return spare_ < 0 ? Clock::now() + kAcceptPause : Clock::time_point{};
    }
}

// Read at once: a request already in is answered before anything else is accepted.
void HttpServer::Adopt(int fd) {
    Connection& connection = connections_.emplace_back();
    connection.fd = fd;
    connection.since = Clock::now();
    Receive(connection);
}

std::size_t HttpServer::Live() const {
    return static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(), [](const Connection& c) { return c.fd >= 0; }));
}

void HttpServer::Receive(Connection& connection) {
    char buffer[kReadChunk];
    // A refused request's rest is dropped in the kernel, never copied.
    const bool closing = connection.phase == Phase::kClosing;
    const ssize_t count = closing ? recv(connection.fd, nullptr, kDropChunk, MSG_TRUNC)
                                  : recv(connection.fd, buffer, sizeof buffer, 0);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(connection);
        return;
    }
    if (count < 0) return;
    if (closing) {
        connection.dropped += static_cast<std::size_t>(count);
        if (connection.dropped > kLingerBytes) Close(connection);
        return;
    }
    if (connection.phase == Phase::kIdle) {
        connection.phase = Phase::kReading;
        connection.since = Clock::now();
    }
    connection.input.append(buffer, static_cast<std::size_t>(count));
    Answer(connection);
}

// Answers the first request in the input, if it is whole; one at a time, so
// that a pipelining client waits for its answer to be written like any other.
void HttpServer::Answer(Connection& connection) {
    const Head head = ReadHead(connection.input, limits_.maxHead);
    if (head.state == Head::State::kWaiting) return;
    if (head.state == Head::State::kRefused) {
        connection.input.clear();
        connection.closeAfter = true;
        const std::string reason = std::string(Reason(head.status)) + "\n";
        return Respond(connection, head.status, {"text/plain; charset=utf-8", reason, head.status, {}}, false);
    }
    connection.input.erase(0, head.length);
    connection.closeAfter = !head.keepAlive;
    const auto route = routes_.find(head.path);
    if (route == routes_.end()) {
        return Respond(connection, 404, {"text/plain; charset=utf-8", "Not Found\n", 404, {}}, head.headOnly);
    }
    const HttpAnswer answer = route->second(head.query);
    const bool large = answer.body.size() > limits_.maxUnsent / 64;
    if (!head.headOnly && large && Unsent() + answer.body.size() > limits_.maxUnsent) {
        return Respond(connection, 503, {"text/plain; charset=utf-8", "busy: other answers wait to be read\n", 503,
                                         {"Retry-After: 1"}}, false);
    }
    Respond(connection, answer.status, answer, head.headOnly);
}

// The head and the body in one write: a second write would wait on the client's delayed ACK.
void HttpServer::Respond(Connection& connection, int status, const HttpAnswer& answer, bool headOnly) {
    std::string& out = connection.output;
    out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\nContent-Type: " + answer.type +
          "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\nCache-Control: no-store\r\n";
    if (status == 405) out += "Allow: GET, HEAD\r\n";
    for (const std::string& header : answer.headers) out += header + "\r\n";
    out += connection.closeAfter ? "Connection: close\r\n\r\n"
                                 : "Connection: keep-alive\r\nKeep-Alive: timeout=" +
                                       std::to_string(limits_.idleTimeout.count() / 1000) + "\r\n\r\n";
    if (!headOnly) out += answer.body;
    connection.sent = 0;
    connection.phase = Phase::kWriting;
    connection.since = Clock::now();
    Send(connection);
}

std::size_t HttpServer::Unsent() const {
    std::size_t bytes = 0;
    for (const Connection& connection : connections_) bytes += connection.output.size() - connection.sent;
    return bytes;
}

void HttpServer::Send(Connection& connection) {
    const ssize_t count = send(connection.fd, connection.output.data() + connection.sent,
                               connection.output.size() - connection.sent, MSG_NOSIGNAL);
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Close(connection);
    if (count > 0) connection.sent += static_cast<std::size_t>(count);
    if (connection.sent < connection.output.size()) return;
    connection.output = std::string();
    connection.since = Clock::now();
    if (connection.closeAfter) {
        shutdown(connection.fd, SHUT_WR);
        connection.phase = Phase::kClosing;
        return;
    }
    connection.answered = true;
    connection.phase = connection.input.empty() ? Phase::kIdle : Phase::kReading;
}

HttpServer::Clock::time_point HttpServer::Deadline(const Connection& connection) const {
    switch (connection.phase) {
        case Phase::kIdle: return connection.since + limits_.idleTimeout;
        case Phase::kClosing: return connection.since + kLinger;
        default: return connection.since + limits_.requestDeadline;
    }
}

int HttpServer::WaitMs(Clock::time_point now) const {
    auto wait = limits_.idleTimeout;
    for (const Connection& connection : connections_) {
        // A pipelined request already in is answered on the next round.
        const bool ready = connection.phase == Phase::kReading &&
                           ReadHead(connection.input, limits_.maxHead).state != Head::State::kWaiting;
        if (ready) return 0;
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(Deadline(connection) - now));
    }
    return static_cast<int>(std::max(wait.count(), 0L));
}

void HttpServer::Serve() {
    LowerThisThread();
    std::vector<pollfd> fds;
    std::vector<Connection*> watched;
    Clock::time_point pausedUntil{};  // newcomers left in the listen queue until then
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool paused = now < pausedUntil;
        fds.assign({{wake_, POLLIN, 0}, {listen_, static_cast<short>(paused ? 0 : POLLIN), 0}});
        watched.clear();
        for (Connection& connection : connections_) {
            // Input beyond a head's bound is not read on: the requests in it are answered first.
            const short wanted = connection.phase == Phase::kWriting            ? POLLOUT
                                 : connection.input.size() < limits_.maxHead ? POLLIN
                                                                             : 0;
            fds.push_back({connection.fd, wanted, 0});
            watched.push_back(&connection);
        }
        const auto untilPauseEnds =
            paused ? std::chrono::ceil<std::chrono::milliseconds>(pausedUntil - now) : limits_.idleTimeout;
        const int wait = std::min(WaitMs(now), static_cast<int>(untilPauseEnds.count()));
        if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) return;
        if ((fds[0].revents & POLLIN) != 0) return;
        for (std::size_t i = 0; i < watched.size(); ++i) {
            Connection& connection = *watched[i];
            const short events = fds[i + 2].revents;
            if (connection.fd < 0) continue;
            if (connection.phase == Phase::kWriting && (events & (POLLOUT | POLLERR | POLLHUP)) != 0) {
                Send(connection);
            } else if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) {
                Receive(connection);
            } else if (connection.phase == Phase::kReading) {
                Answer(connection);  // pipelined
            }
        }
        if ((fds[1].revents & POLLIN) != 0) pausedUntil = Accept();
        const Clock::time_point after = Clock::now();
        for (Connection& connection : connections_) {
            if (connection.fd >= 0 && after >= Deadline(connection)) Close(connection);
        }
        connections_.remove_if([](const Connection& connection) { return connection.fd < 0; });
    }
}

}  // namespace plexer::gateway
