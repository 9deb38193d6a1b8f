// Reads per second through QsnMain against the simulator on a pseudo-terminal,
// next to the physical limit of the same run: the wire time of frame and reply
// at the simulator's rate (10 bits a character) plus the 4 ms closing pause.
// A bare exchange of the same frames, without the driver, as a careful user
// would write it (write the frame; poll and read whatever has arrived until the
// CR, against a deadline of 1000 ms; sleep 4 ms to a deadline) shows what the
// machine's timers and wake-ups leave of that limit. Each run also gives the
// CPU time (user + system) and the context switches (voluntary + involuntary)
// of this process per read, and the load average as it ended; the simulator
// runs as a process of its own, so they are the host's and the driver's alone.
// Each baud rate ends with the driver's figures beside the bare exchange's and
// the targets: at 38400 a group read in at most 100 us of CPU and 6 context
// switches at a rate of at least 0.99 of the bare exchange's; unpaced, the
// driver's CPU a read within 1.3 times the bare exchange's.
//
//   read_bench [--count N] [--baud B]... [--run single|group] [--side driver|bare]
//   (default: 500 reads, unpaced, 9600 and 38400 baud, both runs, both sides)
// Each measured run is bracketed by getrusage calls, which syscalls_per_read.sh
// counts the system calls between.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host_calls.h"
#include "kaldor.h"
#include "qsnwndut.h"
#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kClosingPauseS = 0.004;
constexpr double kBitsPerCharacter = 10.0;
constexpr unsigned kUnpacedLineBaud = 9600;  // what the driver configures when the simulator is unpaced

struct Run {
    const char* name;
    int32_t count;  // the PointBlock's count: 1 one point, 16 the unit
    const char* mask;
    std::size_t frameLength;
    std::size_t replyLength;
};

// An AI read: ">02L0008" + checksum + CR; the reply "A" + 4 digits a point + checksum + CR.
constexpr Run kRuns[] = {
    {"single read", 1, "0008", 11, 1 + 4 + 3},
    {"group read", 16, "FFFF", 11, 1 + 64 + 3},
};

std::unique_ptr<qsn::test::SimProcess> StartSimulator(unsigned baud) {
    return std::make_unique<qsn::test::SimProcess>(std::vector<std::string>{
        "--unit", "2:analog", "--cleared", "--baud", std::to_string(baud)});
}

// This process's CPU time and context switches so far.
struct Usage {
    double cpuUs;
    long switches;

    static Usage Now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        const auto us = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
        };
        return {us(u.ru_utime) + us(u.ru_stime), u.ru_nvcsw + u.ru_nivcsw};
    }
};

double LoadAverage() {
    double load[1] = {-1};
    getloadavg(load, 1);
    return load[0];
}

class Line {
public:
    explicit Line(unsigned baud) : sim_(StartSimulator(baud)) {
        std::memset(context_.get(), 0, sizeof(DriverContext));
        InitBlock init = qsn::test::InitFor(sim_->SlavePath(), 100);
        init.settings.baudRate = static_cast<uint16_t>(baud == 0 ? kUnpacedLineBaud : baud);
        if (Request(QSN_START_UP, &init) != 0) {
            std::fprintf(stderr, "read_bench: cannot start the line on %s\n", sim_->SlavePath().c_str());
            std::exit(1);
        }
    }
    ~Line() { Request(QSN_CLOSE_PORT, nullptr); }

    bool Read(int32_t count) {
        PointBlock point{};
        point.gas = "02AI3";
        point.unit = 2;
        point.typeCode = 30;
        point.pointAddress = 204;
        point.dataKind = 1;
        point.count = count;
        point.values = values_;
        return Request(QSN_READ, &point) == 0;
    }

private:
    int32_t Request(int32_t command, void* params) {
        return qsn::test::CallDriver(context_.get(), command, params);
    }

    std::unique_ptr<qsn::test::SimProcess> sim_;
    std::unique_ptr<DriverContext> context_ = std::make_unique<DriverContext>();
    int16_t values_[16] = {};
};

double LimitPerSecond(const Run& run, unsigned baud) {
    const double wire = baud == 0 ? 0.0
                                  : static_cast<double>(run.frameLength + run.replyLength) *
                                        kBitsPerCharacter / baud;
    return 1.0 / (wire + kClosingPauseS);
}

// What one run measured: reads a second, CPU and context switches a read.
struct Figures {
    double rate, cpuUs, switches;
};

Figures Report(unsigned baud, const std::string& name, int reads, int failed, Clock::time_point start,
               const Usage& before, const Run& run) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Usage after = Usage::Now();
    const double rate = reads / seconds;
    const double cpuUs = (after.cpuUs - before.cpuUs) / reads;
    const double switches = static_cast<double>(after.switches - before.switches) / reads;
    const double limit = LimitPerSecond(run, baud);
    std::printf("%-8s %-18s %5d reads %3d failed %7.1f/s  limit %7.1f/s %7.2f%%", 
                baud == 0 ? "unpaced" : std::to_string(baud).c_str(), name.c_str(), reads, failed,
                rate, limit, 100.0 * rate / limit);
    std::printf("  %6.1f us CPU %5.1f switches a read", cpuUs, switches);
    if (run.count == 16) std::printf("  %6.1f positions/s", 16.0 * rate);
    std::printf("  load %.2f\n", LoadAverage());
    std::fflush(stdout);
    return {rate, cpuUs, switches};
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// The driver's figures beside the bare exchange's and the targets that apply.
void CompareWithTargets(unsigned baud, const Run& run, const Figures& bare, const Figures& driver) {
    std::printf("%-8s %-18s driver/bare: rate %.3f, CPU %.2f", baud == 0 ? "unpaced" : std::to_string(baud).c_str(),
                run.name, driver.rate / bare.rate, driver.cpuUs / bare.cpuUs);
    if (baud == 0) std::printf("  (target CPU <= 1.30: %s)", Verdict(driver.cpuUs <= 1.3 * bare.cpuUs));
    if (baud == 38400 && run.count == 16) {
        std::printf("  (target <= 100 us CPU: %s; <= 6 switches: %s; rate >= 0.99: %s)",
                    Verdict(driver.cpuUs <= 100), Verdict(driver.switches <= 6),
                    Verdict(driver.rate >= 0.99 * bare.rate));
    }
    std::printf("\n");
}

struct Options {
    int reads = 500;
    std::vector<unsigned> bauds;
    bool runs[std::size(kRuns)] = {true, true};
    bool driver = true, bare = true;
};

std::vector<Figures> MeasureDriver(unsigned baud, const Options& options) {
    Line line(baud);
    const int reads = options.reads;
    std::vector<Figures> figures;
    for (std::size_t r = 0; r < std::size(kRuns); ++r) {
        const Run& run = kRuns[r];
        if (!options.runs[r]) {
            figures.push_back({});
            continue;
        }
        line.Read(run.count);  // first use: power-up clear, and the reply's length seen once
        int failed = 0;
        const Usage before = Usage::Now();
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) failed += line.Read(run.count) ? 0 : 1;
        figures.push_back(Report(baud, run.name, reads, failed, start, before, run));
    }
    return figures;
}

// The pause as a careful host loop would keep it: to a deadline, with the
// thread's timer slack as it is, as the driver keeps it.
void PauseToDeadline() {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(kClosingPauseS * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
    }
}

// The bare side of the line, raw and non-blocking: a reply is read whole, as
// much as has arrived with each read, against one deadline.
class BarePort {
public:
    explicit BarePort(const std::string& path) : raw_(path), fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (fd_ < 0) {
            std::fprintf(stderr, "read_bench: cannot open %s\n", path.c_str());
            std::exit(1);
        }
        // Held as the driver holds its port: on a shared machine another
        // program's stale path may name this pseudo-terminal and read from it.
        flock(fd_, LOCK_EX | LOCK_NB);
        ioctl(fd_, TIOCEXCL);
    }
    ~BarePort() { close(fd_); }

    void Send(const std::string& frame) {
        std::size_t at = 0;
        while (at < frame.size()) {
            const ssize_t n = write(fd_, frame.data() + at, frame.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN) return;
            else WaitFor(POLLOUT, 1000);
        }
    }

    // The reply's length up to and including its CR, or 0 when the deadline passed first.
    std::size_t ReadReply(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        std::size_t length = 0;
        while (length < sizeof reply_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0 || !WaitFor(POLLIN, static_cast<int>(left.count()) + 1)) {
                std::fprintf(stderr, "read_bench: bare reply incomplete at its deadline: \"%.*s\"\n",
                             static_cast<int>(length), reply_);
                return 0;
            }
            const ssize_t n = read(fd_, reply_ + length, sizeof reply_ - length);
            if (n <= 0) continue;
            const bool ended = std::memchr(reply_ + length, '\r', static_cast<std::size_t>(n)) != nullptr;
            length += static_cast<std::size_t>(n);
            if (ended) return length;
        }
        return 0;
    }

private:
    bool WaitFor(short events, int timeoutMs) {
        pollfd p{fd_, events, 0};
        int r = 0;
        while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        return r > 0;
    }

    qsn::test::RawPort raw_;  // sets the line raw, and holds it so while open
    int fd_;
    char reply_[256] = {};
};

std::vector<Figures> MeasureBare(unsigned baud, const Options& options) {
    const auto sim = StartSimulator(baud);
    const int reads = options.reads;
    std::vector<Figures> figures;
    BarePort port(sim->SlavePath());
    for (std::size_t r = 0; r < std::size(kRuns); ++r) {
        const Run& run = kRuns[r];
        if (!options.runs[r]) {
            figures.push_back({});
            continue;
        }
        const std::string frame = qsn::test::CommandFrame(2, 'L', run.mask);
        int failed = 0;
        const Usage before = Usage::Now();
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) {
            port.Send(frame);
            failed += port.ReadReply(std::chrono::milliseconds(1000)) == run.replyLength ? 0 : 1;
            PauseToDeadline();
        }
        figures.push_back(Report(baud, std::string("bare ") + run.name, reads, failed, start, before, run));
    }
    return figures;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    bool runsNamed = false;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--count") {
            options.reads = std::atoi(value.c_str());
        } else if (name == "--baud") {
            options.bauds.push_back(static_cast<unsigned>(std::atoi(value.c_str())));
        } else if (name == "--run" && (value == "single" || value == "group")) {
            if (!runsNamed) options.runs[0] = options.runs[1] = false;
            runsNamed = true;
            options.runs[value == "single" ? 0 : 1] = true;
        } else if (name == "--side" && (value == "driver" || value == "bare")) {
            options.driver = value == "driver";
            options.bare = value == "bare";
        } else {
            return false;
        }
    }
    if (options.bauds.empty()) options.bauds = {0, 9600, 38400};
    return options.reads > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: read_bench [--count N] [--baud B]... [--run single|group] [--side driver|bare]\n");
        return 2;
    }
    KaldorSetSink([](int, const char*, void*) {}, nullptr);
    for (unsigned baud : options.bauds) {
        std::printf("read_bench --count %d --baud %u: simulator optomux-sim --unit 2:analog --cleared --baud %u "
                    "(a process of its own); driver at %u baud 8N1, read time-out 1000 ms; reads of 02AI3, "
                    "single (L0008) and group (LFFFF); bare exchange polls and reads the reply whole; "
                    "timer slack %d ns; CPU and switches of this process; load average %.2f on %ld cores\n",
                    options.reads, baud, baud, baud == 0 ? kUnpacedLineBaud : baud,
                    prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), LoadAverage(), sysconf(_SC_NPROCESSORS_ONLN));
        std::fflush(stdout);
        const std::vector<Figures> bare = options.bare ? MeasureBare(baud, options) : std::vector<Figures>{};
        const std::vector<Figures> driver = options.driver ? MeasureDriver(baud, options) : std::vector<Figures>{};
        if (!options.bare || !options.driver) continue;
        for (std::size_t i = 0; i < std::size(kRuns); ++i) {
            if (options.runs[i]) CompareWithTargets(baud, kRuns[i], bare[i], driver[i]);
        }
    }
    return 0;
}
