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
    const qsn::sim::SimOptions options = WithExitCode<qsn::sim::ConfigError>(
        kExitUsage, [] { return qsn::sim::ResolveOptions(simulateCommandLine); });
    WithExitCode(kExitNoLine, [&options] { qsn::sim::Serve(options); });
}

}  // namespace plexer
