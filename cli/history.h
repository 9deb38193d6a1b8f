// `plexer history`: a line's stored history for an engineer, as text, CSV or
// JSON, read while the gateway goes on writing it. Linux only, as the gateway.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "session.h"

namespace plexer {

struct HistoryOptions {
    std::string path;
    std::string points;  // none: every point
    std::string from = "-1h";
    std::string to = "now";
    bool csv = false;
};

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options);
void RunHistory(const GlobalOptions& global, const HistoryOptions& options);

}  // namespace plexer
