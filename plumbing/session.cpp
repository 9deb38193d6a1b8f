#include "session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "terminal.h"
#include "port_access.h"

namespace plexer {

namespace {

constexpr int kTimeoutUnitMs = 10;
constexpr unsigned kHighestBaud = 65535;  // the driver's field has 16 bits
constexpr unsigned kDefaultBaud = 9600;
constexpr std::chrono::seconds kUnattendedRepeatWindow{60};
// A serial server adds its own delays to each reply (ser2net's purge alone
// takes some 40 ms), beyond the shortest time-out a subcommand may default to.
constexpr int kLeastServerTimeoutMs = 150;

// The code of a stop-bit count or parity named in any case; 0 for a name not listed.
template <std::size_t N>
std::int16_t CodeOf(const char* const (&names)[N], std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto named = std::find(std::begin(names), std::end(names), name);
    return named == std::end(names) ? 0 : static_cast<std::int16_t>(named - std::begin(names));
}

LineConfig Configure(const LineOptions& line, const LineSettings& defaults, int defaultTimeoutMs) {
    LineConfig config;
    config.settings = defaults;
    if (line.baud) config.settings.baudRate = static_cast<std::uint16_t>(*line.baud);
    if (line.dataBits) config.settings.dataBits = static_cast<std::int16_t>(*line.dataBits);
    if (line.stopBits) config.settings.stopBits = CodeOf(kStopBitsNames, *line.stopBits);
    if (line.parity) config.settings.parity = CodeOf(kParityNames, *line.parity);
    // Whole units of 10 ms, rounded up so that a short time-out never becomes none.
    const int ms = line.timeoutMs.value_or(defaultTimeoutMs);
    config.readTimeout = std::max(1, (ms + kTimeoutUnitMs - 1) / kTimeoutUnitMs);
    return config;
}

// Start-up's result, or a reopening's, as the reason the port did not open.
void CheckOpened(std::int32_t result, const std::string& port) {
    if (result == QSN_OK) return;
    throw CommandFailure(kExitNoLine, "port " + port + ": " + ResultMeaning(QSN_START_UP, result));
}

// "9600-8N1", as serial tools write a line's settings.
std::string ShortSettings(const LineSettings& settings) {
    static constexpr char kParity[] = "NOEMS";
    const char parity = settings.parity >= 0 && settings.parity < 5 ? kParity[settings.parity] : '?';
    const char* stop = settings.stopBits == 1 ? "1.5" : (settings.stopBits == 2 ? "2" : "1");
    return std::to_string(settings.baudRate) + "-" + std::to_string(settings.dataBits) + parity + stop;
}

std::string RatesText(const std::vector<unsigned>& rates) {
    std::string text;
    for (const unsigned rate : rates) text += (text.empty() ? "" : ", ") + std::to_string(rate);
    return text;
}

LogSettings LogSettingsFor(const GlobalOptions& options, LogStyle style) {
    const bool colour = !options.noColour && std::getenv("NO_COLOR") == nullptr && IsTerminal(stderr);
    LogSettings settings{options.quiet, colour};
    if (style == LogStyle::kUnattended) {
        settings.timestamps = true;
        settings.repeatWindow = kUnattendedRepeatWindow;
    }
    return settings;
}

// The real device behind a relay: gone or present as the device is, while the
// driver is handed the relay's pseudo-terminal, which reopens the device itself.
class RelayedDevice : public LineDevice {
public:
    RelayedDevice(std::unique_ptr<LineDevice> device, const WireTrace& relay)
        : device_(std::move(device)), relay_(relay) {}

    std::optional<std::string> Gone() const override { return device_->Gone(); }
    bool Present() const override { return device_->Present(); }
    // Asked just before the driver reopens.
    std::string DriverName() const override {
        relay_.FreeDriverPort();
        return relay_.DriverPort();
    }
    void Opened() override { device_->Opened(); }

private:
    std::unique_ptr<LineDevice> device_;
    const WireTrace& relay_;
};

}  // namespace

int DefaultTimeoutMs(const std::string& port, int defaultMs) {
    return port.starts_with("tcp://") || port.starts_with("rfc2217://") ? std::max(defaultMs, kLeastServerTimeoutMs)
                                                                         : defaultMs;
}

void CheckLineOptions(const LineOptions& line) {
    const std::vector<unsigned> rates = SupportedBaudRates();
    const unsigned baud = line.baud.value_or(kDefaultBaud);
    const bool listed = rates.empty() ? baud >= 1 && baud <= kHighestBaud
                                      : std::find(rates.begin(), rates.end(), baud) != rates.end();
    if (!listed) {
        throw CommandFailure(kExitUsage, "baud rate " + std::to_string(baud) + " is not one the port can take; " +
                                             (rates.empty() ? "1 to 65535 are" : "these are: " + RatesText(rates)));
    }
    if (line.trace && !WireTraceAvailable()) throw CommandFailure(kExitUsage, WhyNoTrace());
}

Session::Session(const GlobalOptions& options, LogStyle style)
    : options_(options),
      started_(std::chrono::steady_clock::now()),
      library_(WithExitCode(kExitNoLine, [&options] {
          return std::make_unique<DriverLibrary>(options.driverPath.empty() ? DefaultDriverPath() : options.driverPath);
      })),
      log_(LogSettingsFor(options, style)),
      out_(options.json),
      host_(std::make_unique<Host>(library_->Entry(), log_, options.verbose)) {}

void Session::StartLine(const LineOptions& line, int defaultTimeoutMs) {
    if (host_->Started()) return;
    StartLine(PrepareLine(line, defaultTimeoutMs), line.port);
}

LineConfig Session::PrepareLine(const LineOptions& line, int defaultTimeoutMs) {
    if (line.port.empty()) throw CommandFailure(kExitUsage, "no port: give it as -p PORT or as the first argument");
    const std::optional<NetAddress> server =
        WithExitCode<std::invalid_argument>(kExitUsage, [&line] { return ParseNetAddress(line.port); });
    if (server) {
        LineConfig config =
            Configure(line, host_->Ident().defaultSettings, DefaultTimeoutMs(line.port, defaultTimeoutMs));
        if (options_.verbose) log_.Note(line.port + " " + ShortSettings(config.settings));
        StartNetLine(line, *server, config);
        return config;
    }
    const std::string problem = PortProblem(line.port);
    if (!problem.empty()) throw CommandFailure(kExitNoLine, "port " + problem);
    LineConfig config = Configure(line, host_->Ident().defaultSettings, defaultTimeoutMs);
    // Traced, the driver gets the relay's name instead, which always fits.
    if (!line.trace) config.portName = WithExitCode(kExitNoLine, [&line] { return DriverPortName(line.port); });
    if (options_.verbose) {
        log_.Note(line.port + " " + ShortSettings(config.settings) + ", time-out " +
                  std::to_string(config.readTimeout * kTimeoutUnitMs) + " ms");
    }
    ReportAdapter(line.port);
    if (line.trace) StartTrace(line, config);
    return config;
}

void Session::StartLine(const LineConfig& config, const std::string& port) {
    CheckOpened(host_->Start(config), port);
    line_ = config;
    if (net_) {
        device_ = net_->Watch();
        return;
    }
    device_ = WatchDevice(port);
    // A traced driver talks to the relay, whose end never goes: the real
    // device is watched, and the driver reopens the relay's end.
    if (device_ && trace_) device_ = std::make_unique<RelayedDevice>(std::move(device_), *trace_);
}

LineConfig Session::TakeLine(const LineOptions& line, int defaultTimeoutMs) {
    if (!host_->Started()) return PrepareLine(line, defaultTimeoutMs);
    host_->Close();
    lent_ = true;
    return line_;
}

void Session::HandBack(const LineConfig& config, const std::string& port) {
    if (!lent_) return StartLine(config, port);
    lent_ = false;
    CheckOpened(host_->Reopen(), port);
}

// USB serial adapters hold received characters up to their latency timer
// before passing them on: at the usual 16 ms it outweighs a whole reply.
void Session::ReportAdapter(const std::string& port) const {
    const std::optional<int> latencyMs = UsbLatencyTimerMs(port);
    if (!latencyMs) return;
    const std::string name = std::filesystem::path(DevicePath(port)).filename().string();
    if (*latencyMs <= 1) {
        if (options_.verbose) {
            log_.Note(port + ": USB serial adapter, latency timer " + std::to_string(*latencyMs) + " ms");
        }
        return;
    }
    log_.Note(port + ": USB serial adapter with a latency timer of " + std::to_string(*latencyMs) +
              " ms: each reply may arrive that much late" + (options_.verbose ? "" : " (-v says how to lower it)"));
    if (!options_.verbose) return;
    log_.Note("lower it to 1 ms: echo 1 | sudo tee /sys/bus/usb-serial/devices/" + name +
              "/latency_timer (until unplugged), or setserial " + DevicePath(port) +
              " low_latency; to keep it, a udev rule: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
              "DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"");
}

std::unique_ptr<TraceLog> Session::OpenTraceLog(const LineOptions& line) {
    if (!line.trace) return nullptr;
    std::FILE* out = stderr;
    if (*line.trace != "-") {
        traceFile_.reset(std::fopen(line.trace->c_str(), "w"));
        if (!traceFile_) throw CommandFailure(kExitUsage, "--trace: cannot write " + *line.trace);
        out = traceFile_.get();
    }
    return std::make_unique<TraceLog>(out, started_, traceCopy_);
}

void Session::StartTrace(const LineOptions& line, LineConfig& config) {
    std::unique_ptr<TraceLog> log = OpenTraceLog(line);
    trace_ = WithExitCode(kExitNoLine, [&] {
        return std::make_unique<WireTrace>(line.port, config.settings, std::move(log));
    });
    config.portName = trace_->DriverPort();
}

// The driver gets the relay's pseudo-terminal; the trace, if any, is the relay's own.
void Session::StartNetLine(const LineOptions& line, const NetAddress& address, LineConfig& config) {
    std::unique_ptr<TraceLog> log = OpenTraceLog(line);
    net_ = WithExitCode(kExitNoLine, [&] {
        return std::make_unique<NetLine>(address, config.settings, std::move(log));
    });
    config.portName = net_->DriverPort();
}

void Failures::Check() const {
    if (reasons_.empty()) return;
    std::string reason = reasons_.front();
    if (reasons_.size() > 1) reason += " (and " + std::to_string(reasons_.size() - 1) + " more)";
    throw CommandFailure(kExitFailed, reason);
}

}  // namespace plexer
