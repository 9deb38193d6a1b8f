// Reads per second through QsnMain against the simulator on a pseudo-terminal,
// next to the physical limit of the same run: the wire time of frame and reply
// at the simulator's rate (10 bits a character) plus the 4 ms closing pause.
// A bare exchange of the same frames (write, read to the CR a character at a
// time, sleep 4 ms, no driver) shows what the machine's timers and wake-ups
// leave of that limit. Each run also gives the CPU time (user + system) and
// the context switches (voluntary + involuntary) of this process per read;
// the simulator runs as a process of its own, so they are the host's and the
// driver's alone. Each baud rate ends with the driver's figures beside their
// targets: at 38400 a group read in at most 100 us of CPU and 6 context
// switches; unpaced, the driver's CPU a read within 1.3 times the bare
// exchange's; and everywhere the driver's rate against the bare exchange's.
//
//   read_bench [--count N] [--baud B]...   (default: 500 reads, unpaced, 9600 and 38400 baud)
#include <sys/prctl.h>
#include <sys/resource.h>

#include <time.h>

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
    std::printf("\n");
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
        std::printf("  (target <= 100 us CPU: %s; <= 6 switches: %s)", Verdict(driver.cpuUs <= 100),
                    Verdict(driver.switches <= 6));
    }
    std::printf("\n");
}

std::vector<Figures> MeasureDriver(unsigned baud, int reads) {
    Line line(baud);
    std::vector<Figures> figures;
    for (const Run& run : kRuns) {
        line.Read(run.count);  // first use: power-up clear, and the reply's length seen once
        int failed = 0;
        const Usage before = Usage::Now();
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) failed += line.Read(run.count) ? 0 : 1;
        figures.push_back(Report(baud, run.name, reads, failed, start, before, run));
    }
    return figures;
}

// The pause as a careful host loop would keep it: to a deadline, with the least timer slack.
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

std::vector<Figures> MeasureBare(unsigned baud, int reads) {
    const auto sim = StartSimulator(baud);
    std::vector<Figures> figures;
    qsn::test::RawPort port(sim->SlavePath());
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    for (const Run& run : kRuns) {
        const std::string frame = qsn::test::CommandFrame(2, 'L', run.mask);
        int failed = 0;
        const Usage before = Usage::Now();
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) {
            port.Send(frame);
            failed += port.Read(std::chrono::milliseconds(1000)).size() == run.replyLength ? 0 : 1;
            PauseToDeadline();
        }
        figures.push_back(Report(baud, std::string("bare ") + run.name, reads, failed, start, before, run));
    }
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    int reads = 500;
    std::vector<unsigned> bauds;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) reads = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baud") == 0) bauds.push_back(static_cast<unsigned>(std::atoi(argv[i + 1])));
    }
    if (reads <= 0) {
        std::fprintf(stderr, "usage: read_bench [--count N] [--baud B]...\n");
        return 2;
    }
    if (bauds.empty()) bauds = {0, 9600, 38400};
    KaldorSetSink([](int, const char*, void*) {}, nullptr);
    for (unsigned baud : bauds) {
        std::printf("read_bench --count %d --baud %u: simulator optomux-sim --unit 2:analog --cleared --baud %u "
                    "(a process of its own); driver at %u baud 8N1, read time-out 1000 ms; reads of 02AI3, "
                    "single (L0008) and group (LFFFF); CPU and switches of this process\n",
                    reads, baud, baud, baud == 0 ? kUnpacedLineBaud : baud);
        const std::vector<Figures> bare = MeasureBare(baud, reads);
        const std::vector<Figures> driver = MeasureDriver(baud, reads);
        for (std::size_t i = 0; i < std::size(kRuns); ++i) CompareWithTargets(baud, kRuns[i], bare[i], driver[i]);
    }
    return 0;
}
