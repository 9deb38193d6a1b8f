#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "gateway_command.h"
#include "mqtt_gateway.h"
#include "poller.h"
#include "report.h"
#include "server.h"

namespace plexer {

namespace {

using namespace gateway;

constexpr int kDefaultTimeoutMs = 500;
constexpr int kSignalWaitMs = 20;

// The gates of every GAS, each validated by the driver; the first refusal ends the start.
std::vector<Gate> ValidatedGates(Session& session, const std::vector<std::string>& gases) {
    std::vector<Gate> gates;
    for (const std::string& gas : gases) {
        const Validation validation = session.Driver().Validate(gas);
        if (validation.result != QSN_OK) {
            const std::string why = LogSummary(validation.log);
            throw CommandFailure(kExitUsage, gas + ": " + ResultMeaning(QSN_VALIDATE_GATE, validation.result) +
                                                 (why.empty() ? "" : ": " + why));
        }
        gates.push_back(validation.gate);
    }
    return gates;
}

PointMap MapOf(const std::vector<Gate>& gates, const GatewayConfig& config) {
    try {
        PointMap map(gates, config.defaults, config.perUnit);
        for (const auto& [unit, settings] : config.perUnit) {
            if (map.Unit(unit) == nullptr) {
                char key[8];
                std::snprintf(key, sizeof key, "%02X", static_cast<unsigned>(unit));
                throw std::invalid_argument(std::string("units.") + key + ": no point of this unit is served");
            }
        }
        return map;
    } catch (const std::invalid_argument& e) {
        throw CommandFailure(kExitUsage, e.what());
    }
}

// SIGINT, SIGTERM and SIGUSR1 arrive on a descriptor the server polls. They are
// blocked before the poller's thread starts, which so inherits the mask.
class Signals {
public:
    Signals() {
        sigemptyset(&set_);
        for (int signal : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&set_, signal);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0) throw CommandFailure(kExitNoLine, "signalfd failed");
        // A client gone before its answer must not end the gateway.
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~Signals() {
        close(fd_);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;
    int Fd() const { return fd_; }

private:
    sigset_t set_{};
    sigset_t previous_{};
    int fd_ = -1;
};

// The poller on its own thread, stopped and joined however the gateway ends.
class PollerThread {
public:
    PollerThread(Poller& poller, std::function<void(long)> afterCycle)
        : poller_(poller), thread_([&poller, afterCycle] { poller.Run(afterCycle); }) {}
    ~PollerThread() {
        poller_.Stop();
        thread_.join();
    }
    PollerThread(const PollerThread&) = delete;
    PollerThread& operator=(const PollerThread&) = delete;

private:
    Poller& poller_;
    std::thread thread_;
};

bool EveryPointPolled(const Poller& poller) {
    for (const PointState& point : poller.Points()) {
        if (!point.lastResult) return false;
    }
    return true;
}

// Serving starts once every point has been polled, so that the first answers
// are the line's and not a cold cache's. False if a stop signal came first.
bool AwaitFirstPoll(const Poller& poller, int signalFd) {
    while (!EveryPointPolled(poller)) {
        pollfd p{signalFd, POLLIN, 0};
        if (poll(&p, 1, kSignalWaitMs) > 0) {
            signalfd_siginfo signal{};
            if (read(signalFd, &signal, sizeof signal) == sizeof signal && signal.ssi_signo != SIGUSR1) return false;
        }
    }
    return true;
}

void Serve(Session& session, const GatewayConfig& config, const std::vector<Gate>& gates, const Signals& signals) {
    PollerOptions pollerOptions = config.poller;
    pollerOptions.device = session.Device();
    pollerOptions.note = [&session](const std::string& text) { session.Log().Note(text); };
    Poller poller(session.Driver(), gates, std::move(pollerOptions));
    // The map in the order the poller keeps its points, which the server indexes.
    std::vector<Gate> polled;
    for (const PointState& point : poller.Points()) polled.push_back(point.gate);
    const PointMap map = MapOf(polled, config);
    const Output& out = session.Out();
    const auto health = [&] { PrintHealth(out, poller.Units(), PollClock::now()); };
    auto publisher = mqtt::StartMqtt(config, map, poller);
    {
        PollerThread thread(poller, mqtt::AfterCycle(publisher.get()));
        if (!config.serveModbus) mqtt::AwaitStop(signals.Fd(), health);
        if (config.serveModbus && AwaitFirstPoll(poller, signals.Fd())) {
            ServerOptions options{config.host, config.port, config.maxClients, config.idleTimeout, config.readOnly};
            std::unique_ptr<Server> server;
            try {
                server = std::make_unique<Server>(options, map, poller);
            } catch (const std::runtime_error& e) {
                throw CommandFailure(kExitNoLine, e.what());
            }
            out.Text("listening on " + config.host + ":" + std::to_string(server->Port()));
            out.Object({{"listening", config.host + ":" + std::to_string(server->Port())},
                        {"host", config.host},
                        {"port", server->Port()}});
            std::fflush(stdout);
            server->Serve(signals.Fd(), health);
        }
    }
    mqtt::FinishMqtt(std::move(publisher));
    health();
}

}  // namespace

CLI::App* AddGatewayCommand(CLI::App& app, GatewayOptions& o, std::vector<std::string>& args) {
    CLI::App* gateway =
        app.add_subcommand("gateway", "Serve the line as a Modbus TCP server until Ctrl-C (Linux only)");
    gateway->add_option("ARGS", args, "[PORT]")->type_name("");
    gateway->add_option("--points", o.points,
                        "Gate addresses to serve, separated by commas; * as the position: all 16")
        ->type_name("LIST");
    gateway->add_option("--config", o.configPath, "JSON file: line, poll interval, points, per-unit settings")
        ->type_name("FILE");
    gateway->add_option("--listen", o.listen, "IPv4 address and port to listen on (default 127.0.0.1:5020; port 0: any; none: MQTT alone)")
        ->type_name("HOST:PORT");
    gateway->add_option("--interval", o.intervalMs, "Poll interval in ms (default 1000)")
        ->check(CLI::Range(0, 3600000));
    gateway->add_option("--max-age", o.maxAgeMs, "Older values answer exception 0x0B, in ms (default 10000)")
        ->check(CLI::Range(0, 86400000));
    gateway->add_option("--demote-after", o.demoteAfter, "Failed polls in a row that set a unit aside (default 3)")
        ->check(CLI::Range(1, 1000));
    gateway->add_option("--demote-for", o.demoteForS, "Seconds a unit set aside is skipped (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    gateway->add_option("--max-clients", o.maxClients, "Connections served at once (default 64)")
        ->check(CLI::Range(1, 1000));
    gateway->add_option("--idle-timeout", o.idleTimeoutS, "Seconds before a silent connection is closed (default 60)")
        ->check(CLI::Range(0.001, 86400.0));
    gateway->add_flag("--read-only", o.readOnly, "Answer every write with exception 0x01");
    gateway->add_flag("--print-map", o.printMap, "Print the Modbus map at start; without a port, only print it");
    mqtt::AddMqttOptions(*gateway, o.mqtt);
    return gateway;
}

void RunGateway(const GlobalOptions& global, LineOptions line, const std::vector<std::string>& args,
                const GatewayOptions& options) {
    if (args.size() > 1) throw CommandFailure(kExitUsage, "too many arguments: the gateway takes one port");
    if (line.port.empty() && !args.empty()) line.port = args.front();
    const GatewayConfig config = ResolveConfig(options, line);
    // Before the session, so that signals stay caught until the line is closed.
    const Signals signals;
    Session session(global);
    const std::vector<Gate> gates = ValidatedGates(session, config.gases);
    const PointMap map = MapOf(gates, config);
    if (options.printMap) PrintMap(session.Out(), map);
    if (options.printMap && config.line.port.empty()) return;
    session.StartLine(config.line, kDefaultTimeoutMs);
    Serve(session, config, gates, signals);
}

}  // namespace plexer
