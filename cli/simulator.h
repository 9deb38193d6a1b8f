// The subcommands that run the Optomux simulator. It serves a pseudo-terminal,
// so they exist on Linux only; elsewhere they say so.
#pragma once

#include <CLI/CLI.hpp>

#include "session.h"

namespace plexer {

extern const bool kSimulatorAvailable;

// The simulator's own options, on the `simulate` subcommand.
void AddSimulateOptions(CLI::App& simulate);
// Serves the line until Ctrl-C, printing the device path to use.
void RunSimulate();
// Starts a small rack of every unit kind and walks through the driver's work.
void RunDemo(const GlobalOptions& options);

}  // namespace plexer
