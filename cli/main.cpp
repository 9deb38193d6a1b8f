// plexer: a command-line host for the duTec I/O Plexer driver, for
// commissioning a line, diagnosing it, and showing the driver at work.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"
#include "console.h"
#include "gateway_command.h"
#include "simulator.h"

namespace {

using namespace plexer;

constexpr const char* kExitCodes =
    "Exit status: 0 success; 1 a GAS that does not validate or a failed transaction;\n"
    "2 bad arguments; 3 no driver, or a port that does not open.";

struct Arguments {
    GlobalOptions global;
    LineOptions line;
    std::vector<std::string> args;  // [PORT] then the subcommand's own
    bool wholeUnit = false;
    WatchOptions watch;
    ScanOptions scan;
    gateway::GatewayOptions gateway;
};

void AddLineOptions(CLI::App& sub, Arguments& a) {
    LineOptions& line = a.line;
    sub.add_option("-p,--port", line.port, "Serial port (COM3, /dev/ttyS0, pts/3); or the first argument")
        ->group("Line");
    sub.add_option_function<unsigned>(
           "-b,--baud", [&line](unsigned v) { line.baud = v; }, "Baud rate (default 9600)")
        ->check(CLI::Range(1u, 65535u))
        ->group("Line");
    sub.add_option_function<int>(
           "-d,--data-bits", [&line](int v) { line.dataBits = v; }, "Data bits (default 8)")
        ->check(CLI::Range(5, 8))
        ->group("Line");
    sub.add_option_function<std::string>(
           "-s,--stop-bits", [&line](const std::string& v) { line.stopBits = v; }, "Stop bits: 1, 1.5 or 2 (default 1)")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->group("Line");
    sub.add_option_function<std::string>(
           "-P,--parity", [&line](const std::string& v) { line.parity = v; },
           "Parity: none, odd, even, mark or space (default none)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case))
        ->group("Line");
    sub.add_option_function<int>(
           "-t,--timeout", [&line](int v) { line.timeoutMs = v; },
           "Read time-out in ms, rounded up to 10 ms (default 500; scan 30)")
        ->check(CLI::Range(1, 600000))
        ->group("Line");
}

CLI::App* AddSubcommand(CLI::App& app, const char* name, const char* description, const char* positionals,
                        Arguments& a) {
    CLI::App* sub = app.add_subcommand(name, description);
    if (positionals != nullptr) sub->add_option("ARGS", a.args, positionals)->type_name("");
    return sub;
}

constexpr std::size_t kMany = static_cast<std::size_t>(-1);

std::vector<std::string> Counted(std::vector<std::string> rest, std::size_t least, std::size_t most) {
    if (rest.size() < least) throw CommandFailure(kExitUsage, "missing arguments");
    if (rest.size() > most) throw CommandFailure(kExitUsage, "too many arguments");
    return rest;
}

// Without -p the first argument is the port; what remains are the
// subcommand's own arguments, checked before anything is loaded.
std::vector<std::string> OwnArguments(const std::string& name, Arguments& a) {
    if (name == "validate") return Counted(a.args, 1, kMany);
    std::vector<std::string> rest = a.args;
    if (a.line.port.empty() && !rest.empty()) {
        a.line.port = rest.front();
        rest.erase(rest.begin());
    }
    if (name == "identify" || name == "scan") return Counted(rest, 0, 0);
    return name == "write" ? Counted(rest, 2, 2) : Counted(rest, 1, kMany);
}

void Dispatch(CLI::App& app, Arguments& a) {
    const std::string name = app.get_subcommands().front()->get_name();
    if (name == "simulate") return RunSimulate();
    if (name == "demo") return RunDemo(a.global);
    if (name == "gateway") return RunGateway(a.global, a.line, a.args, a.gateway);
    const std::vector<std::string> rest = OwnArguments(name, a);
    Session session(a.global);
    if (name == "identify") return RunIdentify(session, a.line);
    if (name == "validate") return RunValidate(session, rest);
    if (name == "read") return RunRead(session, a.line, rest, a.wholeUnit);
    if (name == "watch") return RunWatch(session, a.line, rest, a.watch);
    if (name == "scan") return RunScan(session, a.line, a.scan);
    RunWrite(session, a.line, rest[0], rest[1]);
}

void BuildCommandLine(CLI::App& app, Arguments& a) {
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kExitCodes);
    app.add_option("--driver", a.global.driverPath, "Driver library (default: the one beside plexer)");
    app.add_flag("-v,--verbose", a.global.verbose, "Show every call of QsnMain with its result and time");
    app.add_flag("-q,--quiet", a.global.quiet, "Hide the driver's level-8 log lines");
    app.add_flag("--json", a.global.json, "Values as JSON, one object per line");
    app.add_flag("--no-color", a.global.noColour, "No colour even on a terminal");

    CLI::App* identify =
        AddSubcommand(app, "identify", "Show the driver's identification; with a port, open it", "[PORT]", a);
    AddLineOptions(*identify, a);
    AddSubcommand(app, "validate", "Decode gate addresses (GAS), or show why the driver refuses them", "GAS...", a);
    CLI::App* read = AddSubcommand(app, "read", "Read points, with their units", "[PORT] GAS...", a);
    AddLineOptions(*read, a);
    read->add_flag("--all", a.wholeUnit, "All sixteen points of each GAS's unit");
    CLI::App* write = AddSubcommand(app, "write", "Write an analog output (counts or N%) or switch a digital one",
                                    "[PORT] GAS VALUE", a);
    AddLineOptions(*write, a);
    CLI::App* watch = AddSubcommand(app, "watch", "Poll points in a live table until Ctrl-C", "[PORT] GAS...", a);
    AddLineOptions(*watch, a);
    watch->add_flag("-1,--once", a.watch.once, "Poll once and stop");
    watch->add_option("-l,--period", a.watch.periodMs, "Poll period in ms (default 1000)")
        ->check(CLI::Range(0, 3600000));
    watch->add_option("-n,--polls", a.watch.polls, "Stop after this many polls")->check(CLI::Range(1, 1000000000));
    watch->add_flag("--csv", a.watch.csv, "One CSV row per point and poll, with a header, for a spreadsheet");
    CLI::App* scan = AddSubcommand(app, "scan", "List the unit addresses that answer", "[PORT]", a);
    AddLineOptions(*scan, a);
    scan->add_option("--from", a.scan.from, "First address (default 0)")->check(CLI::Range(0, 255));
    scan->add_option("--to", a.scan.to, "Last address (default 255)")->check(CLI::Range(0, 255));

    const char* linuxOnly = kSimulatorAvailable ? "" : " (Linux only: not in this Windows build)";
    CLI::App* simulate = app.add_subcommand(
        "simulate", std::string("Run the Optomux simulator and print the device path to use") + linuxOnly);
    AddSimulateOptions(*simulate);
    app.add_subcommand("demo", std::string("Show the driver at work on a simulated rack") + linuxOnly);
    AddLineOptions(*AddGatewayCommand(app, a.gateway, a.args), a);
}

// A usage message for the subcommand that was being parsed, or for plexer.
void ShowUsage(const CLI::App& app, const std::string& reason) {
    const auto parsed = app.get_subcommands();
    const CLI::App& shown = parsed.empty() ? app : *parsed.front();
    std::fprintf(stderr, "plexer: %s\n\n%s", reason.c_str(), shown.help().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    CLI::App app{"Host for the duTec I/O Plexer driver: commissioning, diagnostics and a demo.", "plexer"};
    Arguments arguments;
    BuildCommandLine(app, arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const auto parsed = app.get_subcommands();
        std::printf("%s", (parsed.empty() ? app : *parsed.front()).help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        ShowUsage(app, e.what());
        return kExitUsage;
    }
    try {
        Dispatch(app, arguments);
        std::fflush(stdout);
        return 0;
    } catch (const CommandFailure& failure) {
        std::fflush(stdout);
        if (failure.ExitCode() == kExitUsage) {
            ShowUsage(app, failure.what());
        } else {
            std::fprintf(stderr, "plexer: %s\n", failure.what());
        }
        return failure.ExitCode();
    }
}
