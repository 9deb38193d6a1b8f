// Runs the built plexer program to its end with a time limit, capturing both
// of its output streams and its exit code.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace plexer::test {

using qsn::test::ProgramRun;
using qsn::test::RunProgram;

// The built plexer with `args`.
ProgramRun RunPlexer(const std::vector<std::string>& args, std::chrono::milliseconds limit = std::chrono::seconds(60),
                     std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt);

// The lines of a text.
std::vector<std::string> Lines(const std::string& text);

}  // namespace plexer::test
