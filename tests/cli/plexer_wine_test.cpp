// plexer.exe with QSNWNDUT.dll under Wine, against the native simulator on a
// pseudo-terminal mapped as COM7, must say what the native plexer says over
// libqsnwndut.so: the same values, the same driver log lines, the same exits.
#include <gtest/gtest.h>

#include "plexer_run.h"

namespace plexer::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPortMark = "PORT";
constexpr const char* kComPort = "COM7";

// The port's name differs between the two runs; everything else must not.
std::string Unported(std::string text, const std::string& port) {
    for (std::size_t at = text.find(port); at != std::string::npos; at = text.find(port, at)) {
        text.replace(at, port.size(), "<port>");
    }
    return text;
}

std::vector<std::string> WithPort(const std::vector<std::string>& args, const std::string& port) {
    std::vector<std::string> out = args;
    for (std::string& arg : out) {
        if (arg == kPortMark) arg = port;
    }
    return out;
}

// The Windows C runtime ends text lines with CR LF.
std::string WithoutCarriageReturns(const std::string& text) {
    std::string kept;
    for (const std::string& line : Lines(text)) {
        if (line.starts_with("wine_fixture:")) continue;
        kept += (line.ends_with('\r') ? line.substr(0, line.size() - 1) : line) + "\n";
    }
    return kept;
}

// The driver's lines and plexer's reasons; Wine and its fixture add their own.
std::string DriverLines(const std::string& err) {
    std::string kept;
    for (const std::string& line : Lines(err)) {
        if (line.starts_with("[") || line.starts_with("plexer:")) kept += line + "\n";
    }
    return kept;
}

ProgramRun RunNative(const std::vector<std::string>& args) {
    qsn::test::SimProcess rack({"--config", PLEXER_WINE_RACK});
    ProgramRun run = RunPlexer(WithPort(args, rack.SlavePath()), 60s);
    run.out = Unported(run.out, rack.SlavePath());
    run.err = Unported(DriverLines(run.err), rack.SlavePath());
    return run;
}

ProgramRun RunUnderWine(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {PLEXER_WINE_FIXTURE,
                                     "--prefix",
                                     PLEXER_WINE_PREFIX,
                                     "--com",
                                     "7",
                                     "--peer-device",
                                     qsn::test::SimulatorProgram() + " --config " + PLEXER_WINE_RACK,
                                     "--",
                                     PLEXER_EXE};
    const std::vector<std::string> ported = WithPort(args, kComPort);
    argv.insert(argv.end(), ported.begin(), ported.end());
    ProgramRun run = RunProgram(argv, 280s);
    run.out = Unported(WithoutCarriageReturns(run.out), kComPort);
    run.err = Unported(DriverLines(WithoutCarriageReturns(run.err)), kComPort);
    return run;
}

TEST(PlexerUnderWine, SaysWhatTheNativePlexerSays) {
    const std::vector<std::vector<std::string>> cases = {
        {"identify", "PORT"},
        {"scan", "PORT", "--to", "15"},
        {"validate", "01DI0", "02AO3", "03CK2", "0aai3", "05XX1", "01AI10"},
        {"read", "PORT", "01DI0", "01DIB", "02AI5", "02AO2", "03CK0", "03CK1", "03CK2"},
        {"--json", "read", "PORT", "--all", "02AI0"},
        {"read", "PORT", "-t", "20", "09AI0"},
        {"write", "PORT", "02AO3", "2048"},
        {"write", "PORT", "01DO4", "on"},
        {"write", "PORT", "02AI1", "5"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ProgramRun native = RunNative(args);
        const ProgramRun wine = RunUnderWine(args);
        EXPECT_FALSE(native.out.empty());
        EXPECT_EQ(wine.exitCode, native.exitCode) << wine.err;
        EXPECT_EQ(wine.out, native.out);
        EXPECT_EQ(wine.err, native.err);
    }
}

// What only Windows says: no trace without a pseudo-terminal, Windows' own
// reason for a port that does not open, and the Linux-only commands' reason
// whatever options they are given.
TEST(PlexerUnderWine, SaysWhatWindowsCannotDo) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* reason;
    } cases[] = {
        {{"read", "--trace", "PORT", "02AI5"}, 2, "plexer: --trace works on Linux only"},
        {{"read", "COM9", "02AI5"}, 3, "plexer: port COM9 does not exist"},
        {{"gateway", "PORT", "--points", "05AI0", "--http", "none"}, 2, "plexer: gateway runs on Linux only"},
        {{"history", "--from", "-2h", "line.db"}, 2, "plexer: history runs on Linux only"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ProgramRun run = RunUnderWine(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace plexer::test
