#include "sim/command_line.h"
#include "sim/config.h"
#include "simulator.h"

namespace plexer {

const bool kSimulatorAvailable = true;

namespace {

qsn::sim::CommandLine simulateCommandLine;

}  // namespace

void AddSimulateOptions(CLI::App& simulate) { qsn::sim::AddOptions(simulate, simulateCommandLine); }

void RunSimulate() {
    qsn::sim::SimOptions options;
    try {
        options = qsn::sim::ResolveOptions(simulateCommandLine);
    } catch (const qsn::sim::ConfigError& e) {
        throw CommandFailure(kExitUsage, e.what());
    }
    WithExitCode(kExitNoLine, [&options] { qsn::sim::Serve(options); });
}

}  // namespace plexer
