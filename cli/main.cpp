// plexer: a command-line host for the duTec I/O Plexer driver, for
// commissioning a line, diagnosing it, and showing the driver at work.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "commands.h"
#include "display_text.h"
#include "format.h"
#include "terminal.h"
#include "gateway_command.h"
#include "history.h"
#include "port_access.h"
#include "simulator.h"
#include "version.h"

namespace {

using namespace plexer;

constexpr const char* kExitCodes =
    "Exit status: 0 success; 1 a GAS that does not validate or a failed transaction;\n"
    "2 bad arguments; 3 no driver, or a port that does not open.";

constexpr const char* kGasFormat =
    "A gate address (GAS) names one point in five characters: the unit address in hex (00-FF),\n"
    "the type mnemonic (AI analog input, AO analog output, DI digital input, DO digital output,\n"
    "CK and the other temperature types; --types lists them all) and the module position in hex\n"
    "(0-F). 05AI1: unit 0x05, analog input, position 1. Upper or lower case.";

struct Arguments {
    GlobalOptions global;
    LineOptions line;
    std::vector<std::string> args;  // [PORT] then the subcommand's own
    bool wholeUnit = false;
    bool listTypes = false;
    WatchOptions watch;
    ScanOptions scan;
    gateway::GatewayOptions gateway;
    HistoryOptions history;
};

// A line setting that keeps the driver's default unless given.
template <typename T>
CLI::Option* AddLineSetting(CLI::App& sub, const char* name, std::optional<T>& setting, const char* description) {
    return sub.add_option_function<T>(name, [&setting](const T& v) { setting = v; }, description)->group("Line");
}

void AddLineOptions(CLI::App& sub, Arguments& a) {
    LineOptions& line = a.line;
    sub.add_option("-p,--port", line.port,
                   "Serial port (COM3, /dev/ttyS0, pts/3) or serial server (tcp://HOST:PORT, "
                   "rfc2217://HOST:PORT); or the first argument")
        ->group("Line");
    AddLineSetting(sub, "-b,--baud", line.baud, "Baud rate (default 9600)");
    AddLineSetting(sub, "-d,--data-bits", line.dataBits, "Data bits (default 8)")->check(CLI::Range(5, 8));
    AddLineSetting(sub, "-s,--stop-bits", line.stopBits, "Stop bits: 1, 1.5 or 2 (default 1)")
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(kStopBitsNames), std::end(kStopBitsNames))));
    AddLineSetting(sub, "-P,--parity", line.parity, "Parity: none, odd, even, mark or space (default none)")
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(kParityNames), std::end(kParityNames)),
                              CLI::ignore_case));
    AddLineSetting(sub, "-t,--timeout", line.timeoutMs,
                   "Read time-out in ms, rounded up to 10 ms (default 500; scan 30)")
        ->check(CLI::Range(1, 600000));
    sub.add_flag("--trace{-}", line.trace,
                 "Show every frame on the wire, with what it means; --trace=FILE writes them to FILE")
        ->group("Line");
}

// Its arguments, and the line's options unless it stays off the line.
CLI::App* AddSubcommand(CLI::App& app, const char* name, const char* description, const char* positionals,
                        Arguments& a, bool onLine = true) {
    CLI::App* sub = app.add_subcommand(name, description);
    sub->add_option("ARGS", a.args, positionals)->type_name("");
    if (onLine) AddLineOptions(*sub, a);
    return sub;
}

constexpr std::size_t kMany = static_cast<std::size_t>(-1);

std::vector<std::string> Counted(std::vector<std::string> rest, std::size_t least, std::size_t most) {
    if (rest.size() < least) throw CommandFailure(kExitUsage, "missing arguments");
    if (rest.size() > most) throw CommandFailure(kExitUsage, "too many arguments");
    return rest;
}

// The form of a GAS, judged by the host before the driver is loaded: only to
// tell a forgotten port from a port name.
bool LooksLikeGas(const std::string& text) {
    if (text.size() != 5 || !IsHexDigit(text[0]) || !IsHexDigit(text[1]) || !IsHexDigit(text[4])) return false;
    std::string mnemonic = text.substr(2, 2);
    for (char& c : mnemonic) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return qsn::GateTypeCode(mnemonic.c_str()) != 0;
}

// Options the subcommand does not have arrive here when CLI11 takes them for
// negative numbers ("-1").
void RefuseOptions(const std::string& name, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument.size() > 1 && argument.front() == '-') {
            throw CommandFailure(kExitUsage, argument + " is not an option of " + name);
        }
    }
}

void TakePort(const std::string& name, Arguments& a, std::vector<std::string>& rest) {
    if (!a.line.port.empty() || rest.empty()) return;
    const std::string& first = rest.front();
    std::error_code error;
    if (name != "identify" && LooksLikeGas(first) && !std::filesystem::exists(DevicePath(first), error)) {
        throw CommandFailure(kExitUsage,
                             "no port given: " + first + " is a gate address; give the port first or with -p PORT");
    }
    a.line.port = first;
    rest.erase(rest.begin());
}

// Without -p the first argument is the port; what remains are the
// subcommand's own arguments, checked before anything is loaded.
std::vector<std::string> OwnArguments(const std::string& name, Arguments& a) {
    if (name == "validate") {
        RefuseOptions(name, a.args);
        return Counted(a.args, a.listTypes ? 0 : 1, kMany);
    }
    std::vector<std::string> rest = a.args;
    // A write's value may be negative: the range check says what is wrong with it.
    RefuseOptions(name, name == "write" && rest.size() > 1 ? std::vector(rest.begin(), rest.end() - 1) : rest);
    TakePort(name, a, rest);
    CheckLineOptions(a.line);
    if (name == "identify" || name == "scan") return Counted(rest, 0, 0);
    return name == "write" ? Counted(rest, 2, 2) : Counted(rest, 1, kMany);
}

void Dispatch(CLI::App& app, Arguments& a) {
    const std::string name = app.get_subcommands().front()->get_name();
    if (name == "simulate") return RunSimulate();
    if (name == "demo") return RunDemo(a.global);
    if (name == "gateway") return RunGateway(a.global, a.line, a.args, a.gateway);
    if (name == "history") return RunHistory(a.global, a.history);
    const std::vector<std::string> rest = OwnArguments(name, a);
    if (name == "validate" && a.listTypes) {
        ListTypes(Output(a.global.json));
        if (rest.empty()) return;
    }
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
    app.set_version_flag("--version", std::string("plexer ") + Version());
    app.add_option("--driver", a.global.driverPath, "Driver library (default: the one beside plexer)");
    app.add_flag("-v,--verbose", a.global.verbose, "Show the line settings, a USB adapter's fix, and every call of QsnMain with its result and time");
    app.add_flag("-q,--quiet", a.global.quiet, "Hide the driver's level-8 log lines and its loaded-successfully notice");
    app.add_flag("--json", a.global.json, "Values as JSON, one object per line");
    app.add_flag("--no-color", a.global.noColour, "No colour even on a terminal");

    AddSubcommand(app, "identify", "Show the driver's identification; with a port, open it", "[PORT]", a);
    CLI::App* validate = AddSubcommand(
        app, "validate", "Decode gate addresses (GAS), or show why the driver refuses them", "GAS...", a, false);
    validate->add_flag("--types", a.listTypes, "List the gate types with what each reads and writes");
    validate->footer(kGasFormat);
    CLI::App* read = AddSubcommand(app, "read", "Read points, with their units", "[PORT] GAS...", a);
    read->add_flag("--all", a.wholeUnit, "All sixteen points of each GAS's unit");
    AddSubcommand(app, "write", "Write an analog output (counts or N%) or switch a digital one",
                  "[PORT] GAS VALUE", a);
    CLI::App* watch = AddSubcommand(app, "watch", "Poll points in a live table until Ctrl-C", "[PORT] GAS...", a);
    watch->add_flag("-1,--once", a.watch.once, "Poll once and stop");
    watch->add_option("-l,--period", a.watch.periodMs, "Poll period in ms (default 1000)")
        ->check(CLI::Range(0, 3600000));
    watch->add_option("-n,--polls", a.watch.polls, "Stop after this many polls")->check(CLI::Range(1, 1000000000));
    watch->add_flag("--csv", a.watch.csv, "One CSV row per point and poll, with a header, for a spreadsheet");
    CLI::App* scan = AddSubcommand(app, "scan", "List the unit addresses that answer", "[PORT]", a);
    scan->add_option("--from", a.scan.from, "First address (default 0)")->check(CLI::Range(0, 255));
    scan->add_option("--to", a.scan.to, "Last address (default 255)")->check(CLI::Range(0, 255));

    const char* linuxOnly = kSimulatorAvailable ? "" : " (Linux only: not in this Windows build)";
    CLI::App* simulate = app.add_subcommand(
        "simulate", std::string("Run the Optomux simulator and print the device path to use") + linuxOnly);
    AddSimulateOptions(*simulate);
    app.add_subcommand("demo", std::string("Show the driver at work on a simulated rack") + linuxOnly);
    AddLineOptions(*AddGatewayCommand(app, a.gateway, a.args), a);
    AddHistoryCommand(app, a.history);
}

// The first word that is neither an option of plexer's own nor its value
// must be a subcommand; CLI11 would only say that one is required.
std::string UnknownSubcommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--driver") {
            ++i;
            continue;
        }
        if (word.starts_with('-')) continue;
        const auto named = app.get_subcommands([&word](const CLI::App* sub) { return sub->get_name() == word; });
        return named.empty() ? word : "";
    }
    return "";
}

// The help of the subcommand that was being parsed, or of plexer.
std::string Help(const CLI::App& app) {
    const auto parsed = app.get_subcommands();
    return (parsed.empty() ? app : *parsed.front()).help();
}

void ShowUsage(const CLI::App& app, const std::string& reason) {
    std::fprintf(stderr, "plexer: %s\n\n%s", reason.c_str(), Help(app).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    CLI::App app{"Host for the duTec I/O Plexer driver: commissioning, diagnostics and a demo.", "plexer"};
    Arguments arguments;
    BuildCommandLine(app, arguments);
    const std::string unknown = UnknownSubcommand(app, argc, argv);
    if (!unknown.empty()) {
        ShowUsage(app, "unknown subcommand " + unknown);
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", Help(app).c_str());
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
            // Scripts reading JSON learn of a line that never opened on the stream they read.
            if (arguments.global.json && failure.ExitCode() == kExitNoLine) {
                Output(true).Object({{"ok", false}, {"exit", failure.ExitCode()}, {"error", failure.what()}});
                std::fflush(stdout);
            }
            std::fprintf(stderr, "plexer: %s\n", failure.what());
        }
        return failure.ExitCode();
    }
}
