#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "net_line.h"
#include "descriptor.h"
#include "driver_terminal.h"
#include "port_access.h"
#include "serial/termios_map.h"
#include "telnet.h"

namespace plexer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 4096;
// Time for the connection and, over RFC 2217, every answer of the server.
constexpr std::chrono::seconds kAnswerWait{5};
constexpr std::size_t kMostAwaited = 64;
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};
// A half-open connection found within 25 s: idle 10 s, then 3 probes 5 s
// apart; data unacknowledged for as long ends it too.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepProbes = 3;
constexpr unsigned kUserTimeoutMs = 25000;

void SetSocketOptions(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepProbes, sizeof kKeepProbes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

// One setting as the COM port option carries it, and as a person reads it.
struct Setting {
    std::uint8_t command;
    const char* name;
    std::string value;  // as sent
    std::string text;
};

std::string BigEndian32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string ValueText(std::uint8_t command, const std::string& value) {
    static const char* const kParity[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"?", "1", "2", "1.5"};
    if (value.empty()) return "nothing";
    const auto b = [&value](std::size_t i) { return std::uint32_t{static_cast<std::uint8_t>(value[i])}; };
    switch (command) {
    case telnet::kSetBaudRate:
        if (value.size() != 4) return "a malformed rate";
        return std::to_string((b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3));
    case telnet::kSetParity: return b(0) < 6 ? kParity[b(0)] : std::to_string(b(0));
    case telnet::kSetStopSize: return b(0) < 4 ? kStop[b(0)] : std::to_string(b(0));
    default: return std::to_string(b(0));
    }
}

// The four settings of a line in the option's terms (its parity and stop codes
// are the driver's plus one, and 1.5 stop bits is 3).
std::vector<Setting> SettingsOf(const LineSettings& line) {
    static constexpr std::uint8_t kStop[] = {1, 3, 2};
    std::vector<Setting> settings = {
        {telnet::kSetBaudRate, "rate", BigEndian32(line.baudRate), ""},
        {telnet::kSetDataSize, "data bits", std::string(1, static_cast<char>(line.dataBits)), ""},
        {telnet::kSetParity, "parity", std::string(1, static_cast<char>(line.parity + 1)), ""},
        {telnet::kSetStopSize, "stop bits",
         std::string(1, static_cast<char>(line.stopBits >= 0 && line.stopBits < 3 ? kStop[line.stopBits] : 1)), ""},
    };
    for (Setting& setting : settings) setting.text = ValueText(setting.command, setting.value);
    return settings;
}

}  // namespace

struct NetLine::Relay {
    enum class State { kDown, kConnecting, kNegotiating, kUp };

    NetAddress address;
    LineSettings settings{};  // the driver's, and what its terminal's data bits and parity are taken to be
    std::unique_ptr<TraceLog> log;
    Descriptor master;
    Descriptor slave;  // held, so that the master never reads end-of-file between the driver's opens
    Descriptor wakeRead;
    Descriptor wakeWrite;
    Descriptor socket;
    std::string driverPort;
    std::thread thread;

    State state = State::kDown;
    std::vector<sockaddr_storage> candidates;  // the server's addresses left to try
    std::vector<socklen_t> candidateSizes;
    Clock::time_point deadline;  // of the connection or of the answers awaited
    std::chrono::milliseconds retry = kFirstRetry;
    telnet::Decoder decoder;
    bool comPortAgreed = false;
    std::deque<Setting> asked;       // sent, their answers awaited in order
    std::vector<Setting> current;    // what the server holds, as far as it said
    std::string lastError;
    // Purges sent and not yet answered: what the server sends before the
    // answer was in its buffer before the purge, stale, and is dropped.
    int purgesAwaited = 0;
    bool purgesAnswered = true;  // false once a server let one go unanswered

    // Shared with the poller's thread.
    mutable std::mutex mutex;
    bool up = false;
    long connection = 0;  // counts the connections made
    std::string lostReason;
    std::promise<std::string> first;  // "" once first up, or why not
    bool firstKept = false;
    bool failedFirst = false;  // the relay ends: the constructor throws

    void Note(const std::string& text) {
        if (log) log->Note(text, TraceLog::Clock::now());
    }

    void Run() {
        sigset_t signals;
        sigfillset(&signals);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        Connect();
        while (!failedFirst && Step()) {
        }
        socket.Reset(-1);
    }

    // One round of waiting and what it brought; false to stop.
    bool Step() {
        const bool connecting = state == State::kConnecting;
        pollfd fds[3] = {{wakeRead.Get(), POLLIN, 0},
                         {master.Get(), POLLIN, 0},
                         {socket.Get(), static_cast<short>(connecting ? POLLOUT : POLLIN), 0}};
        if (poll(fds, 3, TimeoutMs()) < 0) return errno == EINTR;
        if (fds[0].revents != 0) return false;
        if (fds[1].revents != 0 && !FromDriver()) {
            Note("the relay stopped: the driver's side failed");
            return false;
        }
        if (fds[2].revents != 0) {
            if (connecting) Connected();
            else FromServer();
        }
        if ((state != State::kUp || purgesAwaited > 0) && Clock::now() >= deadline) Overdue();
        return true;
    }

    int TimeoutMs() const {
        if (state == State::kUp && purgesAwaited == 0) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }

    void Overdue() {
        switch (state) {
        case State::kDown: return Connect();
        case State::kConnecting: return TryNext("no answer within 5 s");
        case State::kNegotiating:
            return Lose(comPortAgreed ? "no answer to the " + std::string(asked.front().name) + " within 5 s"
                                      : "no answer to the COM port option (RFC 2217) within 5 s");
        case State::kUp:
            purgesAwaited = 0;
            purgesAnswered = false;
            return Note("the server does not answer purges: data is no longer held back after one");
        }
    }

    // The server's addresses looked up afresh each time: a name may move.
    void Connect() {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        candidates.clear();
        candidateSizes.clear();
        const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
        if (error != 0) return Lose(std::string("cannot find the host: ") + gai_strerror(error));
        for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
            sockaddr_storage one{};
            std::memcpy(&one, at->ai_addr, at->ai_addrlen);
            candidates.push_back(one);
            candidateSizes.push_back(at->ai_addrlen);
        }
        freeaddrinfo(found);
        std::reverse(candidates.begin(), candidates.end());
        std::reverse(candidateSizes.begin(), candidateSizes.end());
        TryNext("");
    }

    void TryNext(const std::string& why) {
        socket.Reset(-1);
        if (!why.empty()) lastError = why;
        if (candidates.empty()) return Lose(lastError.empty() ? "no address" : lastError);
        const sockaddr_storage to = candidates.back();
        const socklen_t size = candidateSizes.back();
        candidates.pop_back();
        candidateSizes.pop_back();
        socket.Reset(::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (socket.Get() < 0) return TryNext(std::strerror(errno));
        SetSocketOptions(socket.Get());
        state = State::kConnecting;
        deadline = Clock::now() + kAnswerWait;
        if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&to), size) == 0) return Connected();
        if (errno != EINPROGRESS) TryNext(std::strerror(errno));
    }

    void Connected() {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) return TryNext(std::strerror(error));
        // Blocking from here: frames are short, and TCP_USER_TIMEOUT bounds a stuck write.
        fcntl(socket.Get(), F_SETFL, fcntl(socket.Get(), F_GETFL) & ~O_NONBLOCK);
        decoder = {};
        purgesAwaited = 0;
        purgesAnswered = true;
        asked.clear();
        current.clear();
        comPortAgreed = false;
        if (!address.rfc2217) return Up();
        state = State::kNegotiating;
        deadline = Clock::now() + kAnswerWait;
        Send(telnet::Negotiation(telnet::kWill, telnet::kBinary) + telnet::Negotiation(telnet::kDo, telnet::kBinary) +
             telnet::Negotiation(telnet::kWill, telnet::kComPort));
    }

    void Up() {
        state = State::kUp;
        retry = kFirstRetry;
        lastError.clear();
        {
            const std::lock_guard lock(mutex);
            up = true;
            ++connection;
        }
        if (!firstKept) {
            firstKept = true;
            first.set_value("");
        }
        Note("connected to " + address.text);
    }

    // Closed, to be tried again after a wait that doubles up to its longest.
    void Lose(const std::string& reason) {
        Down(address.text + ": " + reason);
        if (!firstKept) return;
        deadline = Clock::now() + retry;
        retry = std::min(retry * 2, kLongestRetry);
    }

    void Down(const std::string& reason) {
        const bool wasUp = state == State::kUp || state == State::kNegotiating;
        socket.Reset(-1);
        state = State::kDown;
        lastError = reason;
        {
            // The loss's own reason stays while attempts to connect again fail.
            const std::lock_guard lock(mutex);
            up = false;
            if (wasUp || !firstKept) lostReason = reason;
        }
        if (!firstKept) {
            firstKept = true;
            failedFirst = true;
            first.set_value(reason);
            return;
        }
        if (wasUp) Note("connection lost: " + reason + "; frames are dropped until it is made again");
    }

    void Send(const std::string& bytes) {
        if (socket.Get() < 0) return;
        if (!WriteAll(socket.Get(), bytes)) Lose(std::string("cannot send: ") + std::strerror(errno));
    }

    // In packet mode: a status byte, then data when it is 0.
    bool FromDriver() {
        char bytes[kChunk + 1];
        const ssize_t n = read(master.Get(), bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) return true;
        if (n <= 0) return false;
        const auto status = static_cast<std::uint8_t>(bytes[0]);
        if (status != TIOCPKT_DATA) {
            if (state == State::kUp && address.rfc2217) Control(status);
            return true;
        }
        if (state != State::kUp) return true;
        const std::string_view data(bytes + 1, static_cast<std::size_t>(n - 1));
        if (log) log->Sent(data.data(), data.size(), TraceLog::Clock::now());
        Send(address.rfc2217 ? telnet::Escaped(data) : std::string(data));
        return true;
    }

    void Control(std::uint8_t status) {
        if (status & TIOCPKT_IOCTL) TerminalChanged();
        const std::uint8_t purge = ((status & TIOCPKT_FLUSHREAD) ? 1 : 0) | ((status & TIOCPKT_FLUSHWRITE) ? 2 : 0);
        if (purge == 0) return;
        if (purgesAnswered && purgesAwaited++ == 0) deadline = Clock::now() + kAnswerWait;
        Ask({telnet::kPurgeData, "purge", std::string(1, static_cast<char>(purge)), ""});
    }

    // The driver set its terminal. A pseudo-terminal keeps the rate and stop
    // bits but forces 8 data bits and no parity, so those two are the driver's
    // configured ones. Only what differs from the server's is sent.
    void TerminalChanged() {
        termios tio{};
        if (tcgetattr(slave.Get(), &tio) != 0) return;
        qsn::platform::CommState seen{};
        qsn::posix::MapFromTermios(tio, &seen);
        LineSettings wanted = settings;
        if (seen.baudRate != 0) wanted.baudRate = static_cast<std::uint16_t>(seen.baudRate);
        wanted.stopBits = seen.stopBits;
        for (const Setting& setting : SettingsOf(wanted)) {
            const auto held = std::find_if(current.begin(), current.end(),
                                           [&](const Setting& s) { return s.command == setting.command; });
            if (held == current.end() || held->value != setting.value) Ask(setting);
        }
        WatchTerminal();
    }

    // Packet mode tells of a change of the terminal's settings only while
    // EXTPROC is set; the driver's own settings may clear it.
    void WatchTerminal() const {
        termios tio{};
        if (tcgetattr(slave.Get(), &tio) != 0 || (tio.c_lflag & EXTPROC) != 0) return;
        tio.c_lflag |= EXTPROC;
        tcsetattr(slave.Get(), TCSANOW, &tio);
    }

    void Ask(const Setting& setting) {
        // A server that never answers purges must not grow the list without end.
        if (asked.size() >= kMostAwaited) asked.pop_front();
        asked.push_back(setting);
        if (setting.command != telnet::kPurgeData) {
            std::erase_if(current, [&](const Setting& s) { return s.command == setting.command; });
            current.push_back(setting);
        }
        Send(telnet::ComPortCommand(setting.command, setting.value));
    }

    void FromServer() {
        char bytes[kChunk];
        const ssize_t n = read(socket.Get(), bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) return Lose(n == 0 ? "the server closed the connection" : std::strerror(errno));
        std::string data;
        std::vector<telnet::Event> events;
        std::vector<std::size_t> splits;
        if (address.rfc2217) decoder.Take({bytes, static_cast<std::size_t>(n)}, data, events, splits);
        else data.assign(bytes, static_cast<std::size_t>(n));
        // Events interleave with data: each split is where one event came.
        std::size_t from = 0;
        for (std::size_t i = 0; i <= events.size(); ++i) {
            const std::size_t to = i < events.size() ? splits[i] : data.size();
            Deliver(std::string_view(data).substr(from, to - from));
            from = to;
            if (i == events.size() || state == State::kDown) break;
            if (events[i].kind == telnet::Event::Kind::kNegotiation) Negotiate(events[i]);
            else if (events[i].option == telnet::kComPort) Answered(events[i].body);
        }
    }

    void Deliver(std::string_view data) {
        if (data.empty() || state != State::kUp || purgesAwaited > 0) return;
        WriteAll(master.Get(), data);
        if (log) log->Received(data.data(), data.size(), TraceLog::Clock::now());
    }

    // BINARY and suppress-go-ahead are taken both ways, COM port from our side
    // only; anything else is declined, and only a request is answered, so that
    // the two sides never echo each other.
    void Negotiate(const telnet::Event& event) {
        const std::uint8_t option = event.option;
        const bool mine = option == telnet::kBinary || option == telnet::kSuppressGoAhead;
        if (option == telnet::kComPort && event.verb == telnet::kDo && !comPortAgreed) {
            comPortAgreed = true;
            for (const Setting& setting : SettingsOf(settings)) Ask(setting);
            return;
        }
        if (option == telnet::kComPort && event.verb == telnet::kDont) {
            return Refused("the server does not take the COM port option (RFC 2217): is it a raw port (tcp://)?");
        }
        if (event.verb == telnet::kDo && !mine && option != telnet::kComPort) {
            Send(telnet::Negotiation(telnet::kWont, option));
        } else if (event.verb == telnet::kWill && !mine) {
            Send(telnet::Negotiation(telnet::kDont, option));
        } else if (event.verb == telnet::kWill && option == telnet::kSuppressGoAhead) {
            Send(telnet::Negotiation(telnet::kDo, option));
        } else if (event.verb == telnet::kDo && option == telnet::kSuppressGoAhead) {
            Send(telnet::Negotiation(telnet::kWill, option));
        }
    }

    // The server's answer to the oldest command awaiting one; other notices
    // (line and modem state) pass unread.
    void Answered(const std::string& body) {
        if (body.empty() || static_cast<std::uint8_t>(body[0]) < telnet::kAnswerOffset) return;
        const auto command = static_cast<std::uint8_t>(static_cast<std::uint8_t>(body[0]) - telnet::kAnswerOffset);
        const auto awaited = std::find_if(asked.begin(), asked.end(), [command](const Setting& s) {
            return s.command == command;
        });
        if (awaited == asked.end()) return;
        const std::string answer = body.substr(1);
        const Setting setting = *awaited;
        asked.erase(awaited);
        if (command == telnet::kPurgeData && purgesAwaited > 0 && --purgesAwaited > 0) {
            deadline = Clock::now() + kAnswerWait;
        }
        if (answer != setting.value) {
            return Refused("the server refused the " + std::string(setting.name) + ": asked " + setting.text +
                           ", answered " + ValueText(command, answer));
        }
        if (state == State::kNegotiating && asked.empty()) return Up();
        if (!asked.empty()) deadline = Clock::now() + kAnswerWait;
    }

    void Refused(const std::string& why) {
        Note(why);
        Lose(why);
    }
};

NetLine::NetLine(const NetAddress& address, const LineSettings& settings, std::unique_ptr<TraceLog> log)
    : relay_(std::make_unique<Relay>()) {
    Relay& relay = *relay_;
    relay.address = address;
    relay.settings = settings;
    relay.log = std::move(log);
    relay.driverPort = OpenDriverTerminal(relay.master, relay.slave, true, "");
    OpenWakePipe(relay.wakeRead, relay.wakeWrite, "");
    std::future<std::string> first = relay.first.get_future();
    relay.thread = std::thread([&relay] { relay.Run(); });
    const std::string why = first.get();
    if (!why.empty()) {
        relay.thread.join();
        throw std::runtime_error(why);
    }
}

NetLine::~NetLine() {
    const char stop = 0;
    WriteAll(relay_->wakeWrite.Get(), {&stop, 1});
    relay_->thread.join();
    if (relay_->log) relay_->log->Flush();
}

const std::string& NetLine::DriverPort() const { return relay_->driverPort; }

namespace {

class NetDevice : public LineDevice {
public:
    NetDevice(std::mutex& mutex, const bool& up, const long& connection, const std::string& lostReason, int slave,
              std::string driverPort)
        : mutex_(mutex), up_(up), connection_(connection), lostReason_(lostReason), slave_(slave),
          driverPort_(std::move(driverPort)) {
        Opened();
    }

    std::optional<std::string> Gone() const override {
        const std::lock_guard lock(mutex_);
        if (up_ && connection_ == opened_) return std::nullopt;
        return up_ ? "the connection was made again since" : lostReason_;
    }
    bool Present() const override {
        const std::lock_guard lock(mutex_);
        return up_;
    }
    // The relay keeps its end open, so the driver's exclusive hold outlives its close.
    std::string DriverName() const override {
        ioctl(slave_, TIOCNXCL);
        return driverPort_;
    }
    void Opened() override {
        const std::lock_guard lock(mutex_);
        opened_ = connection_;
    }

private:
    std::mutex& mutex_;
    const bool& up_;
    const long& connection_;
    const std::string& lostReason_;
    int slave_;
    std::string driverPort_;
    long opened_ = 0;
};

}  // namespace

std::unique_ptr<LineDevice> NetLine::Watch() const {
    Relay& relay = *relay_;
    return std::make_unique<NetDevice>(relay.mutex, relay.up, relay.connection, relay.lostReason, relay.slave.Get(),
                                       relay.driverPort);
}

}  // namespace plexer
