// The serial platform over POSIX termios, with the effects of the Win32 calls.
//
// How a read (PortRead) returns, given the COMMTIMEOUTS in force:
//  - all `count` bytes arrived: success, `received` == count;
//  - interval MAXDWORD with multiplier and constant 0: at once, success, with
//    whatever was waiting (possibly nothing);
//  - the total time-out (multiplier x count + constant ms, counted from the
//    call) ran out: success, with what arrived (possibly nothing);
//  - the interval time-out ran out between two bytes after the first: success,
//    with what arrived;
//  - end of file (the null device, a hung-up line): success, with what arrived;
//  - a read or poll error other than an interruption: failure.
// With multiplier and constant both 0 there is no total time-out.
//
// The driver reads a reply one character a call. Woken once a character, a
// 38400-baud group reply would cost some 70 wake-ups; instead each read system
// call takes all that has arrived into a read-ahead of the descriptor, which
// serves the following reads without another call, and which counts as
// waiting input (a discard drops it). Once woken by a reply's first
// character, a read sleeps until all but the last character are due, when a
// reply to the same frame has been seen before (its length and the line's
// character time tell when), and takes them in one call. Such a sleep never
// passes the read's deadline; a reply shorter than the last one to that frame
// is delivered that much later.

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial/platform.h"
#include "serial/serial.h"
#include "serial/termios_map.h"

namespace qsn::platform {

namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr int kMaxDescriptors = 1024;
// Room for the longest reply the driver reads in a transaction (a group read,
// 68 characters) with some to spare.
constexpr std::uint32_t kReadAhead = 128;
constexpr std::size_t kLearnedFrames = 16;

// What this backend keeps per open descriptor. Windows keeps each device's
// time-outs in the kernel; termios has no total read time-out.
struct Descriptor {
    CommTimeouts timeouts;
    unsigned char ahead[kReadAhead];  // read from the device, not yet delivered
    std::uint32_t aheadAt, aheadEnd;
    std::uint64_t characterNs;  // wire time of a character; 0 before configuring
    std::uint32_t frame;        // key of the last frame written, 0 for none
    std::uint32_t sinceWrite;   // bytes read from the device since
    // Reply length last seen per frame key, in slots by key.
    struct Learned {
        std::uint32_t frame, length;
    } learned[kLearnedFrames];

    std::uint32_t Ahead() const { return aheadEnd - aheadAt; }
    std::uint32_t Take(unsigned char* into, std::uint32_t wanted) {
        const std::uint32_t n = wanted < Ahead() ? wanted : Ahead();
        std::memcpy(into, ahead + aheadAt, n);
        aheadAt += n;
        return n;
    }
    std::uint32_t Expected() const {
        const Learned& slot = learned[frame % kLearnedFrames];
        return frame != 0 && slot.frame == frame ? slot.length : 0;
    }
};

std::array<Descriptor, kMaxDescriptors> descriptors{};

static_assert(sizeof(termios) <= sizeof(CommState::native), "termios fits the native state");

int DescriptorOf(PortHandle port) {
    if (port == 0 || port == kInvalidHandle || port > kMaxDescriptors) return -1;
    return static_cast<int>(port - 1);
}

// "ttyUSB0" and "pts/3" are taken relative to /dev; "NUL" is the null device.
bool DevicePath(const char* name, char (&path)[128]) {
    int n = 0;
    if (std::strcmp(name, "NUL") == 0) {
        n = std::snprintf(path, sizeof path, "/dev/null");
    } else if (name[0] == '/') {
        n = std::snprintf(path, sizeof path, "%s", name);
    } else {
        n = std::snprintf(path, sizeof path, "/dev/%s", name);
    }
    return n > 0 && static_cast<std::size_t>(n) < sizeof path;
}

// Both, since TIOCEXCL does not stop root and flock does not stop a process
// that ignores it.
bool TakeExclusive(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    if (isatty(fd)) ioctl(fd, TIOCEXCL);
    return true;
}

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t NowMs() { return NowNs() / 1000000; }

void SleepUntilNs(std::int64_t deadlineNs) {
    const timespec deadline{static_cast<time_t>(deadlineNs / 1000000000),
                            static_cast<long>(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// FNV-1a; never 0, which stands for no frame.
std::uint32_t FrameKey(const unsigned char* bytes, std::uint32_t count) {
    std::uint32_t hash = 2166136261u;
    for (std::uint32_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash | 1u;
}

std::uint64_t CharacterNs(const CommState& state) {
    if (state.baudRate == 0) return 0;
    const std::uint64_t bits = 1u + state.byteSize + (state.parity != kNoParity ? 1u : 0u) +
                               (state.stopBits == kOneStopBit ? 1u : 2u);
    return bits * 1000000000u / state.baudRate;
}

// One read system call: straight into the caller's buffer when it asks for a
// read-ahead's worth or more, else into the (empty) read-ahead, from which the
// caller takes its share. The read's own result: >0 bytes read, 0 end of file.
ssize_t ReadOnce(int fd, Descriptor& d, unsigned char* into, std::uint32_t wanted,
                 std::uint32_t* delivered) {
    *delivered = 0;
    ssize_t n = 0;
    if (wanted >= kReadAhead) {
        n = read(fd, into, wanted);
        if (n > 0) *delivered = static_cast<std::uint32_t>(n);
    } else {
        n = read(fd, d.ahead, kReadAhead);
        if (n > 0) {
            d.aheadAt = 0;
            d.aheadEnd = static_cast<std::uint32_t>(n);
            *delivered = d.Take(into, wanted);
        }
    }
    if (n > 0) d.sinceWrite += static_cast<std::uint32_t>(n);
    return n;
}

// Woken by the first characters of a reply: when the reply to this frame has
// been seen before, sleep until all but its last character must have arrived.
// The last one then wakes the reader itself, as soon as it lands, so that the
// reply ends no later than it would a character at a time.
void AwaitExpectedReply(int fd, const Descriptor& d, std::int64_t deadlineNs) {
    const std::uint32_t expected = d.Expected();
    if (expected == 0 || d.characterNs == 0) return;
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0) return;
    const std::int64_t missing =
        static_cast<std::int64_t>(expected) - d.sinceWrite - available;
    if (missing <= 1) return;
    std::int64_t until = NowNs() + (missing - 1) * static_cast<std::int64_t>(d.characterNs);
    if (deadlineNs > 0 && until > deadlineNs) until = deadlineNs;
    SleepUntilNs(until);
}

// Waits for the descriptor; false on a poll error, `ready` false on time-out.
bool WaitFor(int fd, short events, std::int64_t waitMs, bool* ready) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int timeout = waitMs < 0 ? -1 : static_cast<int>(waitMs);
        const int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        *ready = r > 0;
        return true;
    }
}

// Modem-line requests fail on a pseudo-terminal (ENOTTY, EINVAL); that is not
// an error for the port.
void SetModemLine(int fd, unsigned long request, int line) {
    ioctl(fd, request, &line);
}

bool ApplyModemLines(int fd, const posix::ModemLines& lines) {
    if (lines.setDtr) SetModemLine(fd, TIOCMBIS, TIOCM_DTR);
    if (lines.clearDtr) SetModemLine(fd, TIOCMBIC, TIOCM_DTR);
    if (lines.setRts) SetModemLine(fd, TIOCMBIS, TIOCM_RTS);
    if (lines.clearRts) SetModemLine(fd, TIOCMBIC, TIOCM_RTS);
    if (lines.rs485) {
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        // Without RS-485 support in the UART, RTS toggle cannot be honoured.
        if (ioctl(fd, TIOCSRS485, &rs485) != 0) return false;
    }
    return true;
}

}  // namespace

PortHandle PortOpen(const char* name) {
    char path[128];
    if (!DevicePath(name, path)) return kInvalidHandle;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kInvalidHandle;
    const bool nullDevice = std::strcmp(path, "/dev/null") == 0;
    if (fd >= kMaxDescriptors || (!nullDevice && !TakeExclusive(fd))) {
        close(fd);
        return kInvalidHandle;
    }
    // A descriptor starts with the time-outs configuring sets, so that no read
    // on a port opened without configuring waits for ever.
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    d = Descriptor{};
    d.timeouts = CommTimeouts{0, 0, kConfiguredReadTimeoutMs, 0, 0};
    return static_cast<PortHandle>(fd) + 1;
}

bool PortGetState(PortHandle port, CommState* state) {
    const int fd = DescriptorOf(port);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) return false;
    posix::MapFromTermios(tio, state);
    std::memcpy(state->native, &tio, sizeof tio);
    return true;
}

bool PortSetState(PortHandle port, const CommState& state) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    termios tio{};
    std::memcpy(&tio, state.native, sizeof tio);
    posix::ModemLines lines;
    if (posix::MapToTermios(state, &tio, &lines) != posix::MapResult::kOk) return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    descriptors[static_cast<std::size_t>(fd)].characterNs = CharacterNs(state);
    return ApplyModemLines(fd, lines);
}

bool PortGetTimeouts(PortHandle port, CommTimeouts* timeouts) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    *timeouts = descriptors[static_cast<std::size_t>(fd)].timeouts;
    return true;
}

bool PortSetTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    descriptors[static_cast<std::size_t>(fd)].timeouts = timeouts;
    return true;
}

// Linux sizes its queues itself; the request is accepted as it is.
bool PortSetupQueues(PortHandle port, std::uint32_t, std::uint32_t) {
    return DescriptorOf(port) >= 0;
}

bool PortClearErrors(PortHandle port, std::uint32_t* bytesWaiting) {
    const int fd = DescriptorOf(port);
    int waiting = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &waiting) != 0) return false;
    *bytesWaiting = static_cast<std::uint32_t>(waiting) +
                    descriptors[static_cast<std::size_t>(fd)].Ahead();
    return true;
}

bool PortRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    *received = 0;
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    const CommTimeouts t = d.timeouts;
    const bool immediate = t.readIntervalTimeout == kMaxDword &&
                           t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0;
    const bool hasTotal = t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0;
    const std::int64_t startNs = NowNs();
    const std::int64_t deadline =
        startNs / 1000000 + static_cast<std::int64_t>(t.readTotalTimeoutMultiplier) * count +
        t.readTotalTimeoutConstant;
    const bool hasInterval = t.readIntervalTimeout != 0 && t.readIntervalTimeout != kMaxDword;

    auto* bytes = static_cast<unsigned char*>(buffer);
    *received = d.Take(bytes, count);
    while (*received < count) {
        std::uint32_t delivered = 0;
        const ssize_t n = ReadOnce(fd, d, bytes + *received, count - *received, &delivered);
        if (n > 0) {
            *received += delivered;
            continue;
        }
        if (n == 0) return true;  // end of file
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        if (immediate) return true;

        std::int64_t wait = -1;
        if (hasTotal) wait = deadline - NowMs();
        if (hasInterval && *received > 0 && (wait < 0 || wait > t.readIntervalTimeout)) {
            wait = t.readIntervalTimeout;
        }
        if (hasTotal && wait <= 0) return true;
        bool ready = false;
        if (!WaitFor(fd, POLLIN, wait, &ready)) return false;
        if (!ready && (hasTotal || *received > 0)) return true;
        // An interval time-out counts the gaps between characters: no sleeping through them.
        if (ready && !hasInterval) AwaitExpectedReply(fd, d, hasTotal ? deadline * 1000000 : 0);
    }
    return true;
}

bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    *written = 0;
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    const auto* data = static_cast<const unsigned char*>(bytes);
    // What was read since the last frame was written is the reply to it.
    if (d.frame != 0) {
        const std::uint32_t length = d.sinceWrite < kReadAhead ? d.sinceWrite : kReadAhead;
        d.learned[d.frame % kLearnedFrames] = {d.frame, length};
    }
    d.frame = FrameKey(data, count);
    d.sinceWrite = 0;
    const CommTimeouts t = d.timeouts;
    const bool hasTotal = t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0;
    const std::int64_t deadline =
        NowMs() + static_cast<std::int64_t>(t.writeTotalTimeoutMultiplier) * count +
        t.writeTotalTimeoutConstant;
    while (*written < count) {
        const ssize_t n = write(fd, data + *written, count - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const std::int64_t wait = hasTotal ? deadline - NowMs() : -1;
        if (hasTotal && wait <= 0) return true;
        bool ready = false;
        if (!WaitFor(fd, POLLOUT, wait, &ready)) return false;
    }
    return true;
}

bool PortClose(PortHandle port) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    descriptors[static_cast<std::size_t>(fd)] = Descriptor{};
    return close(fd) == 0;
}

// The 4 ms closing pause is most of an unpaced transaction. Sleeping to an
// absolute deadline keeps an interrupted sleep from starting over; the
// thread's timer slack (50 us by default) is at its least for the pause alone
// and then given back as the host had it.
void SleepMs(std::uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    const bool lowered = slack > 1 && prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    if (lowered) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
}

}  // namespace qsn::platform
