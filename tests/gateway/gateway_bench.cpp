// The gateway under load: 32 clients read from its cache while its poller
// keeps the line busy with 8 (or --units) analog units at a given baud rate.
//  - latency of each client's read (request sent to answer received): p50, p99,
//    max, and reads per second (--period-ms 0: each client sends its next read
//    as its answer arrives);
//  - the poll cycle, from the units' transaction counters in the health
//    registers, next to the line's wire limit: per unit one group read, an
//    11-character frame and a 68-character reply at 10 bits a character, plus
//    the driver's closing pause of 4 ms.
//
//  - the gateway's CPU time and context switches (all its threads) per line
//    transaction; --clients 0 leaves the line's own cost alone;
//  - with --page-rate N, the status page's five endpoints fetched N times a
//    second in all on a kept-open connection while the clients read;
//  - with --server minimal, the same clients against a minimal libmodbus
//    select() server with a static mapping instead, for a yardstick; with
//    --line-beside, a gateway polls the same line at the first --baud beside
//    it (no client of its own), so that both runs share the machine with a line's work.
//
//   gateway_bench [--clients 32] [--seconds 10] [--period-ms 10] [--units 8] [--server gateway|minimal]
//                 [--baud 9600] [--baud 38400] [--page-rate 0] [--line-beside]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "gateway_client.h"
#include "sim_fixture.h"

namespace {

using namespace gateway_test;
using Clock = std::chrono::steady_clock;

constexpr double kFrameCharacters = 11;
constexpr double kReplyCharacters = 1 + 64 + 3;
constexpr double kClosingPauseS = 0.004;

// The machine is shared: every figure goes out beside the load it was taken under.
std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return "load average " + one + " " + five + " " + fifteen;
}

// CPU seconds and context switches of a process, every thread's added up.
struct Cost {
    double cpuSeconds = 0;
    long switches = 0;
};

// CPU time from each thread's schedstat (nanoseconds on a core): /proc's
// utime and stime come in 10 ms ticks, too coarse for the 50 ms a quiet
// line uses in 10 s.
Cost CostOf(pid_t pid) {
    Cost cost;
    long nanoseconds = 0;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ignored)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long onCpu = 0;
        if (schedstat >> onCpu) nanoseconds += onCpu;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) cost.switches += std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    cost.cpuSeconds = static_cast<double>(nanoseconds) / 1e9;
    return cost;
}

struct Settings {
    int clients = 32;
    double seconds = 10;
    int periodMs = 10;
    int units = 8;
    bool minimal = false;
    bool lineBeside = false;
    int pageRate = 0;
    std::vector<unsigned> bauds;
};

Settings Parse(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--line-beside") {
            settings.lineBeside = true;
            --i;
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (name == "--clients")
            settings.clients = std::atoi(value);
        else if (name == "--seconds")
            settings.seconds = std::atof(value);
        else if (name == "--period-ms")
            settings.periodMs = std::atoi(value);
        else if (name == "--page-rate")
            settings.pageRate = std::atoi(value);
        else if (name == "--units")
            settings.units = std::atoi(value);
        else if (name == "--server" && (std::string(value) == "gateway" || std::string(value) == "minimal"))
            settings.minimal = std::string(value) == "minimal";
        else if (name == "--baud")
            settings.bauds.push_back(static_cast<unsigned>(std::atoi(value)));
        else {
            std::fprintf(stderr, "gateway_bench: unknown option %s\n", name.c_str());
            std::exit(2);
        }
    }
    if (settings.bauds.empty()) settings.bauds = {9600, 38400};
    if (settings.clients < 0 || settings.units < 1 || settings.units > 255) {
        std::fprintf(stderr, "gateway_bench: --units is from 1 to 255, --clients 0 or more\n");
        std::exit(2);
    }
    return settings;
}

// The sum of the units' transaction counters (health registers 1000-1001).
long Transactions(int port, int units) {
    long total = 0;
    for (int unit = 1; unit <= units; ++unit) {
        const Bytes pdu = Exchange(port, static_cast<std::uint8_t>(unit), {4, 0x03, 0xE8, 0, 2});
        if (pdu.size() != 6) return -1;
        total += static_cast<long>(pdu[2]) << 24 | static_cast<long>(pdu[3]) << 16 | pdu[4] << 8 | pdu[5];
    }
    return total;
}

// The gateway serves before its first poll; the clients start once every unit has been read.
void AwaitFirstPoll(int port, int units) {
    for (int unit = 1; unit <= units; ++unit) {
        while (ReadInput(port, static_cast<std::uint8_t>(unit), 1000 + 6) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

// The moment the counters next move, with their new sum.
std::pair<Clock::time_point, long> NextTransaction(int port, int units) {
    const long before = Transactions(port, units);
    for (;;) {
        const long now = Transactions(port, units);
        if (now != before) return {Clock::now(), now};
    }
}

struct ClientResults {
    std::vector<double> latenciesMs;
    long exceptions = 0;
    long failures = 0;
};

void Client(int port, int index, int units, int periodMs, const std::atomic<bool>& stop, ClientResults& results) {
    Socket socket(port);
    const auto unit = static_cast<std::uint8_t>(index % units + 1);
    std::uint16_t transaction = 0;
    Clock::time_point next = Clock::now();
    while (!stop) {
        const Bytes request = Adu(unit, {4, 0, 0, 0, 16}, ++transaction);
        const Clock::time_point sent = Clock::now();
        const std::optional<Bytes> reply =
            socket.Send(request) ? socket.Receive(std::chrono::seconds(5), 9) : std::nullopt;
        const Clock::time_point answered = Clock::now();
        if (!reply || reply->size() < 9) {
            ++results.failures;
        } else {
            if ((*reply)[7] & 0x80) ++results.exceptions;
            if (reply->size() < 9 + 32) socket.Receive(std::chrono::seconds(5), 9 + 32 - reply->size());
            results.latenciesMs.push_back(std::chrono::duration<double, std::milli>(answered - sent).count());
        }
        next += std::chrono::milliseconds(periodMs);
        std::this_thread::sleep_until(next);
    }
}

double Percentile(std::vector<double>& values, double share) {
    if (values.empty()) return 0;
    const auto place = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(place), values.end());
    return values[place];
}

// Runs the clients against `port` for the settings' time; `between` is called
// once they all run and returns after it.
ClientResults Load(int port, const Settings& settings, const std::function<void()>& during) {
    std::atomic<bool> stop{false};
    std::vector<ClientResults> results(static_cast<std::size_t>(settings.clients));
    std::vector<std::thread> clients;
    for (int i = 0; i < settings.clients; ++i) {
        clients.emplace_back(Client, port, i, settings.units, settings.periodMs, std::cref(stop),
                             std::ref(results[static_cast<std::size_t>(i)]));
    }
    during();
    stop = true;
    for (std::thread& client : clients) client.join();
    ClientResults all;
    for (ClientResults& r : results) {
        all.latenciesMs.insert(all.latenciesMs.end(), r.latenciesMs.begin(), r.latenciesMs.end());
        all.exceptions += r.exceptions;
        all.failures += r.failures;
    }
    return all;
}

void PrintLatency(const char* server, unsigned baud, const Settings& settings, ClientResults& all, double seconds) {
    const std::size_t reads = all.latenciesMs.size();
    const double maxMs = reads == 0 ? 0 : *std::max_element(all.latenciesMs.begin(), all.latenciesMs.end());
    const double p50 = Percentile(all.latenciesMs, 0.50);
    const double p99 = Percentile(all.latenciesMs, 0.99);
    std::printf("%s  %6u baud  %d units  %d clients  %zu reads (%ld exceptions, %ld failed)  %.0f reads/s  "
                "latency p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%s)\n",
                server, baud, settings.units, settings.clients, reads, all.exceptions, all.failures,
                static_cast<double>(reads) / seconds, p50, p99, maxMs, LoadAverage().c_str());
}

// One GET on a kept-open connection, its answer read whole by its Content-Length; false when it failed.
bool Fetch(int fd, const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    std::string answer;
    char buffer[8192];
    for (;;) {
        const std::size_t end = answer.find("\r\n\r\n");
        const std::size_t length = answer.find("Content-Length: ");
        if (end != std::string::npos && length != std::string::npos &&
            answer.size() >= end + 4 + std::strtoul(answer.c_str() + length + 16, nullptr, 10)) {
            return answer.compare(0, 12, "HTTP/1.1 200") == 0;
        }
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) return false;
        answer.append(buffer, static_cast<std::size_t>(count));
    }
}

// The page's five endpoints in turn, `rate` fetches a second, until `stop`; the count of failures.
long PollPage(int port, int rate, const std::atomic<bool>& stop) {
    // As nice as the gateway's page thread: the figure is the gateway's page, not
    // this bench's own client taking a core from its Modbus clients on a small machine.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
    static const char* const kPaths[] = {"/", "/api/points", "/api/units", "/api/line", "/metrics"};
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long failures = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : 1;
    Clock::time_point next = Clock::now();
    for (std::size_t i = 0; !stop && failures == 0; ++i) {
        if (!Fetch(fd, kPaths[i % 5])) ++failures;
        next += std::chrono::microseconds(1000000 / rate);
        std::this_thread::sleep_until(next);
    }
    close(fd);
    return failures;
}

// A gateway polling `units` analog units at `baud`, with no client: the line's work alone.
struct LineAtWork {
    LineAtWork(unsigned baud, int units, const std::vector<std::string>& extra = {})
        : sim(SimArgs(baud, units)),
          gateway(GatewayArgs(sim.SlavePath(), baud, units, extra)) {}

    static std::vector<std::string> SimArgs(unsigned baud, int units) {
        std::vector<std::string> args{"--cleared", "--baud", std::to_string(baud)};
        for (int unit = 1; unit <= units; ++unit) args.insert(args.end(), {"--unit", std::to_string(unit) + ":analog"});
        return args;
    }
    static std::string Points(int units) {
        std::string points;
        for (int unit = 1; unit <= units; ++unit) {
            char gas[16];
            std::snprintf(gas, sizeof gas, "%02XAI*", unit);
            points += (points.empty() ? "" : ",") + std::string(gas);
        }
        return points;
    }
    static std::vector<std::string> GatewayArgs(const std::string& link, unsigned baud, int units,
                                                const std::vector<std::string>& extra) {
        // The driver runs at the line's rate: set slower, it would pace its reads wrongly.
        std::vector<std::string> args{"gateway", link, "-b", std::to_string(baud), "--listen", "127.0.0.1:0",
                                      "--points", Points(units), "--interval", "0", "--max-age", "60000"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    qsn::test::SimProcess sim;
    Gateway gateway;
};

void MeasureMinimal(const Settings& settings) {
    std::unique_ptr<LineAtWork> line;
    if (settings.lineBeside) line = std::make_unique<LineAtWork>(settings.bauds.front(), settings.units);
    Gateway server({MINIMAL_SERVER}, std::chrono::seconds(5));
    if (line) {
        std::printf("gateway_bench: beside it, plexer gateway polls %d analog units at %u baud, no client\n",
                    settings.units, settings.bauds.front());
    }
    std::printf("gateway_bench: minimal_modbus_server (libmodbus select(), a static mapping); %d clients, each "
                "reading 16 input registers of one of %d unit ids every %d ms, for %.0f s; %s\n",
                settings.clients, settings.units, settings.periodMs, settings.seconds, LoadAverage().c_str());
    const Clock::time_point start = Clock::now();
    ClientResults all = Load(server.Port(), settings, [&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(settings.seconds));
    });
    PrintLatency("minimal", 0, settings, all, std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
    server.Stop(SIGTERM);
}

void Measure(unsigned baud, const Settings& settings) {
    const int units = settings.units;
    const std::vector<std::string> page =
        settings.pageRate > 0 ? std::vector<std::string>{"--http", "127.0.0.1:0"} : std::vector<std::string>{};
    LineAtWork line(baud, units, page);
    Gateway& gateway = line.gateway;
    std::printf("gateway_bench: optomux-sim --cleared --baud %u with %d analog units; plexer gateway -b %u "
                "--interval 0 --max-age 60000 --points %s; %d clients, each reading one unit's 16 input registers "
                "every %d ms, for %.0f s; the page fetched %d times a second; %s\n",
                baud, units, baud, LineAtWork::Points(units).c_str(), settings.clients, settings.periodMs,
                settings.seconds, settings.pageRate, LoadAverage().c_str());
    const int port = gateway.Port();
    AwaitFirstPoll(port, units);

    Clock::time_point start, end;
    long first = 0, last = 0, counted = 0;
    Cost before, after;
    std::atomic<bool> stopPage{false};
    long pageFailures = 0;
    std::thread pagePoller;
    if (settings.pageRate > 0) {
        std::smatch found;
        const std::string printed = gateway.Printed();
        if (!std::regex_search(printed, found, std::regex(R"(status page on http://[^ ]*:(\d+)/)"))) {
            std::fprintf(stderr, "gateway_bench: the gateway named no status page\n");
            std::exit(1);
        }
        pagePoller = std::thread([&, port = std::stoi(found[1])] { pageFailures = PollPage(port, settings.pageRate, stopPage); });
    }
    ClientResults all = Load(port, settings, [&] {
        std::tie(start, first) = NextTransaction(port, units);
        before = CostOf(gateway.Pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(settings.seconds));
        // Taken before the wait for the counters to move, which asks the gateway without a pause.
        after = CostOf(gateway.Pid());
        counted = Transactions(port, units);
        std::tie(end, last) = NextTransaction(port, units);
    });
    stopPage = true;
    if (pagePoller.joinable()) pagePoller.join();
    if (pageFailures > 0) std::printf("gateway  the page failed %ld times\n", pageFailures);
    const double seconds = std::chrono::duration<double>(end - start).count();
    PrintLatency(settings.pageRate > 0 ? "gw+page" : "gateway", baud, settings, all, seconds);

    const double cycle = seconds * units / static_cast<double>(last - first);
    const double limit = units * ((kFrameCharacters + kReplyCharacters) * 10.0 / baud + kClosingPauseS);
    std::printf("gateway  %6u baud  poll cycle of %d units  %.1f ms  (%ld reads in %.2f s)  wire limit %.1f ms  %.2f%%"
                "  (target >= 98%%: %s)\n",
                baud, units, cycle * 1000, last - first, seconds, limit * 1000, 100.0 * limit / cycle,
                limit / cycle >= 0.98 ? "met" : "NOT met");
    const double transactions = static_cast<double>(std::max(counted - first, 1L));
    std::printf("gateway  %6u baud  %d units  %d clients  per line transaction: %.0f us CPU, %.1f context switches"
                "  (%s)\n",
                baud, units, settings.clients, (after.cpuSeconds - before.cpuSeconds) * 1e6 / transactions,
                static_cast<double>(after.switches - before.switches) / transactions, LoadAverage().c_str());
    std::fflush(stdout);
    gateway.Stop(SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = Parse(argc, argv);
    if (settings.minimal) return MeasureMinimal(settings), 0;
    for (const unsigned baud : settings.bauds) Measure(baud, settings);
}
