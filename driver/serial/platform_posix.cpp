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
// waiting input (a discard drops it).
//
// A frame answered before is answered again about as long after its write, so
// each frame's reply time (write to CR) is learned, and the first read after
// the write sleeps until then and takes the whole reply in one call: one
// wake-up a reply. A reply that is not whole by then is waited for as below,
// which measures its time again. Every eighth reply found whole, the sleep
// ends a character early to see whether the reply has come to arrive sooner,
// twice as early again while it has. An error reply, shorter, waits out the
// time of the one learned.
//
// A reply not timed yet: its first character tells its form. After an "N"
// the short error reply is expected, after an "A" the length last seen in
// answer to the same frame, if any. Knowing the length, a read sleeps until
// all but the last character are due at the line's pace, takes them in one
// call, and is woken by the last one as it lands. The pace is the configured
// character time until the line shows a faster one: while a whole reply was
// found waiting after such a sleep, the next sleeps are halved until one wakes
// with the reply still arriving, which measures it.
//
// A sleep never passes the read's deadline. A read system call is made only
// when input should be there (poll said so, a sleep let it arrive, or the last
// read filled its buffer); otherwise poll waits for it first, so that no read
// comes back empty.

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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
// An error reply: "N", two code digits, CR.
constexpr std::uint32_t kErrorReplyLength = 4;
// Replies found whole at their time before a probe for a sooner one.
constexpr std::uint32_t kProbeEvery = 8;
constexpr std::uint32_t kMaxProbeChars = 1024;

// What this backend keeps per open descriptor. Windows keeps each device's
// time-outs in the kernel; termios has no total read time-out.
struct Descriptor {
    CommTimeouts timeouts;
    unsigned char ahead[kReadAhead];  // read from the device, not yet delivered
    std::uint32_t aheadAt, aheadEnd;
    std::uint64_t characterNs;  // wire time of a character at the configured rate; 0 before configuring
    std::uint64_t paceNs;       // a character's time as last measured on the line, at most characterNs
    bool paceInDoubt;           // a whole reply was waiting after a sleep: the line may be faster
    std::uint32_t frame;        // key of the last frame written, 0 for none
    std::uint32_t sinceWrite;   // bytes read from the device since
    std::uint32_t replyLength;  // bytes since the write up to the first CR, 0 before it
    unsigned char form;         // the first byte since the write
    std::int64_t firstAtNs;     // when it landed
    std::uint32_t expected;     // the reply's length as its form tells, 0 unknown
    std::int64_t sleptUntilNs;  // the end of the sleep before this read, 0 for none
    bool drained;               // the device had nothing more at the last look: poll before reading
    std::int64_t writtenAtNs;   // when the last frame was handed to the device
    std::uint32_t learnedLength;  // of the data reply to that frame, 0 unknown
    std::uint64_t replyNs;      // its time from write to CR, learned or measured; 0 unknown
    bool sleptForReply;         // the sleep before this read was to the reply's time
    bool replySleepTaken;       // that sleep is behind this frame's reply
    bool probing;               // it ended early, to see whether the reply now comes sooner
    std::uint32_t wholeStreak;  // replies found whole at their time since the last probe
    std::uint32_t probeChars;   // how many characters early the next probe wakes
    std::uint64_t wakeLateNs;   // how late a sleep's wake-up usually is
    int timer;                  // a timer file to sleep on, plus one; 0 for none
    bool lateBefore;            // the last reply timed came over a character late

    std::uint32_t Ahead() const { return aheadEnd - aheadAt; }
    std::uint32_t Take(unsigned char* into, std::uint32_t wanted) {
        const std::uint32_t n = wanted < Ahead() ? wanted : Ahead();
        std::memcpy(into, ahead + aheadAt, n);
        aheadAt += n;
        return n;
    }
    std::uint64_t Pace() const { return paceNs != 0 ? paceNs : characterNs; }
};

std::array<Descriptor, kMaxDescriptors> descriptors{};

// Reply lengths and times learned, of every port in one table, so that each
// frame of a line of 256 units keeps a slot of its own: 8 a unit at half load.
// A slot packs the frame's key (32 bits), the descriptor (10), the reply's
// time in 16-us steps (15) and its length (7), so that ports used on different
// threads share it without a lock; losing a race costs only a guess.
constexpr std::size_t kLearnedSlots = 4096;
constexpr std::size_t kProbes = 8;
constexpr unsigned kDescriptorShift = 22;
constexpr unsigned kTimeShift = 7;
constexpr std::uint64_t kTagMask = ~((std::uint64_t{1} << kDescriptorShift) - 1);
constexpr std::uint64_t kTimeStepNs = 16000;
constexpr std::uint64_t kMaxTimeSteps = 0x7FFF;
constexpr std::uint32_t kMaxLearnedLength = 0x7F;
static_assert(kMaxDescriptors == 1 << (32 - kDescriptorShift), "a descriptor fills its bits");
std::array<std::atomic<std::uint64_t>, kLearnedSlots> learned{};

struct Learned {
    std::uint32_t length;  // 0 unknown
    std::uint64_t replyNs;  // 0 unknown
};

std::uint64_t LearnedTag(int fd, std::uint32_t frame) {
    return (std::uint64_t{frame} << 32) | (static_cast<std::uint64_t>(fd) << kDescriptorShift);
}

// A time is kept rounded up, so that a sleep to it never ends before the reply.
std::uint64_t PackLearned(std::uint32_t length, std::uint64_t replyNs) {
    std::uint64_t steps = (replyNs + kTimeStepNs - 1) / kTimeStepNs;
    if (steps > kMaxTimeSteps) steps = 0;
    return (steps << kTimeShift) | (length <= kMaxLearnedLength ? length : 0);
}

std::size_t HomeSlot(int fd, std::uint32_t frame) {
    return (frame ^ (static_cast<std::uint32_t>(fd) * 2654435761u)) % kLearnedSlots;
}

Learned LookUpLearned(int fd, std::uint32_t frame) {
    const std::uint64_t tag = LearnedTag(fd, frame);
    for (std::size_t i = 0; i < kProbes; ++i) {
        const std::uint64_t slot =
            learned[(HomeSlot(fd, frame) + i) % kLearnedSlots].load(std::memory_order_relaxed);
        if ((slot & kTagMask) == tag) {
            return {static_cast<std::uint32_t>(slot & kMaxLearnedLength),
                    ((slot >> kTimeShift) & kMaxTimeSteps) * kTimeStepNs};
        }
    }
    return {};
}

// Into the frame's own slot, else the first free one near it, else its home.
void Learn(int fd, std::uint32_t frame, std::uint32_t length, std::uint64_t replyNs) {
    const std::uint64_t tag = LearnedTag(fd, frame);
    std::atomic<std::uint64_t>* into = &learned[HomeSlot(fd, frame)];
    bool free = false;
    for (std::size_t i = 0; i < kProbes; ++i) {
        std::atomic<std::uint64_t>& slot = learned[(HomeSlot(fd, frame) + i) % kLearnedSlots];
        const std::uint64_t held = slot.load(std::memory_order_relaxed);
        if ((held & kTagMask) == tag) {
            into = &slot;
            break;
        }
        if (held == 0 && !free) {
            into = &slot;
            free = true;
        }
    }
    into->store(tag | PackLearned(length, replyNs), std::memory_order_relaxed);
}

void ForgetLearned(int fd) {
    for (std::atomic<std::uint64_t>& slot : learned) {
        const std::uint64_t held = slot.load(std::memory_order_relaxed);
        if (held != 0 && ((held >> kDescriptorShift) & (kMaxDescriptors - 1)) == static_cast<std::uint64_t>(fd)) {
            slot.store(0, std::memory_order_relaxed);
        }
    }
}

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

timespec TimespecOf(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// On the descriptor's timer when it has one: a timer file fires on time,
// where a sleep may end as much as the thread's timer slack late (50 us by
// default), which a read would add to every reply.
void SleepUntilNs(const Descriptor& d, std::int64_t deadlineNs) {
    if (deadlineNs <= 0) return;  // a zero time would disarm the timer, and poll wait for ever
    const timespec deadline = TimespecOf(deadlineNs);
    if (d.timer != 0) {
        // Setting the timer clears its last expiry, so poll waits for this one.
        const itimerspec once{{0, 0}, deadline};
        if (timerfd_settime(d.timer - 1, TFD_TIMER_ABSTIME, &once, nullptr) == 0) {
            pollfd p{d.timer - 1, POLLIN, 0};
            while (poll(&p, 1, -1) < 0 && errno == EINTR) {
            }
            return;
        }
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// FNV-1a of the whole frame; never 0, which stands for no frame.
std::uint32_t FrameKey(const unsigned char* bytes, std::uint32_t count) {
    std::uint32_t hash = 2166136261u;
    for (std::uint32_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash == 0 ? 1 : hash;
}

std::uint64_t CharacterNs(const CommState& state) {
    if (state.baudRate == 0) return 0;
    const std::uint64_t bits = 1u + state.byteSize + (state.parity != kNoParity ? 1u : 0u) +
                               (state.stopBits == kOneStopBit ? 1u : 2u);
    return bits * 1000000000u / state.baudRate;
}

// The reply's form from its first byte: its length, or 0 when unknown.
std::uint32_t ExpectedLength(const Descriptor& d) {
    if (d.form == 'N') return kErrorReplyLength;
    if (d.form == 'A') return d.learnedLength;
    return 0;
}

// A data reply's CR has been read: what it tells of the reply's time, the
// time a sleep should end to find it whole (less the usual lateness of a
// sleep's wake-up). Woken as it landed, the time is measured; one more than a
// character later than expected is taken only when the reply before was late
// too, since a one-off would make the next replies wait for it. Found whole
// after a sleep that ended on time, the reply was there by then: a probe that
// finds it so lowers the time and probes twice as far next.
void NoteReplyTime(Descriptor& d, std::int64_t now, bool landed, std::int64_t sleptUntil,
                   bool sleptForReply) {
    const bool probing = d.probing;
    d.probing = false;
    if (d.form != 'A') return;
    const std::uint64_t pace = d.Pace() != 0 ? d.Pace() : 1;
    const auto sinceWrite = static_cast<std::uint64_t>(now - d.writtenAtNs);
    if (landed) {
        const std::uint64_t due = sinceWrite - std::min(d.wakeLateNs, sinceWrite / 2);
        const bool first = d.replyNs == 0;
        const bool late = !first && due > d.replyNs + pace;
        const bool lateAgain = late && d.lateBefore;
        d.lateBefore = late && !lateAgain;
        if (!late || lateAgain) d.replyNs = due;
        d.probeChars = 1;
        // A first reply may have met a cold start: the next probes at once.
        d.wholeStreak = first ? kProbeEvery : 0;
        return;
    }
    if (d.replyNs == 0) {
        d.replyNs = sinceWrite;  // whole by now: a bound for probes to lower
        d.probeChars = 1;
        d.wholeStreak = kProbeEvery;
        return;
    }
    const std::int64_t lateNs = now - sleptUntil;
    d.lateBefore = false;
    if (!sleptForReply || lateNs >= static_cast<std::int64_t>(pace)) return;
    d.wakeLateNs = (d.wakeLateNs * 7 + static_cast<std::uint64_t>(lateNs)) / 8;
    if (!probing) {
        ++d.wholeStreak;
        return;
    }
    d.replyNs = static_cast<std::uint64_t>(sleptUntil - d.writtenAtNs);
    d.probeChars = std::min(d.probeChars * 2, kMaxProbeChars);
    d.wholeStreak = kProbeEvery;
}

// Keeps what the bytes just read tell of the reply: its form, when it began,
// where its CR is, its time, and the line's pace. A byte that has just woken
// the reader landed now; after a sleep the bytes may have landed earlier, so
// a reply found complete then only bounds the pace, and puts it in doubt when
// the sleep ended on time (a late wake-up finds any reply complete).
void NoteArrival(Descriptor& d, const unsigned char* got, std::uint32_t n, bool landed) {
    const std::int64_t now = NowNs();
    const std::int64_t sleptUntil = d.sleptUntilNs;
    const bool sleptForReply = d.sleptForReply;
    d.sleptUntilNs = 0;
    d.sleptForReply = false;
    const std::uint32_t before = d.sinceWrite;
    d.sinceWrite += n;
    if (before == 0) d.form = got[0];
    if (d.replyLength == 0) {
        const void* cr = std::memchr(got, '\r', n);
        if (cr != nullptr) {
            d.replyLength = before + static_cast<std::uint32_t>(static_cast<const unsigned char*>(cr) - got) + 1;
            NoteReplyTime(d, now, landed, sleptUntil, sleptForReply);
        }
    }
    if (before == 0) {
        d.expected = ExpectedLength(d);
        d.firstAtNs = now - static_cast<std::int64_t>((n - 1) * d.Pace());
        return;
    }
    const auto measured = static_cast<std::uint64_t>(now - d.firstAtNs) / (d.sinceWrite - 1);
    const bool arriving = landed || d.replyLength == 0;
    d.paceNs = std::min(arriving ? measured : std::min(measured, d.Pace()), d.characterNs);
    d.paceInDoubt = !arriving && sleptUntil != 0 && now - sleptUntil < static_cast<std::int64_t>(d.Pace());
}

// One read system call: straight into the caller's buffer when it asks for a
// read-ahead's worth or more, else into the (empty) read-ahead, from which the
// caller takes its share. The read's own result: >0 bytes read, 0 end of file.
ssize_t ReadOnce(int fd, Descriptor& d, unsigned char* into, std::uint32_t wanted,
                 std::uint32_t* delivered, bool landed) {
    *delivered = 0;
    ssize_t n = 0;
    const unsigned char* got = into;
    const std::uint32_t asked = wanted >= kReadAhead ? wanted : kReadAhead;
    if (wanted >= kReadAhead) {
        n = read(fd, into, wanted);
        if (n > 0) *delivered = static_cast<std::uint32_t>(n);
    } else {
        n = read(fd, d.ahead, kReadAhead);
        if (n > 0) {
            got = d.ahead;
            d.aheadAt = 0;
            d.aheadEnd = static_cast<std::uint32_t>(n);
            *delivered = d.Take(into, wanted);
        }
    }
    // A read that came back short took all there was.
    d.drained = n < 0 || static_cast<std::uint32_t>(n) < asked;
    if (n > 0) NoteArrival(d, got, static_cast<std::uint32_t>(n), landed);
    return n;
}

// The first read after a frame whose reply has a known time sleeps until it is
// due (a probe: some characters sooner), never past the read's deadline (0:
// none). True after a sleep; a look then tells whether any of it has come.
bool SleepUntilReplyDue(Descriptor& d, std::int64_t deadlineNs) {
    if (d.replySleepTaken || d.replyNs == 0 || d.sinceWrite != 0 || d.characterNs == 0) return false;
    d.replySleepTaken = true;
    d.probing = d.wholeStreak >= kProbeEvery;
    if (d.probing) d.wholeStreak = 0;
    const std::uint64_t early = d.probing ? d.probeChars * d.Pace() : 0;
    std::int64_t until = d.writtenAtNs + static_cast<std::int64_t>(d.replyNs) - static_cast<std::int64_t>(early);
    if (deadlineNs > 0 && until > deadlineNs) until = deadlineNs;
    if (until <= NowNs()) {
        d.probing = false;
        return false;
    }
    SleepUntilNs(d, until);
    d.sleptUntilNs = until;
    d.sleptForReply = true;
    return true;
}

// Partway through a reply of known length, sleeps until all but its last
// character are due at the line's pace (half as long while the pace is in
// doubt); the last wakes the reader itself as it lands. Never past the read's
// deadline (0: none). True after a sleep: the characters slept through are
// due, and are read without polling for them first.
bool SleepThroughReply(Descriptor& d, std::int64_t deadlineNs) {
    if (d.sinceWrite == 0 || d.replyLength != 0 || d.characterNs == 0) return false;
    if (d.expected < d.sinceWrite + 2) return false;
    const std::uint64_t pace = d.paceInDoubt ? d.Pace() / 2 : d.Pace();
    std::int64_t until = d.firstAtNs + static_cast<std::int64_t>((d.expected - 2) * pace);
    if (deadlineNs > 0 && until > deadlineNs) until = deadlineNs;
    if (until <= NowNs()) return false;
    SleepUntilNs(d, until);
    d.sleptUntilNs = until;
    return true;
}

bool InputWaiting(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
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
    d.probeChars = 1;
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    d.timer = timer >= 0 ? timer + 1 : 0;
    ForgetLearned(fd);
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
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    d.characterNs = CharacterNs(state);
    d.paceNs = 0;
    d.paceInDoubt = false;
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
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    d.drained = waiting == 0;
    *bytesWaiting = static_cast<std::uint32_t>(waiting) + d.Ahead();
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

    // An interval time-out counts the gaps between characters: no sleeping through them.
    const bool maySleep = !immediate && !hasInterval;

    auto* bytes = static_cast<unsigned char*>(buffer);
    *received = d.Take(bytes, count);
    bool landed = false;  // poll has just seen input arrive
    while (*received < count) {
        const std::int64_t deadlineNs = hasTotal ? deadline * 1000000 : 0;
        bool slept = false;
        if (maySleep && !landed) {
            // Nothing come by the reply's time: it is waited for, and timed as it lands.
            slept = SleepUntilReplyDue(d, deadlineNs) ? InputWaiting(fd) : SleepThroughReply(d, deadlineNs);
        }
        if (immediate || landed || slept || !d.drained) {
            std::uint32_t delivered = 0;
            const ssize_t n =
                ReadOnce(fd, d, bytes + *received, count - *received, &delivered, landed);
            landed = false;
            if (n > 0) {
                *received += delivered;
                continue;
            }
            if (n == 0) return true;  // end of file
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            if (immediate) return true;
        }

        std::int64_t wait = -1;
        if (hasTotal) wait = deadline - NowMs();
        if (hasInterval && *received > 0 && (wait < 0 || wait > t.readIntervalTimeout)) {
            wait = t.readIntervalTimeout;
        }
        // At the deadline, one last look for what has arrived meanwhile.
        if (hasTotal && wait < 0) wait = 0;
        bool ready = false;
        if (!WaitFor(fd, POLLIN, wait, &ready)) return false;
        if (!ready && (hasTotal || *received > 0)) return true;
        landed = ready;
    }
    return true;
}

bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    *written = 0;
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    const auto* data = static_cast<const unsigned char*>(bytes);
    // What the last frame's reply was, to its CR, is what that frame gets next:
    // its time, and a data reply's length (a bare acknowledgement's CR ends it).
    if (d.frame != 0 && d.form == 'A' && d.replyLength >= 2) {
        Learn(fd, d.frame, d.replyLength > 2 ? d.replyLength : 0, d.replyNs);
    }
    d.frame = FrameKey(data, count);
    const Learned known = LookUpLearned(fd, d.frame);
    d.learnedLength = known.length;
    d.replyNs = known.replyNs;
    d.sinceWrite = 0;
    d.replyLength = 0;
    d.form = 0;
    d.expected = 0;
    d.drained = true;  // the reply is still to come: poll for it
    d.replySleepTaken = false;
    d.sleptForReply = false;
    d.probing = false;
    d.writtenAtNs = NowNs();  // again once written; a failed write leaves no older time
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
    d.writtenAtNs = NowNs();
    return true;
}

bool PortClose(PortHandle port) {
    const int fd = DescriptorOf(port);
    if (fd < 0) return false;
    Descriptor& d = descriptors[static_cast<std::size_t>(fd)];
    if (d.timer != 0) close(d.timer - 1);
    d = Descriptor{};
    return close(fd) == 0;
}

// Sleeping to an absolute deadline keeps an interrupted sleep from starting
// over. The thread's timer slack is the host's: lowering it for each pause
// took three more system calls a read for about 45 us of pause.
void SleepMs(std::uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace qsn::platform
