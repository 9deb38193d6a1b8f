// The simulator's command line, shared by its own program and by any tool that
// offers it as a subcommand: options are registered on a CLI11 app, then folded
// over the config file into one SimOptions.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/options.h"

namespace qsn::sim {

struct CommandLine {
    std::string configPath;
    std::vector<std::string> units;  // "ADDRESS:KIND"
    nlohmann::json line = nlohmann::json::object();
    bool animate = false;
    bool cleared = false;
    std::string linkPath;
    std::string tracePath;
};

void AddOptions(CLI::App& app, CommandLine& commandLine);

// The config file, then the command line over it; throws ConfigError.
SimOptions ResolveOptions(const CommandLine& commandLine);

// Prints the slave path as one line on standard output, then serves until
// SIGINT or SIGTERM. Throws std::runtime_error when the line cannot be set up.
void Serve(const SimOptions& options);

}  // namespace qsn::sim
