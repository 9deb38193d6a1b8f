// optomux-sim: a line of Optomux units on a pseudo-terminal.
#include <cstdio>

#include "exit_codes.h"
#include "sim/command_line.h"
#include "sim/config.h"

int main(int argc, char** argv) {
    CLI::App app{"Simulates a line of Optomux units on a pseudo-terminal; prints the slave path.", "optomux-sim"};
    qsn::sim::CommandLine commandLine;
    qsn::sim::AddOptions(app, commandLine);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "optomux-sim: %s\n\n%s", e.what(), app.help().c_str());
        return plexer::kExitUsage;
    }
    try {
        qsn::sim::Serve(qsn::sim::ResolveOptions(commandLine));
        return 0;
    } catch (const qsn::sim::ConfigError& e) {
        std::fprintf(stderr, "optomux-sim: %s\n", e.what());
        return plexer::kExitUsage;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "optomux-sim: %s\n", e.what());
        return plexer::kExitNoLine;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "optomux-sim: %s\n", e.what());
        return plexer::kExitFailed;
    }
}
