// Runs the scenario host twice against the same simulated rack, once natively
// over the driver library and once under Wine over QSNWNDUT.dll, and fails
// unless the two transcripts are equal line for line.
//
//   scenario_compare NATIVE_HOST NATIVE_DRIVER RACK -- WINE_FIXTURE_COMMAND...
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

// Runs a command and returns its standard output; the exit code goes to `code`.
std::string Capture(const std::vector<std::string>& argv, int* code) {
    std::string command;
    for (const std::string& a : argv) command += "'" + a + "' ";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    const int status = pclose(pipe);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return out;
}

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
    int nativeCode = -1, wineCode = -1;
    std::string native;
    {
        qsn::test::SimProcess sim({"--config", rack});
        native = Capture({host, driver, sim.SlavePath()}, &nativeCode);
    }
    const std::string wine = Capture(std::vector<std::string>(argv + 5, argv + argc), &wineCode);
    std::printf("%s", native.c_str());
    const int differences = Compare(Lines(native), Lines(wine));
    std::printf("native exit %d, wine exit %d, %d lines differ\n", nativeCode, wineCode, differences);
    return nativeCode == 0 && wineCode == 0 && differences == 0 && !native.empty() ? 0 : 1;
}
