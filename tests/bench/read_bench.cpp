// Reads per second through QsnMain against the simulator on a pseudo-terminal,
// next to the physical limit of the same run: the wire time of frame and reply
// at the simulator's rate (10 bits a character) plus the 4 ms closing pause.
// A bare exchange of the same frames (write, read to the CR, sleep 4 ms, no
// driver) shows what the machine's timers and wake-ups leave of that limit.
//
//   read_bench [--count N] [--baud B]...   (default: 500 reads, unpaced and 9600 baud)
#include <sys/prctl.h>

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

qsn::sim::SimOptions Rack(unsigned baud) {
    qsn::sim::SimOptions options;
    options.line.baud = baud;
    qsn::sim::UnitOptions unit;
    unit.address = 2;
    unit.kind = qsn::sim::UnitKind::kAnalog;
    unit.inputs.fill(2048);
    unit.cleared = true;
    options.units = {unit};
    return options;
}

class Line {
public:
    explicit Line(unsigned baud) {
        sim_ = std::make_unique<qsn::test::SimThread>(Rack(baud));
        std::memset(context_.get(), 0, sizeof(DriverContext));
        InitBlock init = qsn::test::InitFor(sim_->SlavePath(), 100);
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

    std::unique_ptr<qsn::test::SimThread> sim_;
    std::unique_ptr<DriverContext> context_ = std::make_unique<DriverContext>();
    int16_t values_[16] = {};
};

double LimitPerSecond(const Run& run, unsigned baud) {
    const double wire = baud == 0 ? 0.0
                                  : static_cast<double>(run.frameLength + run.replyLength) *
                                        kBitsPerCharacter / baud;
    return 1.0 / (wire + kClosingPauseS);
}

void Report(unsigned baud, const std::string& name, int reads, int failed, Clock::time_point start,
            const Run& run) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = reads / seconds;
    const double limit = LimitPerSecond(run, baud);
    std::printf("%-8s %-19s %6d reads %4d failed %9.1f/s  limit %9.1f/s  %6.2f%%\n",
                baud == 0 ? "unpaced" : std::to_string(baud).c_str(), name.c_str(), reads, failed,
                rate, limit, 100.0 * rate / limit);
}

void MeasureDriver(unsigned baud, int reads) {
    Line line(baud);
    for (const Run& run : kRuns) {
        line.Read(run.count);  // first use: power-up clear
        int failed = 0;
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) failed += line.Read(run.count) ? 0 : 1;
        Report(baud, run.name, reads, failed, start, run);
    }
}

void MeasureBare(unsigned baud, int reads) {
    qsn::test::SimThread sim(Rack(baud));
    qsn::test::RawPort port(sim.SlavePath());
    for (const Run& run : kRuns) {
        const std::string frame = qsn::test::CommandFrame(2, 'L', run.mask);
        int failed = 0;
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i) {
            port.Send(frame);
            failed += port.Read(std::chrono::milliseconds(1000)).size() == run.replyLength ? 0 : 1;
            const timespec pause{0, static_cast<long>(kClosingPauseS * 1e9)};
            nanosleep(&pause, nullptr);
        }
        Report(baud, std::string("bare ") + run.name, reads, failed, start, run);
    }
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
    if (bauds.empty()) bauds = {0, 9600};
    // The host's process, not the driver, chooses how closely sleeps are kept.
    prctl(PR_SET_TIMERSLACK, 1UL);
    KaldorSetSink([](int, const char*, void*) {}, nullptr);
    for (unsigned baud : bauds) {
        MeasureBare(baud, reads);
        MeasureDriver(baud, reads);
    }
    return 0;
}
