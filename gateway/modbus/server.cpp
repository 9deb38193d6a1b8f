#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "listener.h"
#include "request.h"
#include "verdict.h"

namespace plexer::gateway {

namespace {

constexpr int kBacklog = 64;
constexpr std::size_t kReadChunk = 4096;
// A request must arrive whole within this time of its first byte.
constexpr std::chrono::milliseconds kFrameTimeout{2000};
constexpr int kMaxWaitMs = 1000;
constexpr int kEventsPerWake = 64;
// The epoll tags of the descriptors that are not clients; a client's is its
// connection's address, never one of these.
constexpr std::uint64_t kSignalTag = 1;
constexpr std::uint64_t kWakeTag = 2;
constexpr std::uint64_t kListenTag = 3;
// With no descriptor left and no client to let go, the listener rests this long.
constexpr std::chrono::milliseconds kAcceptPause{200};

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// 0x0B when the unit was set aside or the line lost (refused at once), 0x04
// when the driver failed or the stop came first; an echo when all were written.
std::uint8_t ExceptionOf(const std::vector<WriteFate>& fates) {
    if (std::all_of(fates.begin(), fates.end(), [](WriteFate f) { return f == WriteFate::kWritten; })) return kNone;
    const bool unavailable = std::all_of(fates.begin(), fates.end(), [](WriteFate f) {
        return f == WriteFate::kUnavailable || f == WriteFate::kWritten;
    });
    return unavailable ? kTargetFailed : kDeviceFailure;
}

}  // namespace

void FitDescriptorLimit(int maxClients) {
    const rlim_t needed = static_cast<rlim_t>(maxClients) + kDescriptorsBesideClients;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return;
    if (limit.rlim_max < needed) {
        throw std::invalid_argument("--max-clients " + std::to_string(maxClients) + " needs " +
                                    std::to_string(needed) + " open descriptors; the limit is " +
                                    std::to_string(limit.rlim_max) + " (ulimit -n)");
    }
    limit.rlim_cur = needed;
    setrlimit(RLIMIT_NOFILE, &limit);
}

Server::Server(const ServerOptions& options, LineCore& core)
    : options_(options), core_(core), completions_(std::make_shared<Completions>()) {
    // The context only builds replies; the sockets are the server's own.
    modbus_ = modbus_new_tcp("127.0.0.1", 0);
    if (modbus_ == nullptr) Fail("libmodbus");
    completions_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const auto release = [this] {
        for (const int fd : {completions_->wake, spare_, epoll_}) {
            if (fd >= 0) close(fd);
        }
        modbus_free(modbus_);
    };
    if (completions_->wake < 0 || spare_ < 0 || epoll_ < 0) {
        const int cause = errno;
        release();
        errno = cause;
        Fail("eventfd");
    }
    try {
        Listen();
    } catch (...) {
        release();
        throw;
    }
}

// Bound here rather than by libmodbus, so that an address this machine does
// not have fails instead of listening on every interface.
void Server::Listen() {
    const Listener listener = gateway::Listen(options_.host, options_.port, kBacklog);
    listen_ = listener.fd;
    port_ = listener.port;
    address_ = listener.address;
    loopback_ = listener.loopback;
}

Server::~Server() {
    for (Connection& connection : connections_) Close(connection);
    if (listen_ >= 0) close(listen_);
    close(spare_);
    close(epoll_);
    // Writes still queued may complete later: the eventfd goes with the last holder.
    {
        const std::lock_guard lock(completions_->mutex);
        close(completions_->wake);
        completions_->wake = -1;
        completions_->done.clear();
    }
    modbus_set_socket(modbus_, -1);
    modbus_free(modbus_);
}

// Closing the descriptor takes it out of the epoll set too.
void Server::Close(Connection& connection) {
    if (connection.closed) return;
    close(connection.fd);
    connection.closed = true;
    connection.watched = false;
    anyClosed_ = true;
}

void Server::Watch(int fd, std::uint64_t tag, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) Fail("epoll_ctl");
}

// A client is read on only with no write in flight (its answers keep their
// order) and until the stop; left out of the set otherwise, so that its hang-up cannot spin the loop.
void Server::SyncWatch(Connection& connection) {
    const bool wanted = !connection.closed && !connection.pending && !stopping_;
    if (wanted == connection.watched) return;
    if (wanted) {
        Watch(connection.fd, reinterpret_cast<std::uintptr_t>(&connection), EPOLLIN);
    } else {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.fd, nullptr);
    }
    connection.watched = wanted;
}

// Lets go of the client idle longest, one with no write in flight; false when there is none.
bool Server::MakeRoom() {
    Connection* idlest = nullptr;
    for (Connection& connection : connections_) {
        if (connection.closed || connection.pending) continue;
        if (idlest == nullptr || connection.lastHeard < idlest->lastHeard) idlest = &connection;
    }
    if (idlest == nullptr) return false;
    Close(*idlest);
    return true;
}

void Server::Accept(const ServeHooks& hooks) {
    for (;;) {
        const int fd = AcceptClient(listen_);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            // Out of descriptors: a client makes room, or the newcomer is turned away.
            if (MakeRoom()) continue;
            if (!TurnAwayThroughSpare(listen_, &spare_)) acceptPausedUntil_ = Clock::now() + kAcceptPause;
            if (hooks.warn) hooks.warn("out of descriptors: a new client was turned away");
            return;
        }
        if (fd < 0) return;
        const int live = static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                                        [](const Connection& c) { return !c.closed; }));
        if (live >= core_.Settings()->config.maxClients && !MakeRoom()) {
            close(fd);  // every client has a write in flight
            continue;
        }
        Connection& connection = connections_.emplace_back();
        connection.fd = fd;
        connection.lastHeard = Clock::now();
        SyncWatch(connection);
        Expect(Deadline(connection, core_.Settings()->config.idleTimeout));
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
    TakeRequests(connection);
    SyncWatch(connection);
    if (!connection.closed && !connection.pending) {
        Expect(Deadline(connection, core_.Settings()->config.idleTimeout));
    }
}

void Server::TakeRequests(Connection& connection) {
    while (!connection.closed && !connection.pending && !stopping_) {
        std::vector<std::uint8_t> adu;
        const Cut cut = CutRequest(connection.input, adu);
        if (cut == Cut::kBroken) {
            Close(connection);  // not a Modbus TCP header: nothing after it can be trusted
            return;
        }
        if (cut == Cut::kWaiting) {
            if (connection.input.empty()) {
                connection.partialSince.reset();
            } else if (!connection.partialSince) {
                connection.partialSince = Clock::now();
            }
            return;
        }
        connection.partialSince.reset();
        Handle(connection, adu.data(), adu.size());
    }
}

void Server::Handle(Connection& connection, const std::uint8_t* adu, std::size_t length) {
    const Parsed parsed = ParseRequest(adu, length);
    if (parsed.exception != kNone) return AnswerException(connection, adu, parsed.exception);
    const Request& request = parsed.request;
    // The settings of this request, whatever a reload swaps in meanwhile.
    const RunningPtr running = core_.Settings();
    if (IsWrite(request.function)) {
        const WriteAnswer planned = AnswerWrite(request, *running);
        if (planned.exception != kNone) return AnswerException(connection, adu, planned.exception);
        connection.pending =
            PendingWrite{std::vector<std::uint8_t>(adu, adu + length), planned.plan.writes.size(), {}};
        const std::shared_ptr<Completions> completions = completions_;
        Connection* const target = &connection;
        core_.Submit(planned.plan, [completions, target](std::size_t, const WriteOutcome& outcome) {
            const std::lock_guard lock(completions->mutex);
            if (completions->wake < 0) return;  // the server has gone
            completions->done.emplace_back(target, outcome);
            const std::uint64_t one = 1;
            (void)!write(completions->wake, &one, sizeof one);
        });
        return;
    }
    std::optional<HealthView> health;
    if (ReadsHealth(request)) {
        if (const std::optional<UnitHealth> unit = core_.Unit(request.unit)) health = {*unit, core_.Line().up};
    }
    // Only the points asked for, judged under one short lock.
    const std::vector<std::size_t> gates = GatesRead(request, running->map);
    const PollClock::time_point now = PollClock::now();
    std::vector<PointVerdict> verdicts;
    if (!gates.empty()) verdicts = core_.Judge(*running, gates, now);
    const ReadAnswer answer = AnswerRead(request, running->map, verdicts, health ? &*health : nullptr, now);
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
    // Every table the same: libmodbus reads only the one of the function it answers.
    modbus_mapping_t mapping{count, address, count, address, count, address, count, address,
                             bits, bits, registers, registers};
    if (options_.traffic != nullptr) options_.traffic->Count(function, kNone);
    modbus_set_socket(modbus_, connection.fd);
    if (modbus_reply(modbus_, adu, static_cast<int>(length), &mapping) < 0) Close(connection);
}

// Built here, not by libmodbus, which adds 0x80 to a function of 0x80 or above and so overflows it.
void Server::AnswerException(Connection& connection, const std::uint8_t* adu, std::uint8_t code) {
    if (options_.traffic != nullptr) options_.traffic->Count(adu[kHeaderLength], code);
    const std::vector<std::uint8_t> answer = ExceptionAdu(adu, code);
    if (send(connection.fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) {
        Close(connection);
    }
}

// Hands each finished write to its request; the request is answered once all of its writes are in.
void Server::TakeCompletions() {
    std::uint64_t count = 0;
    (void)!read(completions_->wake, &count, sizeof count);
    std::vector<std::pair<Connection*, WriteOutcome>> done;
    {
        const std::lock_guard lock(completions_->mutex);
        done.swap(completions_->done);
    }
    for (auto& [connection, outcome] : done) {
        PendingWrite& pending = *connection->pending;
        pending.fates.push_back(outcome.fate);
        if (--pending.waiting == 0) FinishWrite(*connection);
    }
}

// Echo the request when every write was done, else its exception.
void Server::FinishWrite(Connection& connection) {
    const PendingWrite pending = std::move(*connection.pending);
    connection.pending.reset();
    if (!connection.closed) {
        const std::uint8_t exception = ExceptionOf(pending.fates);
        if (exception == kNone) {
            const Parsed parsed = ParseRequest(pending.adu.data(), pending.adu.size());
            Answer(connection, pending.adu.data(), pending.adu.size(), parsed.request.function,
                   parsed.request.address, parsed.request.values);
        } else {
            AnswerException(connection, pending.adu.data(), exception);
        }
        connection.lastHeard = Clock::now();
    }
    Process(connection);
}

// When a client goes: once idle too long, or sooner with a request left half sent.
Server::Clock::time_point Server::Deadline(const Connection& connection, std::chrono::milliseconds idleTimeout) {
    const Clock::time_point idle = connection.lastHeard + idleTimeout;
    const std::chrono::milliseconds frameTimeout = std::min(kFrameTimeout, idleTimeout);
    return connection.partialSince ? std::min(idle, *connection.partialSince + frameTimeout) : idle;
}

bool Server::AnyPending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const Connection& connection) { return connection.pending.has_value(); });
}

int Server::WaitMs(Clock::time_point now) const {
    Clock::time_point until = std::min(nextSweep_, now + std::chrono::milliseconds(kMaxWaitMs));
    if (acceptPausedUntil_) until = std::min(until, *acceptPausedUntil_);
    return static_cast<int>(std::max(std::chrono::ceil<std::chrono::milliseconds>(until - now).count(), 0L));
}

// Lets go of the clients past their deadline and finds the next one; at least
// once every kMaxWaitMs, so that a reload's shorter time-out holds within it.
void Server::Sweep(Clock::time_point now) {
    const std::chrono::milliseconds idleTimeout = core_.Settings()->config.idleTimeout;
    nextSweep_ = now + std::chrono::milliseconds(kMaxWaitMs);
    for (Connection& connection : connections_) {
        // A client waiting on a slow line is not an idle one.
        if (connection.closed || connection.pending) continue;
        const Clock::time_point deadline = Deadline(connection, idleTimeout);
        if (now > deadline) {
            Close(connection);
        } else {
            Expect(deadline);
        }
    }
}

bool TakeSignal(int signalFd, const ServeHooks& hooks) {
    signalfd_siginfo signal{};
    if (read(signalFd, &signal, sizeof signal) != sizeof signal) return false;
    if (signal.ssi_signo != SIGUSR1 && signal.ssi_signo != SIGHUP) return true;
    const std::function<void()>& hook = signal.ssi_signo == SIGUSR1 ? hooks.health : hooks.hangUp;
    if (hook) hook();
    return false;
}

// No new client and no new request; what is queued gets the drain time-out.
void Server::StopServing() {
    stopping_ = true;
    close(listen_);
    listen_ = -1;
    for (Connection& connection : connections_) SyncWatch(connection);
    core_.Stop(core_.Settings()->config.drainTimeout);
}

void Server::Serve(int signalFd, const ServeHooks& hooks) {
    Watch(signalFd, kSignalTag, EPOLLIN);
    Watch(completions_->wake, kWakeTag, EPOLLIN);
    Watch(listen_, kListenTag, EPOLLIN);
    bool listening = true;
    epoll_event events[kEventsPerWake];
    std::vector<Connection*> ready;
    while (!stopping_ || AnyPending()) {
        const Clock::time_point now = Clock::now();
        if (acceptPausedUntil_ && now >= *acceptPausedUntil_) acceptPausedUntil_.reset();
        const bool accepting = !stopping_ && !acceptPausedUntil_;
        if (listen_ >= 0 && accepting != listening) {
            epoll_event event{};
            event.events = accepting ? static_cast<std::uint32_t>(EPOLLIN) : 0;
            event.data.u64 = kListenTag;
            epoll_ctl(epoll_, EPOLL_CTL_MOD, listen_, &event);
            listening = accepting;
        }
        const int count = epoll_wait(epoll_, events, kEventsPerWake, WaitMs(now));
        if (count < 0 && errno != EINTR) Fail("epoll_wait");
        bool signalled = false, completed = false, newcomers = false;
        ready.clear();
        for (int i = 0; i < count; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            if (tag == kSignalTag) {
                signalled = true;
            } else if (tag == kWakeTag) {
                completed = true;
            } else if (tag == kListenTag) {
                newcomers = true;
            } else {
                ready.push_back(reinterpret_cast<Connection*>(tag));
            }
        }
        if (signalled && TakeSignal(signalFd, hooks) && !stopping_) StopServing();
        if (completed) TakeCompletions();
        // Before accepting: a client let go to make room may not be read, its
        // descriptor then perhaps the newcomer's.
        for (Connection* connection : ready) {
            if (connection->watched) Receive(*connection);
        }
        if (newcomers && listen_ >= 0) Accept(hooks);
        const Clock::time_point after = Clock::now();
        if (after >= nextSweep_) Sweep(after);
        // Only once no event of this round can point at them.
        if (anyClosed_) {
            connections_.remove_if([](const Connection& c) { return c.closed && !c.pending; });
            anyClosed_ = false;
        }
    }
}

}  // namespace plexer::gateway
