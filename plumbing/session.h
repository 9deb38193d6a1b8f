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
#include "exit_codes.h"
#include "format.h"
#include "host.h"
#include "log_view.h"
#include "net_line.h"
#include "poller.h"
#include "wire_trace.h"

namespace plexer {

// Ends a subcommand with its exit code and a one-line reason.
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(int exitCode, const std::string& reason) : std::runtime_error(reason), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// What `step` returns; an `Error` from it ends the subcommand with `exitCode`
// and its message.
template <typename Error = std::runtime_error, typename Step>
auto WithExitCode(int exitCode, Step step) {
    try {
        return step();
    } catch (const Error& e) {
        throw CommandFailure(exitCode, e.what());
    }
}

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

// A subcommand's default time-out, longer for a line behind a serial server.
int DefaultTimeoutMs(const std::string& port, int defaultMs);

// What can be told wrong with line options before anything is loaded: a baud
// rate the port cannot take, a trace this platform cannot make. Throws
// CommandFailure(kExitUsage).
void CheckLineOptions(const LineOptions& line);

// A person at a terminal, or a service's log: lines with their time, and a
// driver line repeated every poll shown once a minute with its count.
enum class LogStyle { kInteractive, kUnattended };

class Session {
public:
    explicit Session(const GlobalOptions& options, LogStyle style = LogStyle::kInteractive);

    Host& Driver() { return *host_; }
    LogView& Log() { return log_; }
    const Output& Out() const { return out_; }

    // Start-up on the port of `line`; throws CommandFailure when it does not
    // open, saying why when the port can be seen to be wrong beforehand.
    void StartLine(const LineOptions& line, int defaultTimeoutMs);
    // The line for a subcommand that uses the port itself before the driver
    // (config.portName, as the driver opens it): prepared as StartLine
    // prepares it or, when the driver has it already, lent by the driver,
    // whose port closes. HandBack gives it to the driver: start-up on it, or
    // the lent port opened again. Both throw CommandFailure as StartLine does.
    LineConfig TakeLine(const LineOptions& line, int defaultTimeoutMs);
    void HandBack(const LineConfig& config, const std::string& port);
    // The started line's device, to tell a device gone from a silent line,
    // traced or not; none when that cannot be told (this platform).
    LineDevice* Device() { return device_.get(); }
    // A traced line also writes its trace to `stream` (the caller's,
    // outliving the session), besides standard error or its file.
    void TraceInto(std::FILE* stream) { traceCopy_ = stream; }

private:
    struct CloseFile {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    LineConfig PrepareLine(const LineOptions& line, int defaultTimeoutMs);
    void StartLine(const LineConfig& config, const std::string& port);
    void ReportAdapter(const std::string& port) const;
    void StartTrace(const LineOptions& line, LineConfig& config);
    void StartNetLine(const LineOptions& line, const NetAddress& address, LineConfig& config);
    std::unique_ptr<TraceLog> OpenTraceLog(const LineOptions& line);

    GlobalOptions options_;
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<DriverLibrary> library_;
    LogView log_;
    Output out_;
    // The driver's line closes before the relay under it, and that before its file.
    std::unique_ptr<std::FILE, CloseFile> traceFile_;
    std::unique_ptr<WireTrace> trace_;
    std::unique_ptr<NetLine> net_;  // the relay to a serial server, for a tcp:// or rfc2217:// port
    std::FILE* traceCopy_ = nullptr;
    std::unique_ptr<Host> host_;
    LineConfig line_;  // what the driver was started with
    bool lent_ = false;
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
