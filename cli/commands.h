// The subcommands. Each returns normally on success and throws
// CommandFailure with its exit code and one-line reason otherwise.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace plexer {

inline constexpr int kDefaultTimeoutMs = 500;

struct WatchOptions {
    bool once = false;
    int periodMs = 1000;
    int polls = 0;  // 0: until Ctrl-C
    bool csv = false;
};

struct ScanOptions {
    int from = 0;
    int to = 255;
};

// Every gate type with what a read of it returns and what a write sends.
void ListTypes(const Output& out);

void RunIdentify(Session& session, const LineOptions& line);
void RunValidate(Session& session, const std::vector<std::string>& gases);
void RunRead(Session& session, const LineOptions& line, const std::vector<std::string>& gases, bool wholeUnit);
void RunWrite(Session& session, const LineOptions& line, const std::string& gas, const std::string& value);
void RunWatch(Session& session, const LineOptions& line, const std::vector<std::string>& gases,
              const WatchOptions& watch);
void RunScan(Session& session, const LineOptions& line, const ScanOptions& scan);

// Validates every GAS; the valid gates come back, each invalid one is shown
// (each valid one too, with `showValid`) and added to `failures`.
std::vector<Gate> ValidGates(Session& session, const std::vector<std::string>& gases, Failures& failures,
                             bool showValid = false);

}  // namespace plexer
