#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "display_text.h"
#include "gateway_command.h"
#include "status_server.h"
#include "trace_ring.h"
#include "line_core.h"
#include "map_export.h"
#include "mqtt_gateway.h"
#include "poller.h"
#include "recorder.h"
#include "report.h"
#include "server.h"
#include "terminal.h"

namespace plexer {

namespace {

using namespace gateway;

constexpr int kDefaultTimeoutMs = 500;

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
    PointMap map = WithExitCode<std::invalid_argument>(
        kExitUsage, [&] { return PointMap(gates, config.defaults, config.perUnit, config.engineering); });
    for (const auto& [unit, settings] : config.perUnit) {
        if (map.Unit(unit) == nullptr) {
            throw CommandFailure(kExitUsage,
                                 "units." + Hex2(static_cast<unsigned>(unit)) + ": no point of this unit is served");
        }
    }
    return map;
}

// SIGINT, SIGTERM, SIGUSR1 and SIGHUP arrive on a descriptor the server polls. They are
// blocked before the poller's thread starts, which so inherits the mask.
class Signals {
public:
    Signals() {
        sigemptyset(&set_);
        for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) sigaddset(&set_, signal);
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

// The driver's lines also go to the page's log, for as long as the log lives.
class LogTap {
public:
    LogTap(LogView& view, LineLog& lines) : view_(view) {
        view_.SetTap([&lines](const LogLine& line) { lines.Add(line); });
    }
    ~LogTap() { view_.SetTap(nullptr); }
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;

private:
    LogView& view_;
};

std::unique_ptr<Server> Listen(const GatewayConfig& config, LineCore& core, TrafficCounts& traffic) {
    const ServerOptions options{config.host, config.port, &traffic};
    return WithExitCode(kExitNoLine, [&] { return std::make_unique<Server>(options, core); });
}

// Reloads on a thread of its own, so that serving never waits on a file:
// one reload at a time, and every SIGHUP during one taken by one more after it.
class Reloader {
public:
    explicit Reloader(std::function<void()> reload) : reload_(std::move(reload)), thread_([this] { Run(); }) {}
    ~Reloader() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Reloader(const Reloader&) = delete;
    Reloader& operator=(const Reloader&) = delete;

    void Ask() {
        {
            const std::lock_guard lock(mutex_);
            asked_ = true;
        }
        wake_.notify_one();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return asked_ || stopping_; });
            if (stopping_) return;
            asked_ = false;
            lock.unlock();
            reload_();
            lock.lock();
        }
    }

    std::function<void()> reload_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool asked_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last, so that it starts with the rest in place
};

bool SameLine(const LineOptions& a, const LineOptions& b) {
    return a.port == b.port && a.baud == b.baud && a.dataBits == b.dataBits && a.stopBits == b.stopBits &&
           a.parity == b.parity && a.timeoutMs == b.timeoutMs;
}

bool SamePolling(const PollerOptions& a, const PollerOptions& b) {
    return a.interval == b.interval && a.failuresToDemote == b.failuresToDemote && a.demotedFor == b.demotedFor;
}

using Note = std::function<void(const std::string&)>;

// Without the Modbus listener, nothing but the signals to wait on.
void AwaitStop(int signalFd, const ServeHooks& hooks) {
    for (;;) {
        pollfd ready{signalFd, POLLIN, 0};
        if (poll(&ready, 1, -1) > 0 && TakeSignal(signalFd, hooks)) return;
    }
}

// SIGHUP: the file read again, the command line still over it, into a new
// snapshot. The units' settings and the server's limits change with it; the
// line, the points, the address and the poll settings need a restart, and the
// gateway says so.
RunningPtr Reread(const std::function<GatewayConfig()>& resolve, const GatewayConfig& running, const Poller& poller,
                  const Note& note) {
    try {
        const GatewayConfig fresh = resolve();
        FitDescriptorLimit(fresh.maxClients);
        const std::pair<const char*, bool> kept[] = {
            {"the line", !SameLine(fresh.line, running.line)},
            {"the points", fresh.gases != running.gases},
            {"the listening address", fresh.host != running.host || fresh.port != running.port},
            {"the poll settings", !SamePolling(fresh.poller, running.poller)},
            {"the history store", fresh.history.path != running.history.path},
        };
        for (const auto& [what, changed] : kept) {
            if (changed) note(std::string("SIGHUP: ") + what + " changed; restart the gateway to apply it");
        }
        PointMap map = MapOf(poller.Gates(), fresh);
        auto next = std::make_shared<const Running>(Running{fresh, std::move(map)});
        note("SIGHUP: configuration reloaded");
        return next;
    } catch (const std::exception& e) {
        note(std::string("SIGHUP: configuration not reloaded: ") + e.what());
        return nullptr;
    }
}

// Where clients reach the gateway, as the kernel bound it, and a warning when
// writes are open beyond this machine.
void AnnounceListener(const Server& server, const GatewayConfig& config, const Output& out, const Note& note) {
    out.Text("listening on " + server.Address());
    out.Object({{"listening", server.Address()}, {"host", config.host}, {"port", server.Port()}});
    std::fflush(stdout);
    if (!server.Loopback() && !config.readOnly) {
        note("warning: listening on " + server.Address() +
             " beyond this machine with writes enabled: any client that reaches it can switch outputs "
             "(--read-only, or --listen 127.0.0.1)");
    }
}

// The page's connections within what the descriptor limit leaves beside
// Modbus's clients, so that idle page connections never crowd them out.
std::size_t PageConnections(int maxClients) {
    constexpr long kMost = 128;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMost;
    const long left = static_cast<long>(limit.rlim_cur) - maxClients - kDescriptorsBesideClients;
    return static_cast<std::size_t>(std::clamp(left / 2, 8L, kMost));
}

// The status page, when asked for: before the first poll, so that it shows the
// start too; read-only, but beyond loopback it shows the line to whoever reaches it.
std::unique_ptr<StatusServer> StartPage(const GatewayConfig& config, const StatusSources& sources, const Output& out,
                                        const Note& note) {
    if (!config.http) return nullptr;
    // A port it cannot listen on, like a line that does not open.
    std::unique_ptr<StatusServer> page = WithExitCode(kExitNoLine, [&] {
        return std::make_unique<StatusServer>(config.http->host, config.http->port, PageConnections(config.maxClients),
                                              sources);
    });
    out.Text("status page on http://" + page->Address() + "/");
    out.Object({{"http", page->Address()}});
    std::fflush(stdout);
    if (!page->Loopback()) {
        note("warning: status page on " + page->Address() +
             " beyond this machine: any client that reaches it can read the line's state, its points and its "
             "traffic (--http 127.0.0.1:PORT)");
    }
    return page;
}

// Each cycle's end, to every face that follows the line.
std::function<void(long)> AfterEachCycle(std::function<void(long)> mqtt, HistoryRecorder* history) {
    if (history == nullptr) return mqtt;
    return [mqtt = std::move(mqtt), history](long cycle) {
        if (mqtt) mqtt(cycle);
        history->AfterCycle();
    };
}

// Serving starts before the first poll: a value not read yet answers 0x0B.
void Serve(Session& session, const GatewayConfig& config, const std::vector<Gate>& gates,
           const std::function<GatewayConfig()>& resolve, const Signals& signals, const TraceRing* wire) {
    const Logger logger([&session](const std::string& text) { session.Log().Note(text); });
    const Note note = [&logger](const std::string& text) { logger.Note(text); };
    PollerOptions pollerOptions = config.poller;
    pollerOptions.device = session.Device();
    pollerOptions.note = note;
    Poller poller(session.Driver(), gates, std::move(pollerOptions));
    // The map in the order the poller keeps its points, which every face indexes.
    LineCore core(poller, std::make_shared<const Running>(Running{config, MapOf(poller.Gates(), config)}), logger);
    const std::unique_ptr<HistoryRecorder> history = StartHistory(core);
    if (history) core.SetHistory(&history->Source());
    const Output& out = session.Out();
    const auto health = [&] { PrintHealth(out, poller.Units(), poller.Line(), PollClock::now()); };
    TrafficCounts traffic;
    LineLog lines;
    const LogTap tap(session.Log(), lines);
    const std::unique_ptr<StatusServer> page =
        StartPage(config, StatusSources{core, traffic, lines, wire}, out, note);
    auto publisher = mqtt::StartMqtt(core);
    {
        const std::unique_ptr<Server> server = config.serveModbus ? Listen(config, core, traffic) : nullptr;
        if (server) AnnounceListener(*server, config, out, note);
        PollerThread thread(poller, AfterEachCycle(mqtt::AfterCycle(publisher.get()), history.get()));
        Reloader reloader([&] {
            if (RunningPtr fresh = Reread(resolve, config, poller, note)) core.Reload(std::move(fresh));
        });
        const ServeHooks hooks{health, [&reloader] { reloader.Ask(); }, note};
        if (server) {
            server->Serve(signals.Fd(), hooks);
        } else {
            AwaitStop(signals.Fd(), hooks);
        }
    }
    mqtt::FinishMqtt(std::move(publisher));
    health();
}

// The option as its entry in the table describes it, refused in the file's words.
void AddSetting(CLI::App& command, const SettingEntry& entry, std::optional<double>& value) {
    const std::string help = std::string(entry.help) + " (default " + NumberText(entry.fallback) + ")";
    command.add_option(entry.flag, value, help)
        ->type_name(entry.typeName)
        ->check(CLI::Validator(
            [&entry](std::string& text) { return SettingFault(entry, text).value_or(std::string()); }, "", ""));
}

// The settings of one section of the file, in the table's order.
void AddSettings(CLI::App& command, GatewayOptions& o, std::string_view section) {
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        if (section == (kSettings[i].section ? kSettings[i].section : "")) AddSetting(command, kSettings[i], o.numbers[i]);
    }
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
    gateway->add_option("--listen", o.listen,
                        "Address and port to listen on: IPv4, localhost or [IPv6] (default 127.0.0.1:5020; port 0: "
                        "any; none: no Modbus)")
        ->type_name("HOST:PORT");
    AddSettings(*gateway, o, "");
    gateway->add_flag("--read-only", o.readOnly, "Answer every write with exception 0x01");
    gateway->add_flag("--print-map", o.printMap, "Print the Modbus map at start; without a port, only print it");
    gateway->add_option("--format", o.mapFormat, "The map's format: text, csv, json or markdown (default text)")
        ->check(CLI::IsMember({"text", "csv", "json", "markdown"}));
    gateway->add_option("--http", o.http, "Serve a read-only status page, JSON and /metrics there: the forms of --listen, or a bare PORT on "
                        "loopback (none: no page, whatever the file says)")
        ->type_name("HOST:PORT");
    gateway->add_option("--history", o.history, "Keep every change of the points in this SQLite file (made if not there)")
        ->type_name("PATH");
    mqtt::AddMqttOptions(*gateway, o.mqtt);
    AddSettings(*gateway, o, "mqtt");
    return gateway;
}

void RunGateway(const GlobalOptions& global, LineOptions line, const std::vector<std::string>& args,
                const GatewayOptions& options) {
    if (args.size() > 1) throw CommandFailure(kExitUsage, "too many arguments: the gateway takes one port");
    if (line.port.empty() && !args.empty()) line.port = args.front();
    GatewayConfig config = ResolveConfig(options, line);
    config.line.trace = line.trace;
    WithExitCode<std::invalid_argument>(kExitUsage, [&] { FitDescriptorLimit(config.maxClients); });
    // Before the session, so that signals stay caught until the line is closed.
    const Signals signals;
    // A traced line's frames also go to the page, kept in memory; the ring
    // outlives the session's relay. Untraced, the line has no relay to pay for.
    const std::unique_ptr<TraceRing> wire =
        config.http && config.line.trace ? std::make_unique<TraceRing>() : nullptr;
    Session session(global, LogStyle::kUnattended);
    const std::vector<Gate> gates = ValidatedGates(session, config.gases);
    const PointMap map = MapOf(gates, config);
    if (options.printMap) {
        const MapFormat format = session.Out().Json() ? MapFormat::kJson : MapFormatNamed(config.mapFormat);
        WriteWhole(stdout, MapText(MapRows(map, config.readOnly), format));
        std::fflush(stdout);
    }
    if (options.printMap && config.line.port.empty()) return;
    if (wire) session.TraceInto(wire->Stream());
    session.StartLine(config.line, kDefaultTimeoutMs);
    Serve(session, config, gates, [&] { return ResolveConfig(options, line); }, signals, wire.get());
}

}  // namespace plexer
