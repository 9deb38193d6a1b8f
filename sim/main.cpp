// optomux-sim: a line of Optomux units on a pseudo-terminal.
#include <cstdio>

#include "sim/command_line.h"
#include "sim/config.h"

int main(int argc, char** argv) {
    CLI::App app{"Simulates a line of Optomux units on a pseudo-terminal; prints the slave path."};
    qsn::sim::CommandLine commandLine;
    qsn::sim::AddOptions(app, commandLine);
    CLI11_PARSE(app, argc, argv);
    try {
        qsn::sim::Serve(qsn::sim::ResolveOptions(commandLine));
        return 0;
    } catch (const qsn::sim::ConfigError& e) {
        std::fprintf(stderr, "optomux-sim: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "optomux-sim: %s\n", e.what());
        return 1;
    }
}
