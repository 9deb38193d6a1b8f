// The gateway left running as a plant would: clients reading and writing, a
// unit that never answers, and the serial device going away and coming back
// (the simulator killed and started again on the same link). It reports:
//  - each recovery: how long after the restart the new simulator's values were served;
//  - every acknowledged write looked for in the simulator's own trace of its line;
//  - every value served checked against what the simulator held within the
//    maximum age: each run of the simulator has input values of its own;
//  - write answer times, and the poll cycle of the healthy units with and
//    without the dead unit configured.
//
//   gateway_soak [--seconds 600] [--restart-every 60] [--readers 8] [--writers 2]
//                [--baseline-seconds 30] [--interval-ms 1000] [--max-age-ms 10000] [--baud 9600]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gateway_client.h"
#include "sim_fixture.h"

namespace {

using namespace gateway_test;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Unit 01: inputs 0-7, outputs 8-15 (the writers'); unit 03: inputs 0-15; unit 0D is configured and absent.
constexpr int kMixedUnit = 1;
constexpr int kInputUnit = 3;
constexpr int kDeadUnit = 0x0D;
constexpr int kMixedInputs = 8;

struct Settings {
    double seconds = 600;
    double restartEveryS = 60;
    int readers = 8;
    int writers = 2;
    double baselineS = 30;
    int intervalMs = 1000;
    int maxAgeMs = 10000;
    unsigned baud = 9600;
};

struct Option {
    const char* name;
    const char* help;
    double Settings::*number = nullptr;  // or one of the whole ones
    int Settings::*whole = nullptr;
    unsigned Settings::*rate = nullptr;
};

const Option kOptions[] = {
    {"--seconds", "length of the soak (600)", &Settings::seconds},
    {"--restart-every", "seconds between kills of the simulator (60)", &Settings::restartEveryS},
    {"--readers", "clients reading single input registers (8)", nullptr, &Settings::readers},
    {"--writers", "clients writing analog outputs (2)", nullptr, &Settings::writers},
    {"--baseline-seconds", "the first run without the dead unit (30)", &Settings::baselineS},
    {"--interval-ms", "the gateway's poll interval (1000)", nullptr, &Settings::intervalMs},
    {"--max-age-ms", "the gateway's maximum age (10000)", nullptr, &Settings::maxAgeMs},
    {"--baud", "the line's rate (9600)", nullptr, nullptr, &Settings::baud},
};

[[noreturn]] void Usage(int status) {
    std::FILE* out = status == 0 ? stdout : stderr;
    std::fprintf(out, "gateway_soak [OPTION VALUE]...: the gateway left running with restarts of its line\n");
    for (const Option& option : kOptions) std::fprintf(out, "  %-20s %s\n", option.name, option.help);
    std::exit(status);
}

Settings Parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") Usage(0);
        const auto option = std::ranges::find_if(kOptions, [&](const Option& o) { return name == o.name; });
        char* end = nullptr;
        const double value = i + 1 < argc ? std::strtod(argv[i + 1], &end) : 0;
        if (option == std::end(kOptions) || end == nullptr || *end != '\0' || value < 0) {
            std::fprintf(stderr, "gateway_soak: %s: %s\n", name.c_str(),
                         option == std::end(kOptions) ? "unknown option" : "needs a number of 0 or more");
            Usage(2);
        }
        if (option->number) s.*option->number = value;
        if (option->whole) s.*option->whole = static_cast<int>(value);
        if (option->rate) s.*option->rate = static_cast<unsigned>(value);
    }
    return s;
}

// The input each run (generation) of the simulator holds: unique to the run, the unit and the position.
int InputValue(int generation, int unit, int position) {
    return (unit == kMixedUnit ? 1000 : 2000) + generation * 16 + position;
}

std::string Hex4(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

std::string Hex3(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%03X", value & 0xFFFu);
    return text;
}

// One run of the simulator: its inputs, its trace, its lifetime.
struct Generation {
    int number = 0;
    std::string trace;
    Clock::time_point started;
    Clock::time_point ended = Clock::time_point::max();
};

class Line {
public:
    Line(const Settings& settings, const std::filesystem::path& folder)
        : settings_(settings), folder_(folder), link_((folder / "line").string()) {}

    const std::string& Link() const { return link_; }

    void Start() {
        Generation generation;
        generation.number = static_cast<int>(generations_.size()) + 1;
        generation.trace = (folder_ / ("sim-" + std::to_string(generation.number) + ".trace")).string();
        const std::string config = WriteConfig(generation.number);
        process_ = std::make_unique<qsn::test::SimProcess>(std::vector<std::string>{
            "--config", config, "--baud", std::to_string(settings_.baud), "--link", link_, "--trace",
            generation.trace});
        generation.started = Clock::now();
        std::lock_guard lock(mutex_);
        generations_.push_back(generation);
    }

    void Kill() {
        process_->Stop(SIGKILL);
        process_.reset();
        std::lock_guard lock(mutex_);
        generations_.back().ended = Clock::now();
    }

    std::vector<Generation> Generations() const {
        std::lock_guard lock(mutex_);
        return generations_;
    }

private:
    std::string WriteConfig(int generation) const {
        std::string mixed;
        std::string inputs;
        for (int p = 0; p < 16; ++p) {
            mixed += (p ? "," : "") + std::to_string(p < kMixedInputs ? InputValue(generation, kMixedUnit, p) : 0);
            inputs += (p ? "," : "") + std::to_string(InputValue(generation, kInputUnit, p));
        }
        const std::string path = (folder_ / ("rack-" + std::to_string(generation) + ".json")).string();
        std::ofstream(path) << R"({"units": [)"
                            << R"({"address": 1, "kind": "analog", "cleared": true, "outputs": "FF00", "inputs": [)"
                            << mixed << "]},"
                            << R"({"address": 3, "kind": "analog", "cleared": true, "inputs": [)" << inputs
                            << "]}]}";
        return path;
    }

    const Settings& settings_;
    std::filesystem::path folder_;
    std::string link_;
    std::unique_ptr<qsn::test::SimProcess> process_;
    mutable std::mutex mutex_;
    std::vector<Generation> generations_;
};

// A connection that comes back when the gateway closed it.
class Client {
public:
    explicit Client(int port) : port_(port) {}

    // The reply's PDU, empty when none came.
    Bytes Ask(std::uint8_t unit, const Bytes& pdu) {
        if (!socket_) socket_ = std::make_unique<Socket>(port_);
        const Bytes request = Adu(unit, pdu, ++transaction_);
        std::optional<Bytes> reply = socket_->Send(request) ? socket_->Receive(5s, 9) : std::nullopt;
        if (!reply || reply->size() < 9) {
            socket_.reset();
            return {};
        }
        const std::size_t whole = 6 + (static_cast<std::size_t>((*reply)[4]) << 8 | (*reply)[5]);
        if (reply->size() < whole) {
            const std::optional<Bytes> rest = socket_->Receive(5s, whole - reply->size());
            if (rest) reply->insert(reply->end(), rest->begin(), rest->end());
        }
        return Bytes(reply->begin() + 7, reply->end());
    }

private:
    int port_;
    std::unique_ptr<Socket> socket_;
    std::uint16_t transaction_ = 0;
};

struct Served {
    int unit;
    int position;
    int value;
    Clock::time_point asked;
    Clock::time_point answered;
};

struct Write {
    int position;
    int value;
    double answerMs;
};

struct Results {
    std::mutex mutex;
    std::vector<Served> served;
    long readExceptions = 0;
    long readsUnanswered = 0;
    long deadUnitValues = 0;  // values served for the unit that never answers
    std::vector<Write> acknowledged;
    std::vector<Write> failed;  // answered with an exception, or not at all
    std::vector<double> writeAnswerMs;
    long writeExceptions = 0;
    long writesUnanswered = 0;
};

void Reader(int port, int index, const std::atomic<bool>& stop, Results& results) {
    Client client(port);
    std::mt19937 random(static_cast<unsigned>(index));
    while (!stop) {
        const int pick = static_cast<int>(random() % 25);
        const int unit = pick < kMixedInputs ? kMixedUnit : (pick < 24 ? kInputUnit : kDeadUnit);
        const int position = pick < kMixedInputs ? pick : (pick < 24 ? pick - kMixedInputs : 0);
        const Clock::time_point asked = Clock::now();
        const Bytes pdu = client.Ask(static_cast<std::uint8_t>(unit), {4, 0, static_cast<std::uint8_t>(position), 0, 1});
        const Clock::time_point answered = Clock::now();
        std::lock_guard lock(results.mutex);
        if (pdu.empty()) {
            ++results.readsUnanswered;
        } else if (pdu[0] & 0x80) {
            ++results.readExceptions;
        } else if (pdu.size() >= 4 && unit == kDeadUnit) {
            ++results.deadUnitValues;
        } else if (pdu.size() >= 4) {
            results.served.push_back({unit, position, pdu[2] << 8 | pdu[3], asked, answered});
        }
        std::this_thread::sleep_for(20ms);
    }
}

// Writer w owns outputs 8 + 4w .. 11 + 4w of unit 01, so that each write's value is its own.
void Writer(int port, int index, const std::atomic<bool>& stop, Results& results) {
    Client client(port);
    int value = 1 + index * 2000;
    int turn = 0;
    while (!stop) {
        const int position = kMixedInputs + (4 * index + turn++ % 4) % kMixedInputs;
        value = value % 4095 + 1;
        const Clock::time_point asked = Clock::now();
        const Bytes pdu = client.Ask(kMixedUnit, {6, 0, static_cast<std::uint8_t>(position),
                                                  static_cast<std::uint8_t>(value >> 8),
                                                  static_cast<std::uint8_t>(value & 0xFF)});
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        {
            std::lock_guard lock(results.mutex);
            if (pdu.empty()) {
                ++results.writesUnanswered;
                results.failed.push_back({position, value, ms});
            } else {
                results.writeAnswerMs.push_back(ms);
                if (pdu[0] & 0x80) {
                    ++results.writeExceptions;
                    results.failed.push_back({position, value, ms});
                } else {
                    results.acknowledged.push_back({position, value, ms});
                }
            }
        }
        std::this_thread::sleep_for(200ms);
    }
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    const auto place = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(place), values.end());
    return values[place];
}

// Unit 03's good polls so far (transactions less failures, health registers 1000-1003).
long GoodPolls(int port) {
    const Bytes pdu = Exchange(port, kInputUnit, {4, 0x03, 0xE8, 0, 4});
    if (pdu.size() != 10) return -1;
    const auto word = [&](std::size_t at) { return static_cast<long>(pdu[at]) << 24 | static_cast<long>(pdu[at + 1]) << 16 | pdu[at + 2] << 8 | pdu[at + 3]; };
    return word(2) - word(6);
}

// Time and good polls over the windows in which the line was up.
struct Cycle {
    double seconds = 0;
    long polls = 0;
    void Add(Clock::time_point from, long fromPolls, Clock::time_point to, long toPolls) {
        if (fromPolls < 0 || toPolls < fromPolls) return;
        seconds += Seconds(to - from).count();
        polls += toPolls - fromPolls;
    }
    std::string Text() const {
        if (polls == 0) return "no good polls";
        char text[96];
        std::snprintf(text, sizeof text, "%.1f ms (%ld polls of unit 03 in %.1f s)", 1000 * seconds / static_cast<double>(polls), polls, seconds);
        return text;
    }
};

std::string Points(bool withDead) {
    std::string points;
    for (int p = 0; p < 16; ++p) points += (points.empty() ? "" : ",") + std::string(p < kMixedInputs ? "01AI" : "01AO") + "0123456789ABCDEF"[p];
    points += ",03AI*";
    if (withDead) points += ",0DAI*";
    return points;
}

std::vector<std::string> GatewayArgs(const Settings& s, const std::string& link, bool withDead) {
    return {"gateway", link, "--listen", "127.0.0.1:0", "--points", Points(withDead), "--interval",
            std::to_string(s.intervalMs), "--max-age", std::to_string(s.maxAgeMs)};
}

// The healthy units' cycle with only them configured, under the same clients, without restarts.
Cycle Baseline(const Settings& s, const std::filesystem::path& folder) {
    Line line(s, folder / "baseline");
    std::filesystem::create_directories(folder / "baseline");
    line.Start();
    Gateway gateway(GatewayArgs(s, line.Link(), false));
    std::atomic<bool> stop{false};
    Results results;
    std::vector<std::thread> clients;
    for (int i = 0; i < s.readers; ++i) clients.emplace_back(Reader, gateway.Port(), i, std::cref(stop), std::ref(results));
    for (int i = 0; i < s.writers; ++i) clients.emplace_back(Writer, gateway.Port(), i, std::cref(stop), std::ref(results));
    Cycle cycle;
    const Clock::time_point from = Clock::now();
    const long fromPolls = GoodPolls(gateway.Port());
    std::this_thread::sleep_for(Seconds(s.baselineS));
    cycle.Add(from, fromPolls, Clock::now(), GoodPolls(gateway.Port()));
    stop = true;
    for (std::thread& client : clients) client.join();
    gateway.Stop(SIGTERM);
    line.Kill();
    return cycle;
}

// Reads of unit 03 until the new run's value is served; the time it took, or none by `until`.
std::optional<double> AwaitRecovery(int port, int generation, Clock::time_point restarted, Clock::time_point until) {
    while (Clock::now() < until) {
        if (ReadInput(port, kInputUnit, 0) == InputValue(generation, kInputUnit, 0)) return Seconds(Clock::now() - restarted).count();
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

// Whether the value was the input of a run alive within the maximum age before it was served.
bool HeldWithinAge(const Served& served, const std::vector<Generation>& generations, std::chrono::milliseconds maxAge) {
    for (const Generation& g : generations) {
        const bool alive = g.started <= served.answered && g.ended >= served.asked - maxAge;
        if (alive && served.value == InputValue(g.number, served.unit, served.position)) return true;
    }
    return false;
}

// An acknowledged write found in a simulator's trace: its frame received, and answered "A".
long WritesInTraces(const std::vector<Write>& writes, const std::vector<Generation>& generations) {
    std::vector<std::string> lines;
    for (const Generation& g : generations) {
        std::ifstream trace(g.trace);
        for (std::string line; std::getline(trace, line);) lines.push_back(line);
    }
    std::vector<std::string> acknowledgedFrames;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].find(" RX \">01S") != std::string::npos && lines[i + 1].find(" TX \"A") != std::string::npos) {
            acknowledgedFrames.push_back(lines[i]);
        }
    }
    long found = 0;
    for (const Write& w : writes) {
        const std::string body = ">01S" + Hex4(1u << w.position) + Hex3(static_cast<unsigned>(w.value));
        const bool seen = std::any_of(acknowledgedFrames.begin(), acknowledgedFrames.end(),
                                      [&](const std::string& line) { return line.find(body) != std::string::npos; });
        if (seen) ++found;
    }
    return found;
}

void Soak(const Settings& s, const std::filesystem::path& folder, const Cycle& baseline) {
    Line line(s, folder);
    line.Start();
    Gateway gateway(GatewayArgs(s, line.Link(), true));
    const int port = gateway.Port();
    std::atomic<bool> stop{false};
    Results results;
    std::vector<std::thread> clients;
    for (int i = 0; i < s.readers; ++i) clients.emplace_back(Reader, port, i, std::cref(stop), std::ref(results));
    for (int i = 0; i < s.writers; ++i) clients.emplace_back(Writer, port, i, std::cref(stop), std::ref(results));

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(Seconds(s.seconds));
    const auto period = std::chrono::duration_cast<Clock::duration>(Seconds(s.restartEveryS));
    Cycle cycle;
    Clock::time_point upSince = start;
    long upPolls = GoodPolls(port);
    int restarts = 0;
    std::vector<std::optional<double>> recoveries;
    for (Clock::time_point next = start + period; next < end; next += period) {
        std::this_thread::sleep_until(next);
        if (upPolls >= 0) cycle.Add(upSince, upPolls, Clock::now(), GoodPolls(port));
        line.Kill();
        line.Start();
        ++restarts;
        const Clock::time_point restarted = Clock::now();
        const std::optional<double> took = AwaitRecovery(port, restarts + 1, restarted, std::min(next + period, end));
        recoveries.push_back(took);
        std::printf("restart %d at %.0f s: %s\n", restarts, Seconds(restarted - start).count(),
                    took ? ("recovered after " + std::to_string(*took) + " s").c_str() : "not recovered");
        std::fflush(stdout);
        upSince = Clock::now();
        upPolls = took ? GoodPolls(port) : -1;
    }
    std::this_thread::sleep_until(end);
    if (upPolls >= 0) cycle.Add(upSince, upPolls, Clock::now(), GoodPolls(port));
    stop = true;
    for (std::thread& client : clients) client.join();
    gateway.Stop(SIGTERM);
    line.Kill();

    const std::vector<Generation> generations = line.Generations();
    long recovered = 0;
    for (const auto& took : recoveries) recovered += took ? 1 : 0;
    long stale = 0;
    for (const Served& served : results.served) {
        if (!HeldWithinAge(served, generations, std::chrono::milliseconds(s.maxAgeMs))) ++stale;
    }
    const long found = WritesInTraces(results.acknowledged, generations);
    std::printf("recoveries: %ld of %d restarts\n", recovered, restarts);
    std::printf("reads: %zu values served, %ld not held by the simulator within %d ms; %ld exceptions, %ld unanswered; "
                "%ld values served for the dead unit\n",
                results.served.size(), stale, s.maxAgeMs, results.readExceptions, results.readsUnanswered,
                results.deadUnitValues);
    // Each writer's values are its own and do not repeat within a soak, so a failed write found is that write.
    const long appliedButFailed = WritesInTraces(results.failed, generations);
    std::printf("writes: %zu acknowledged, %ld of them found in the simulator's trace; %ld exceptions, %ld unanswered; "
                "%ld applied by the unit but reported failed\n",
                results.acknowledged.size(), found, results.writeExceptions, results.writesUnanswered, appliedButFailed);
    std::printf("write answer time: p50 %.1f ms  p95 %.1f ms  max %.1f ms (%zu answered)\n",
                Percentile(results.writeAnswerMs, 0.5), Percentile(results.writeAnswerMs, 0.95),
                results.writeAnswerMs.empty() ? 0.0 : *std::max_element(results.writeAnswerMs.begin(), results.writeAnswerMs.end()),
                results.writeAnswerMs.size());
    std::printf("poll cycle, healthy units: without the dead unit %s; with it %s\n", baseline.Text().c_str(),
                cycle.Text().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const Settings s = Parse(argc, argv);
    std::printf("gateway_soak: %.0f s, simulator killed and restarted every %.0f s, %d readers, %d writers, "
                "interval %d ms, max age %d ms, %u baud, baseline %.0f s; units 01 (8 inputs, 8 outputs written) "
                "and 03 (16 inputs) simulated, 0D configured and absent\n",
                s.seconds, s.restartEveryS, s.readers, s.writers, s.intervalMs, s.maxAgeMs, s.baud, s.baselineS);
    std::fflush(stdout);
    char pattern[] = "/tmp/gateway_soak.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::filesystem::path folder = pattern;
    const Cycle baseline = Baseline(s, folder);
    Soak(s, folder, baseline);
    std::filesystem::remove_all(folder);
}
