#include "simulator.h"

namespace plexer {

const bool kSimulatorAvailable = false;

namespace {

[[noreturn]] void Unavailable(const char* what) {
    throw CommandFailure(kExitUsage, std::string(what) + " runs on Linux only: the simulator needs a pseudo-terminal");
}

}  // namespace

void AddSimulateOptions(CLI::App&) {}

void RunSimulate() { Unavailable("simulate"); }

void RunDemo(const GlobalOptions&) { Unavailable("demo"); }

}  // namespace plexer
