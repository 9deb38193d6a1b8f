// What every subcommand starts from: the options shared by all of them, the
// driver loaded with its log view, and the line opened from the options.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_loader.h"
#include "format.h"
#include "host.h"
#include "log_view.h"
#include "poller.h"
#include "wire_trace.h"

namespace plexer {

inline constexpr int kExitFailed = 1;  // a GAS that does not validate, a failed transaction
inline constexpr int kExitUsage = 2;   // bad arguments
inline constexpr int kExitNoLine = 3;  // no driver, or a port that does not open

// Ends a subcommand with its exit code and a one-line reason.
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(int exitCode, const std::string& reason) : std::runtime_error(reason), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

private:
    int exitCode_;
};

struct GlobalOptions {
    std::string driverPath;
    bool verbose = false;
    bool quiet = false;
    bool json = false;
    bool noColour = false;
};

// Unset fields take the driver's default line settings.
struct LineOptions {
    std::string port;
    std::optional<unsigned> baud;
    std::optional<int> dataBits;
    std::optional<std::string> stopBits;
    std::optional<std::string> parity;
    std::optional<int> timeoutMs;
    std::optional<std::string> trace;  // set: trace the wire, to this file or, when "-", to standard error
};

// What can be told wrong with line options before anything is loaded: a baud
// rate the port cannot take, a trace this platform cannot make. Throws
// CommandFailure(kExitUsage).
void CheckLineOptions(const LineOptions& line);

class Session {
public:
    explicit Session(const GlobalOptions& options);

    Host& Driver() { return *host_; }
    LogView& Log() { return log_; }
    const Output& Out() const { return out_; }

    // Start-up on the port of `line`; throws CommandFailure when it does not
    // open, saying why when the port can be seen to be wrong beforehand.
    void StartLine(const LineOptions& line, int defaultTimeoutMs);
    // The started line's device, to tell a device gone from a silent line;
    // none when that cannot be told (a traced line, this platform).
    LineDevice* Device() { return device_.get(); }

private:
    struct CloseFile {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    void ReportAdapter(const std::string& port) const;
    void StartTrace(const LineOptions& line, LineConfig& config);

    GlobalOptions options_;
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<DriverLibrary> library_;
    LogView log_;
    Output out_;
    // The driver's line closes before the relay under it, and that before its file.
    std::unique_ptr<std::FILE, CloseFile> traceFile_;
    std::unique_ptr<WireTrace> trace_;
    std::unique_ptr<Host> host_;
    std::unique_ptr<LineDevice> device_;
};

// The failures of a subcommand that goes on past them: the first is its reason.
class Failures {
public:
    void Add(const std::string& reason) { reasons_.push_back(reason); }
    // Throws CommandFailure(kExitFailed) when any failure was added.
    void Check() const;

private:
    std::vector<std::string> reasons_;
};

}  // namespace plexer
