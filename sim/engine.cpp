#include "sim/engine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qsn::sim {

namespace {

constexpr int kBitsPerCharacter = 10;  // start, 8 data, stop
// How often to look again for a driver while no one has the slave side open.
constexpr auto kIdleRecheck = std::chrono::milliseconds(10);

[[noreturn]] void ThrowSystemError(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string UnitName(std::uint8_t address) { return "unit " + Hex4(address).substr(2); }

}  // namespace

Simulator::Simulator(const SimOptions& options)
    : options_(options),
      faults_(options.line.seed),
      trace_(options.tracePath),
      started_(Clock::now()) {
    for (const UnitOptions& unit : options_.units) {
        if (!units_.try_emplace(unit.address, unit).second) {
            throw std::runtime_error("two units at address " + std::to_string(unit.address));
        }
    }
    try {
        if (pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) ThrowSystemError("pipe");
        OpenTerminal();
        MakeLink();
    } catch (...) {
        CloseAll();
        throw;
    }
}

Simulator::~Simulator() { CloseAll(); }

void Simulator::CloseAll() noexcept {
    RemoveLink();
    for (int fd : {master_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0) close(fd);
    }
    master_ = stopPipe_[0] = stopPipe_[1] = -1;
}

// Raw from the start, so that no echo or CR translation touches the frames
// before the driver configures the port itself.
void Simulator::OpenTerminal() {
    termios raw{};
    cfmakeraw(&raw);
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, &raw, nullptr) != 0) ThrowSystemError("openpty");
    char name[128];
    const int named = ptsname_r(master_, name, sizeof name);
    // The driver opens the slave itself; holding it here would keep its
    // exclusive-use flag set after the driver closes it.
    close(slave);
    if (named != 0) ThrowSystemError("ptsname");
    slavePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

// A stale link from an earlier run is replaced; anything else at the path is kept.
void Simulator::MakeLink() {
    const std::string& link = options_.linkPath;
    if (link.empty()) return;
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            throw std::runtime_error(link + " exists and is not a symbolic link");
        }
        unlink(link.c_str());
    }
    if (symlink(slavePath_.c_str(), link.c_str()) != 0) ThrowSystemError("cannot link " + link);
    linked_ = true;
}

void Simulator::RemoveLink() noexcept {
    if (!linked_) return;
    char target[256] = {};
    const ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && slavePath_ == std::string(target, static_cast<std::size_t>(n))) {
        unlink(options_.linkPath.c_str());
    }
    linked_ = false;
}

void Simulator::RequestStop() noexcept {
    stopping_.store(true);
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe_[1], &wake, 1);
}

void Simulator::Run() {
    char buffer[256];
    bool hungUp = false;
    while (!stopping_.load()) {
        if (hungUp) {
            if (!WaitUntil(Clock::now() + kIdleRecheck)) break;
            hungUp = false;
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ThrowSystemError("poll");
        }
        if (fds[1].revents != 0) break;
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            Receive(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            hungUp = true;  // no one has the slave side open
        }
    }
}

void Simulator::Receive(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '>') frameStart_ = Clock::now();
        switch (assembler_.Feed(bytes[i])) {
        case FrameAssembler::Event::kFrame: HandleFrame(assembler_.Text()); break;
        case FrameAssembler::Event::kNoise:
            trace_.Received(assembler_.Text(), "outside a frame: ignored");
            break;
        case FrameAssembler::Event::kOverflow:
            trace_.Received(assembler_.Text(), "too long: dropped");
            break;
        case FrameAssembler::Event::kNone: break;
        }
    }
}

void Simulator::HandleFrame(const std::string& body) {
    const std::string raw = ">" + body + "\r";
    const std::optional<Frame> frame = ParseFrame(body);
    if (!frame) {
        trace_.Received(raw, "malformed: ignored");
        return;
    }
    std::string note = UnitName(frame->address) + ", checksum ";
    note += frame->ChecksumOk() ? "ok" : "bad (expected " + frame->expectedChecksum + ")";
    const auto unit = units_.find(frame->address);
    if (unit == units_.end()) {
        trace_.Received(raw, note + ", no such unit: no answer");
        return;
    }
    trace_.Received(raw, note);
    Reply(unit->second, *frame, raw.size());
}

void Simulator::Reply(Unit& unit, const Frame& frame, std::size_t frameLength) {
    const double elapsedS = std::chrono::duration<double>(Clock::now() - started_).count();
    const std::string reply = unit.Answer(frame, elapsedS);
    const FaultSettings& settings = unit.Options().faults.value_or(options_.line.faults);
    const Transmission sent = faults_.Apply(reply, settings);
    if (sent.bytes.empty()) {
        trace_.Note(UnitName(frame.address) + " silent (" + sent.faults + ")");
        return;
    }
    if (!Send(sent.bytes, ReplyStart(frameLength))) {
        trace_.Note(UnitName(frame.address) + " reply abandoned: line closed or stopping");
        return;
    }
    std::string note = "checksum " + ReplyChecksumState(sent.bytes);
    if (!sent.faults.empty()) note += ", faults: " + sent.faults;
    trace_.Sent(sent.bytes, note);
}

Simulator::Clock::duration Simulator::CharacterTime() const {
    if (options_.line.baud == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double{kBitsPerCharacter} / options_.line.baud));
}

// The frame arrived at once through the pseudo-terminal, but on a real line its
// last character lands only after its own wire time; then the unit turns round.
Simulator::Clock::time_point Simulator::ReplyStart(std::size_t frameLength) const {
    const auto frameEnd = frameStart_ + CharacterTime() * static_cast<long>(frameLength);
    const auto turnaround = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(options_.line.turnaroundMs));
    return std::max(Clock::now(), frameEnd) + turnaround;
}

// Each character reaches the driver at the end of its own wire time.
bool Simulator::Send(const std::string& bytes, Clock::time_point start) {
    const Clock::duration perCharacter = CharacterTime();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!WaitUntil(start + perCharacter * static_cast<long>(sent + 1))) return false;
        const std::size_t due = CharactersDue(bytes.size(), sent + 1, start, perCharacter);
        if (!WriteBytes(bytes.data() + sent, due - sent)) return false;
        sent = due;
    }
    return true;
}

// Every character whose slot has ended goes out in one write, so that a reader
// is not woken once a character when the line is fast or the sender late.
std::size_t Simulator::CharactersDue(std::size_t total, std::size_t due, Clock::time_point start,
                                     Clock::duration perCharacter) const {
    const Clock::time_point now = Clock::now();
    while (due < total && start + perCharacter * static_cast<long>(due + 1) <= now) ++due;
    return due;
}

bool Simulator::WriteBytes(const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(master_, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd fds[2] = {{master_, POLLOUT, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

// Sleeps, but wakes for a stop; false when stopping.
bool Simulator::WaitUntil(Clock::time_point deadline) {
    for (;;) {
        if (stopping_.load()) return false;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        pollfd stop{stopPipe_[0], POLLIN, 0};
        if (ppoll(&stop, 1, &wait, nullptr) > 0) return false;
    }
}

}  // namespace qsn::sim
