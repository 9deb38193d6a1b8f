// Runs the scenario host twice against the same simulated rack, once natively
// over the driver library and once under Wine over QSNWNDUT.dll, and fails
// unless the two transcripts are equal line for line.
//
//   scenario_compare NATIVE_HOST NATIVE_DRIVER RACK -- WINE_FIXTURE_COMMAND...
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows line ends
        if (line.rfind("wine_fixture:", 0) != 0) lines.push_back(line);
    }
    return lines;
}

int Compare(const std::vector<std::string>& native, const std::vector<std::string>& wine) {
    int differences = 0;
    for (std::size_t i = 0; i < std::max(native.size(), wine.size()); ++i) {
        const std::string a = i < native.size() ? native[i] : "(missing)";
        const std::string b = i < wine.size() ? wine[i] : "(missing)";
        if (a == b) continue;
        std::printf("line %zu differs:\n  native: %s\n  wine:   %s\n", i + 1, a.c_str(), b.c_str());
        ++differences;
    }
    return differences;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || std::string(argv[4]) != "--") {
        std::fprintf(stderr, "usage: scenario_compare HOST DRIVER RACK -- WINE_COMMAND...\n");
        return 2;
    }
    const std::string host = argv[1], driver = argv[2], rack = argv[3];
    using std::chrono::minutes;
    qsn::test::ProgramRun native;
    {
        qsn::test::SimProcess sim({"--config", rack});
        native = qsn::test::RunProgram({host, driver, sim.SlavePath()}, minutes(5));
    }
    const qsn::test::ProgramRun wine =
        qsn::test::RunProgram(std::vector<std::string>(argv + 5, argv + argc), minutes(5));
    std::printf("%s%s", native.out.c_str(), wine.err.c_str());
    const int differences = Compare(Lines(native.out), Lines(wine.out));
    std::printf("native exit %d, wine exit %d, %d lines differ\n", native.exitCode, wine.exitCode,
                differences);
    const bool same = native.exitCode == 0 && wine.exitCode == 0 && differences == 0;
    return same && !native.out.empty() ? 0 : 1;
}
