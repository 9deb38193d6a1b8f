#include "plexer_run.h"

#include <sstream>

namespace plexer::test {

ProgramRun RunPlexer(const std::vector<std::string>& args, std::chrono::milliseconds limit,
                     std::optional<std::chrono::milliseconds> interruptAfter) {
    std::vector<std::string> argv{PLEXER_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, limit, interruptAfter);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace plexer::test
