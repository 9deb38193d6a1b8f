#include "session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "port_access.h"

namespace plexer {

namespace {

constexpr int kTimeoutUnitMs = 10;

std::int16_t StopBitsCode(const std::string& name) {
    if (name == "1.5") return 1;
    return name == "2" ? 2 : 0;
}

std::int16_t ParityCode(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
    for (std::int16_t code = 0; code < 5; ++code) {
        if (name == kNames[code]) return code;
    }
    return 0;
}

LineConfig Configure(const LineOptions& line, const LineSettings& defaults, int defaultTimeoutMs) {
    LineConfig config;
    config.portName = DriverPortName(line.port);
    config.settings = defaults;
    if (line.baud) config.settings.baudRate = static_cast<std::uint16_t>(*line.baud);
    if (line.dataBits) config.settings.dataBits = static_cast<std::int16_t>(*line.dataBits);
    if (line.stopBits) config.settings.stopBits = StopBitsCode(*line.stopBits);
    if (line.parity) config.settings.parity = ParityCode(*line.parity);
    // Whole units of 10 ms, rounded up so that a short time-out never becomes none.
    const int ms = line.timeoutMs.value_or(defaultTimeoutMs);
    config.readTimeout = std::max(1, (ms + kTimeoutUnitMs - 1) / kTimeoutUnitMs);
    return config;
}

std::unique_ptr<DriverLibrary> LoadDriver(const std::string& path) {
    try {
        return std::make_unique<DriverLibrary>(path.empty() ? DefaultDriverPath() : path);
    } catch (const std::runtime_error& e) {
        throw CommandFailure(kExitNoLine, e.what());
    }
}

bool ColourWanted(const GlobalOptions& options) {
    return !options.noColour && std::getenv("NO_COLOR") == nullptr && IsTerminal(stderr);
}

}  // namespace

Session::Session(const GlobalOptions& options)
    : library_(LoadDriver(options.driverPath)),
      log_(LogSettings{options.quiet, ColourWanted(options)}),
      out_(options.json),
      host_(std::make_unique<Host>(library_->Entry(), log_, options.verbose)) {}

void Session::StartLine(const LineOptions& line, int defaultTimeoutMs) {
    if (host_->Started()) return;
    if (line.port.empty()) throw CommandFailure(kExitUsage, "no port: give it as -p PORT or as the first argument");
    LineConfig config;
    try {
        config = Configure(line, host_->Ident().defaultSettings, defaultTimeoutMs);
    } catch (const std::runtime_error& e) {
        throw CommandFailure(kExitNoLine, e.what());
    }
    const std::int32_t result = host_->Start(config);
    if (result != QSN_OK) {
        throw CommandFailure(kExitNoLine, "port " + line.port + ": " + ResultMeaning(QSN_START_UP, result));
    }
}

void Failures::Check() const {
    if (reasons_.empty()) return;
    std::string reason = reasons_.front();
    if (reasons_.size() > 1) reason += " (and " + std::to_string(reasons_.size() - 1) + " more)";
    throw CommandFailure(kExitFailed, reason);
}

}  // namespace plexer
