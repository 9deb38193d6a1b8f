#include "sim/command_line.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#include "sim/config.h"
#include "sim/engine.h"

namespace qsn::sim {

namespace {

using nlohmann::json;

std::atomic<Simulator*> serving{nullptr};

void StopServing(int) {
    if (Simulator* simulator = serving.load()) simulator->RequestStop();
}

// SIGINT and SIGTERM stop the simulator for as long as it serves, however it ends.
class StopOnSignals {
public:
    explicit StopOnSignals(Simulator& simulator) {
        serving.store(&simulator);
        struct sigaction action {};
        action.sa_handler = StopServing;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopOnSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        serving.store(nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

void AddFaultOption(CLI::App& app, CommandLine& commandLine, const char* name, const char* key,
                    const char* help) {
    app.add_option_function<double>(
           name, [&commandLine, key](double rate) { commandLine.line["faults"][key] = rate; }, help)
        ->check(CLI::Range(0.0, 1.0))
        ->group("Faults (probability 0 to 1, for every unit without its own)");
}

json UnitFromCommandLine(const std::string& unitText, bool cleared) {
    const std::size_t colon = unitText.find(':');
    if (colon == std::string::npos) {
        throw ConfigError("--unit " + unitText +
                          ": expected ADDRESS:KIND, such as 5:analog or 0x1F:digital");
    }
    return {
        {"address", unitText.substr(0, colon)}, {"kind", unitText.substr(colon + 1)}, {"cleared", cleared}};
}

json DefaultAnimation(const json& unit) {
    const bool digital = unit.contains("kind") && unit.at("kind") == "digital";
    return {{"shape", digital ? "toggle" : "sine"}};
}

void MergeLine(json& config, const json& line) {
    for (const auto& item : line.items()) {
        if (item.key() == "faults") {
            for (const auto& fault : item.value().items()) {
                config["line"]["faults"][fault.key()] = fault.value();
            }
        } else {
            config["line"][item.key()] = item.value();
        }
    }
}

// The options a config holds; its errors name the file it came from, if any.
SimOptions OptionsOf(const json& config, const std::string& configPath) {
    try {
        return ConfigToOptions(config);
    } catch (const ConfigError& e) {
        if (configPath.empty()) throw;
        throw ConfigError(configPath + ": " + e.what());
    }
}

}  // namespace

void AddOptions(CLI::App& app, CommandLine& commandLine) {
    app.add_option("-c,--config", commandLine.configPath, "JSON config of the line and its units")
        ->check(CLI::ExistingFile);
    app.add_option("-u,--unit", commandLine.units,
                   "A unit, as ADDRESS:KIND (digital, analog, temperature)");
    app.add_option("-l,--link", commandLine.linkPath,
                   "Make a symbolic link to the slave side here");
    app.add_option("-t,--trace", commandLine.tracePath,
                   "Trace every frame to this file, or - for stderr");
    app.add_flag("--animate", commandLine.animate,
                 "Move inputs: sine on analog and temperature, toggling digital");
    app.add_flag("--cleared", commandLine.cleared,
                 "Units from --unit start as if powered up and cleared");
    app.add_option_function<unsigned>(
           "-b,--baud", [&commandLine](unsigned baud) { commandLine.line["baud"] = baud; },
           "Pace replies at this rate, 10 bits a character (0: unpaced)")
        ->check(CLI::Range(0u, 1000000u));
    app.add_option_function<double>(
           "--turnaround-ms", [&commandLine](double ms) { commandLine.line["turnaroundMs"] = ms; },
           "Delay before each reply starts")
        ->check(CLI::Range(0.0, 60000.0));
    app.add_option_function<std::uint64_t>(
        "--seed", [&commandLine](std::uint64_t seed) { commandLine.line["seed"] = seed; },
        "Seed of the random faults");
    AddFaultOption(app, commandLine, "--silence", "silence", "No reply");
    AddFaultOption(app, commandLine, "--error-reply", "errorReply", "An error reply instead");
    AddFaultOption(app, commandLine, "--bad-checksum", "badChecksum",
                   "Data replies with a wrong checksum");
    AddFaultOption(app, commandLine, "--lowercase-checksum", "lowercaseChecksum",
                   "Lower-case checksum digits");
    AddFaultOption(app, commandLine, "--truncate", "truncate", "Replies cut off before their CR");
    AddFaultOption(app, commandLine, "--babble", "babble", "1200 characters and no CR");
    AddFaultOption(app, commandLine, "--drop-rate", "dropRate", "Each character sent is lost");
    AddFaultOption(app, commandLine, "--corrupt-rate", "corruptRate",
                   "Each character sent has a bit flipped");
    app.add_option_function<std::string>(
        "--error-code",
        [&commandLine](const std::string& code) { commandLine.line["faults"]["errorCode"] = code; },
        "Code of the error replies (default 06)");
}

SimOptions ResolveOptions(const CommandLine& commandLine) {
    json config =
        commandLine.configPath.empty() ? json::object() : ReadConfigFile(commandLine.configPath);
    if (!config.is_object()) {
        throw ConfigError(commandLine.configPath + ": must hold a JSON object");
    }
    // The command line merges into the file's line and units: a file of another
    // shape is refused as it stands, before a merge could trip over it.
    OptionsOf(config, commandLine.configPath);
    MergeLine(config, commandLine.line);
    for (const std::string& unitText : commandLine.units) {
        config["units"].push_back(UnitFromCommandLine(unitText, commandLine.cleared));
    }
    if (commandLine.animate && config.contains("units") && config["units"].is_array()) {
        for (json& unit : config["units"]) {
            if (unit.is_object() && !unit.contains("animate")) {
                unit["animate"] = DefaultAnimation(unit);
            }
        }
    }
    SimOptions options = OptionsOf(config, commandLine.configPath);
    if (options.units.empty()) {
        throw ConfigError("no units: give --unit ADDRESS:KIND or a config with units");
    }
    options.linkPath = commandLine.linkPath;
    options.tracePath = commandLine.tracePath;
    return options;
}

void Serve(const SimOptions& options) {
    Simulator simulator(options);
    const StopOnSignals stopOnSignals(simulator);
    std::printf("%s\n", simulator.SlavePath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "optomux-sim: %zu unit(s) on %s%s%s\n", options.units.size(),
                 simulator.SlavePath().c_str(), options.linkPath.empty() ? "" : ", linked from ",
                 options.linkPath.c_str());
    simulator.Run();
}

}  // namespace qsn::sim
