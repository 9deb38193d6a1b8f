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

// Windows keeps each device's time-outs in the kernel; termios has no total
// read time-out, so this backend keeps them, per open descriptor.
std::array<CommTimeouts, kMaxDescriptors> descriptorTimeouts{};

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

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
    descriptorTimeouts[static_cast<std::size_t>(fd)] =
        CommTimeouts{0, 0, kConfiguredReadTimeoutMs, 0, 0};
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
    return ApplyModemLines(fd, lines);
}

bool PortGetTimeouts(PortHandle port, CommTimeouts* timeouts) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    *timeouts = descriptorTimeouts[static_cast<std::size_t>(fd)];
    return true;
}

bool PortSetTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    descriptorTimeouts[static_cast<std::size_t>(fd)] = timeouts;
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
    *bytesWaiting = static_cast<std::uint32_t>(waiting);
    return true;
}

bool PortRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    *received = 0;
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    const CommTimeouts t = descriptorTimeouts[static_cast<std::size_t>(fd)];
    const bool immediate = t.readIntervalTimeout == kMaxDword &&
                           t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0;
    const bool hasTotal = t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0;
    const std::int64_t deadline =
        NowMs() + static_cast<std::int64_t>(t.readTotalTimeoutMultiplier) * count +
        t.readTotalTimeoutConstant;
    const bool hasInterval = t.readIntervalTimeout != 0 && t.readIntervalTimeout != kMaxDword;

    auto* bytes = static_cast<unsigned char*>(buffer);
    while (*received < count) {
        const ssize_t n = read(fd, bytes + *received, count - *received);
        if (n > 0) {
            *received += static_cast<std::uint32_t>(n);
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
    }
    return true;
}

bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    *written = 0;
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    const CommTimeouts t = descriptorTimeouts[static_cast<std::size_t>(fd)];
    const bool hasTotal = t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0;
    const std::int64_t deadline =
        NowMs() + static_cast<std::int64_t>(t.writeTotalTimeoutMultiplier) * count +
        t.writeTotalTimeoutConstant;
    const auto* data = static_cast<const unsigned char*>(bytes);
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
    return fd >= 0 && close(fd) == 0;
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
