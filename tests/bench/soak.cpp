// Soak: the driver through QsnMain against simulator programs whose replies
// lose and damage characters (seeded), for a given number of transactions
// spread over several lines at once. Prints the results 0/1/2, the values
// accepted that differ from what the simulated units hold, the longest call,
// and the process's RSS and open descriptors before and after. Each wrong
// value is shown with what was expected, the replies of its call as the
// simulator traced them (with the faults it put in) and the driver's log.
//
//   soak [--count N] [--lines L] [--drop RATE] [--corrupt RATE] [--seeds S,S2,...] [--timeout T]
//   (defaults: 20000 transactions on 32 lines, 5% dropped, 5% corrupted,
//    seed 1, read time-out 10 x 10 ms; line i of a run has seed S + i)
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_calls.h"
#include "kaldor.h"
#include "qsnwndut.h"
#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double LoadAverage() {
    double load[1] = {-1};
    getloadavg(load, 1);
    return load[0];
}

struct Options {
    int count = 20000;
    int lines = 32;
    double drop = 0.05;
    double corrupt = 0.05;
    std::vector<unsigned long> seeds = {1};
    int timeout = 10;
};

constexpr int kPositions = 16;
constexpr int kOutputs = 8;  // positions 0-7 are outputs, 8-15 inputs, on every unit
constexpr std::int16_t kUnset = -12345;

// What the units start with; the inputs never change.
std::int16_t AnalogInput(int position) { return static_cast<std::int16_t>(97 * position + 5); }
std::int16_t Temperature(int position) { return static_cast<std::int16_t>(61 * position - 250); }
constexpr std::uint16_t kDigitalInputsOn = 0xA500;

std::string RackConfig() {
    std::string inputs, outputs, temperatures;
    for (int p = 0; p < kPositions; ++p) {
        const char* comma = p == 0 ? "" : ", ";
        inputs += comma + std::to_string(AnalogInput(p));
        outputs += comma + std::to_string(p < kOutputs ? 1000 + p : 0);
        temperatures += comma + std::to_string(Temperature(p));
    }
    char on[8];
    std::snprintf(on, sizeof on, "%04X", kDigitalInputsOn);
    return std::string("{\"units\": [\n") +
           "  {\"address\": 1, \"kind\": \"digital\", \"outputs\": \"00FF\", \"on\": \"" + on +
           "\", \"cleared\": true},\n"
           "  {\"address\": 2, \"kind\": \"analog\", \"outputs\": \"00FF\", \"inputs\": [" +
           inputs + "], \"outputValues\": [" + outputs + "], \"cleared\": true},\n" +
           "  {\"address\": 3, \"kind\": \"temperature\", \"probes\": \"05\", \"temperatures\": [" +
           temperatures + "], \"cleared\": true}]}\n";
}

// What a host reading the units may find: an output whose write went unanswered
// may hold the old value or the new one.
struct Model {
    std::set<int> analogOut[kOutputs];
    std::set<int> digitalOut[kOutputs];

    Model() {
        for (int p = 0; p < kOutputs; ++p) {
            analogOut[p] = {1000 + p};
            digitalOut[p] = {0};
        }
    }
    static void Wrote(std::set<int>& candidates, int value, bool acknowledged) {
        if (acknowledged) candidates.clear();
        candidates.insert(value);
    }
};

// The driver logs on the calling thread: each line's thread keeps its own call's log.
thread_local std::string tLog;

void CollectLog(int level, const char* line, void*) {
    tLog += "    [" + std::to_string(level) + "] " + line + "\n";
}

// Microseconds since local midnight, as the simulator's trace stamps its lines.
long long MicrosOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const long long micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000000 + micros;
}

// A call that accepted wrong values; its replies are looked up in the trace once the run is over.
struct WrongCall {
    std::string trace;
    std::string what;  // the gas, count and each wrong value
    std::string log;
    long long from = 0, to = 0;  // the call's start and the line's next call's start
};

struct Tally {
    std::atomic<long> results[3] = {};
    std::atomic<long> wrongTransactions{0};
    std::atomic<long> wrongValues{0};
    std::atomic<long> longestUs{0};
    std::atomic<int> next{0};
    std::mutex printMutex;
    std::vector<WrongCall> wrongCalls;
};

enum Kind { kAiPoint, kAiGroup, kAoRead, kAoGroupRead, kAoWrite, kAoGroupWrite, kDiPoint,
            kDoGroupRead, kDoWrite, kTempPoint, kTempGroup, kKinds };

class Line {
public:
    Line(const std::string& config, const std::string& trace, const Options& options, unsigned long seed)
        : random_(seed), trace_(trace),
          sim_({"--config", config, "--seed", std::to_string(seed), "--drop-rate", std::to_string(options.drop),
                "--corrupt-rate", std::to_string(options.corrupt), "--trace", trace}) {
        std::memset(context_.get(), 0, sizeof(DriverContext));
        InitBlock init = qsn::test::InitFor(sim_.SlavePath(), options.timeout);
        if (Call(QSN_START_UP, &init) != 0) {
            std::fprintf(stderr, "soak: cannot start a line on %s\n", sim_.SlavePath().c_str());
            std::exit(1);
        }
    }
    ~Line() { Call(QSN_CLOSE_PORT, nullptr); }

    void Run(Tally& tally, int count) {
        while (tally.next.fetch_add(1) < count) Transaction(tally);
        Closed(tally, MicrosOfDay());
    }

private:
    std::int32_t Call(std::int32_t command, void* params) {
        return qsn::test::CallDriver(context_.get(), command, params);
    }

    int Pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }

    // The previous call's window in the trace ends where this one starts.
    void Closed(Tally& tally, long long at) {
        if (!lastWrong_) return;
        const std::lock_guard<std::mutex> lock(tally.printMutex);
        tally.wrongCalls[*lastWrong_].to = at;
        lastWrong_.reset();
    }

    void Transaction(Tally& tally) {
        const long long startedAt = MicrosOfDay();
        Closed(tally, startedAt);
        tLog.clear();
        const auto kind = static_cast<Kind>(Pick(kKinds));
        const int output = Pick(kOutputs);
        const int input = kOutputs + Pick(kPositions - kOutputs);
        const int any = Pick(kPositions);
        std::fill(std::begin(values_), std::end(values_), kUnset);
        PointBlock block{};
        block.values = values_;
        block.dataKind = 1;
        block.count = 1;
        std::int32_t command = QSN_READ;
        std::string gas = "00XX0";
        auto point = [&](int unit, int type, int position) {
            block.unit = unit;
            block.typeCode = type;
            block.pointAddress = unit * 100 + position + 1;
            static const char kHex[] = "0123456789ABCDEF";
            gas[1] = kHex[unit];
            gas[4] = kHex[position];
        };
        int written = 0;
        switch (kind) {
        case kAiPoint: point(2, 30, input); gas.replace(2, 2, "AI"); break;
        case kAiGroup: point(2, 30, input); gas.replace(2, 2, "AI"); block.count = 16; break;
        case kAoRead: point(2, 40, output); gas.replace(2, 2, "AO"); break;
        case kAoGroupRead: point(2, 40, output); gas.replace(2, 2, "AO"); block.count = 16; break;
        case kAoWrite:
        case kAoGroupWrite:
            point(2, 40, output);
            gas.replace(2, 2, "AO");
            command = QSN_WRITE;
            written = Pick(4096);
            if (kind == kAoGroupWrite) block.count = 16;
            values_[kind == kAoGroupWrite ? 0 : 1] = static_cast<std::int16_t>(written);
            break;
        case kDiPoint:
            point(1, 50, input);
            gas.replace(2, 2, "DI");
            block.dataKind = 6;
            block.pointAddress = 100;
            block.bitNumber = input;
            break;
        case kDoGroupRead:
            point(1, 60, output);
            gas.replace(2, 2, "DO");
            block.dataKind = 6;
            block.pointAddress = 100;
            block.count = 16;
            break;
        case kDoWrite:
            point(1, 60, output);
            gas.replace(2, 2, "DO");
            block.dataKind = 6;
            block.pointAddress = 100;
            command = QSN_WRITE;
            written = Pick(2);
            values_[1] = static_cast<std::int16_t>(written);
            break;
        case kTempPoint: point(3, 210, any); gas.replace(2, 2, "CK"); break;
        case kTempGroup: point(3, 210, any); gas.replace(2, 2, "CK"); block.count = 16; break;
        case kKinds: break;
        }
        block.gas = gas.c_str();

        const auto start = Clock::now();
        const std::int32_t result = Call(command, &block);
        const long us = static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        long longest = tally.longestUs.load();
        while (us > longest && !tally.longestUs.compare_exchange_weak(longest, us)) {
        }
        if (result >= 0 && result <= 2) ++tally.results[result];
        const bool ok = result == QSN_OK;
        if (kind == kAoWrite) Model::Wrote(model_.analogOut[output], written, ok);
        if (kind == kAoGroupWrite) {
            for (auto& candidates : model_.analogOut) Model::Wrote(candidates, written, ok);
        }
        if (kind == kDoWrite) Model::Wrote(model_.digitalOut[output], written, ok);
        if (!ok || command == QSN_WRITE) return;
        const std::vector<std::string> wrong = WrongValues(kind, any, input, output);
        if (!wrong.empty()) {
            ++tally.wrongTransactions;
            tally.wrongValues += static_cast<long>(wrong.size());
            std::string what = gas + " count " + std::to_string(block.count) + ":";
            for (const std::string& value : wrong) what += "\n    " + value;
            const std::lock_guard<std::mutex> lock(tally.printMutex);
            lastWrong_ = tally.wrongCalls.size();
            tally.wrongCalls.push_back({trace_, what, tLog, startedAt, startedAt});
        }
    }

    static std::string OneOf(const std::set<int>& candidates) {
        std::string text;
        for (const int value : candidates) text += (text.empty() ? "" : " or ") + std::to_string(value);
        return text;
    }

    // Each value the read stored that no unit holds: where, what was expected, what came.
    std::vector<std::string> WrongValues(Kind kind, int anyPosition, int input, int output) const {
        std::vector<std::string> wrong;
        auto expect = [&](int element, const std::string& expected, bool right, int returned) {
            if (!right) {
                wrong.push_back("element " + std::to_string(element) + ": expected " + expected + ", returned " +
                                std::to_string(returned));
            }
        };
        auto exactly = [&](int element, int expected, int returned) {
            expect(element, std::to_string(expected), returned == expected, returned);
        };
        auto analogOut = [&](int element, int p, int value) {
            if (p >= kOutputs) return exactly(element, 0, value);
            expect(element, OneOf(model_.analogOut[p]), model_.analogOut[p].count(value) == 1, value);
        };
        switch (kind) {
        case kAiPoint: exactly(1, AnalogInput(input), values_[1]); break;
        case kAiGroup:
            for (int p = 0; p < kPositions; ++p) exactly(p, p < kOutputs ? 0 : AnalogInput(p), values_[p]);
            break;
        case kAoRead: analogOut(1, output, values_[1]); break;
        case kAoGroupRead:
            for (int p = 0; p < kPositions; ++p) analogOut(p, p, values_[p]);
            break;
        case kDiPoint: exactly(1, (kDigitalInputsOn >> input) & 1, values_[1]); break;
        case kDoGroupRead: {
            const auto word = static_cast<std::uint16_t>(values_[0]);
            for (int p = 0; p < kPositions; ++p) {
                const int bit = (word >> p) & 1;
                if (p < kOutputs) {
                    expect(0, "bit " + std::to_string(p) + " " + OneOf(model_.digitalOut[p]),
                           model_.digitalOut[p].count(bit) == 1, bit);
                } else {
                    expect(0, "bit " + std::to_string(p) + " " + std::to_string((kDigitalInputsOn >> p) & 1),
                           bit == ((kDigitalInputsOn >> p) & 1), bit);
                }
            }
            break;
        }
        case kTempPoint: exactly(1, Temperature(anyPosition), values_[1]); break;
        case kTempGroup:
            for (int p = 0; p < kPositions; ++p) exactly(p, Temperature(p), values_[p]);
            break;
        default: break;
        }
        return wrong;
    }

    std::mt19937_64 random_;
    std::string trace_;
    std::optional<std::size_t> lastWrong_;
    qsn::test::SimProcess sim_;
    std::unique_ptr<DriverContext> context_ = std::make_unique<DriverContext>();
    std::int16_t values_[kPositions] = {};
    Model model_;
};

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
        --count;  // the directory being read
    }
    return count;
}

long long StampOf(const std::string& line) {
    int h = 0, m = 0, sec = 0;
    long long micros = 0;
    if (std::sscanf(line.c_str(), "%d:%d:%d.%lld", &h, &m, &sec, &micros) != 4) return -1;
    return ((h * 60LL + m) * 60 + sec) * 1000000 + micros;
}

// The replies the simulator sent within the call's window; the last is the one accepted.
std::string RepliesOf(const WrongCall& call) {
    std::ifstream trace(call.trace);
    std::string line, replies;
    while (std::getline(trace, line)) {
        const long long at = StampOf(line);
        if (at >= call.from && at < call.to && line.find(" TX ") != std::string::npos) {
            replies += "    " + line + "\n";
        }
    }
    return replies;
}

std::vector<unsigned long> ParseSeeds(const std::string& list) {
    std::vector<unsigned long> seeds;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) seeds.push_back(std::strtoul(item.c_str(), nullptr, 10));
    return seeds;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--count") options.count = std::atoi(value);
        else if (name == "--lines") options.lines = std::atoi(value);
        else if (name == "--drop") options.drop = std::atof(value);
        else if (name == "--corrupt") options.corrupt = std::atof(value);
        else if (name == "--seed" || name == "--seeds") options.seeds = ParseSeeds(value);
        else if (name == "--timeout") options.timeout = std::atoi(value);
        else return false;
    }
    return argc % 2 == 1 && options.count > 0 && options.lines > 0 && options.timeout > 0 && !options.seeds.empty();
}

struct Totals {
    long results0 = 0, wrongValues = 0, wrongTransactions = 0;
};

void RunSeed(const Options& options, unsigned long seed, Totals& totals) {
    char folder[] = "/tmp/soak.XXXXXX";
    if (mkdtemp(folder) == nullptr) std::exit(1);
    const std::string config = std::string(folder) + "/rack.json";
    std::ofstream(config) << RackConfig();

    std::vector<std::unique_ptr<Line>> lines;
    for (int i = 0; i < options.lines; ++i) {
        const std::string trace = std::string(folder) + "/line" + std::to_string(i) + ".trace";
        lines.push_back(std::make_unique<Line>(config, trace, options, seed + static_cast<unsigned long>(i)));
    }
    const long rssStart = RssKb();
    const int fdStart = OpenDescriptors();
    const double loadStart = LoadAverage();
    Tally tally;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& line : lines) threads.emplace_back([&] { line->Run(tally, options.count); });
    for (std::thread& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssEnd = RssKb();
    const int fdEnd = OpenDescriptors();
    lines.clear();

    for (const WrongCall& call : tally.wrongCalls) {
        std::printf("wrong: %s\n  replies of the call (simulator's trace):\n%s  driver's log:\n%s",
                    call.what.c_str(), RepliesOf(call).c_str(), call.log.c_str());
    }
    for (int i = 0; i < options.lines; ++i) std::remove((std::string(folder) + "/line" + std::to_string(i) + ".trace").c_str());
    std::remove(config.c_str());
    rmdir(folder);

    const long done = tally.results[0] + tally.results[1] + tally.results[2];
    std::printf("soak: %ld transactions on %d lines in %.0f s; %.1f%% of characters dropped, "
                "%.1f%% corrupted, seed %lu, read time-out %d x 10 ms; load average %.2f at the start, "
                "%.2f at the end, on %ld cores\n",
                done, options.lines, seconds, 100 * options.drop, 100 * options.corrupt, seed,
                options.timeout, loadStart, LoadAverage(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("results  0: %ld  1: %ld  2: %ld\n", tally.results[0].load(), tally.results[1].load(),
                tally.results[2].load());
    std::printf("wrong values accepted: %ld values in %ld transactions (%.3f%% of results 0)\n",
                tally.wrongValues.load(), tally.wrongTransactions.load(),
                tally.results[0] ? 100.0 * static_cast<double>(tally.wrongTransactions) /
                                       static_cast<double>(tally.results[0])
                                 : 0.0);
    std::printf("longest call: %.3f s\n", static_cast<double>(tally.longestUs) / 1e6);
    std::printf("RSS: %ld kB at start, %ld kB at end; open descriptors: %d at start, %d at end\n\n", rssStart,
                rssEnd, fdStart, fdEnd);
    totals.results0 += tally.results[0];
    totals.wrongValues += tally.wrongValues;
    totals.wrongTransactions += tally.wrongTransactions;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: soak [--count N] [--lines L] [--drop RATE] [--corrupt RATE]"
                             " [--seeds S,S2,...] [--timeout T]\n");
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL);
    KaldorSetSink(CollectLog, nullptr);
    Totals totals;
    for (const unsigned long seed : options.seeds) RunSeed(options, seed, totals);
    if (options.seeds.size() > 1) {
        std::printf("all %zu seeds: %ld wrong values in %ld of %ld results 0\n", options.seeds.size(),
                    totals.wrongValues, totals.wrongTransactions, totals.results0);
    }
    return 0;
}
