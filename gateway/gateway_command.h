// `plexer gateway`: the line served as a Modbus TCP server. It needs
// libmodbus and POSIX sockets, so it exists on Linux only; elsewhere it says so.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "config.h"
#include "session.h"

namespace plexer {

// Adds the subcommand with its own options and its [PORT] argument into
// `args`; the caller adds the line options.
CLI::App* AddGatewayCommand(CLI::App& app, gateway::GatewayOptions& options, std::vector<std::string>& args);

// Serves until SIGINT or SIGTERM.
void RunGateway(const GlobalOptions& global, LineOptions line, const std::vector<std::string>& args,
                const gateway::GatewayOptions& options);

}  // namespace plexer
