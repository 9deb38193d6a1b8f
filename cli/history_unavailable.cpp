#include "history.h"

namespace plexer {

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions&) {
    // Whatever it is given, it says why it cannot run: the options it lacks stay here, not with plexer's.
    return app.add_subcommand("history", "Show a gateway's stored history of points (Linux only)")
        ->allow_extras()
        ->fallthrough(false);
}

void RunHistory(const GlobalOptions&, const HistoryOptions&) {
    throw CommandFailure(kExitUsage, "history runs on Linux only, as the gateway that keeps it");
}

}  // namespace plexer
