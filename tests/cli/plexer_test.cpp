// plexer as an integrator runs it: each test puts the simulator's rack on a
// fresh pseudo-terminal and runs the built program against it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "../sim/sim_test_support.h"
#include "plexer_run.h"

namespace plexer::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNoLine = 3;

// The rack of TestRack plus nothing at 0x30, which stays silent.
class PlexerTest : public ::testing::Test {
protected:
    PlexerTest() : rack_(qsn::test::TestRack()) {}

    ProgramRun Run(std::vector<std::string> args, std::chrono::milliseconds limit = 60s) {
        return RunPlexer(args, limit);
    }
    // The subcommand with the rack's port in front of its own arguments.
    ProgramRun OnLine(const std::string& subcommand, std::vector<std::string> rest, bool asJson = false) {
        std::vector<std::string> args;
        if (asJson) args.push_back("--json");
        args.insert(args.end(), {subcommand, Port()});
        args.insert(args.end(), rest.begin(), rest.end());
        return Run(args);
    }
    const std::string& Port() const { return rack_.SlavePath(); }

    static std::vector<json> Objects(const std::string& out) {
        std::vector<json> objects;
        for (const std::string& line : Lines(out)) objects.push_back(json::parse(line));
        return objects;
    }

private:
    qsn::test::SimThread rack_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(PlexerTest, ValidateDecodesEachGasOrGivesTheDriversReason) {
    struct Case {
        std::string gas;
        bool valid;
        std::string shown;
    };
    const Case cases[] = {
        {"05AI3", true, "unit 0x05  AI analog input      type 30  class 10  point address 504  point index 255"},
        {"01di2", true, "unit 0x01  DI digital input     type 50  class 10  point address 100  point index 2"},
        {"0BCK2", true, "unit 0x0B  CK temperature input type 210  class 30  point address 1103"},
        {"FFDOF", true, "type 60  class 20  point address 25500  point index 15"},
        {"05XX1", false, "QSNDUT:Illegal gate type. GAS='05XX1'."},
        {"G5AI1", false, "QSNDUT:illegal Unit Address. GAS='G5AI1'."},
        {"05AIG", false, "QSNDUT:Illegal Module address. GAS='05AIG'."},
        {"05AI10", false, "refused without a message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gas);
        const ProgramRun run = Run({"validate", c.gas});
        EXPECT_EQ(run.exitCode, c.valid ? 0 : kFailed) << run.err;
        EXPECT_TRUE(Contains(run.out, c.shown)) << run.out;
        if (!c.valid) {
            EXPECT_TRUE(Contains(run.err, "GAS invalid (driver result 1)")) << run.err;
        }
    }
}

TEST_F(PlexerTest, ValidateAsJsonGivesOneObjectPerGas) {
    const ProgramRun run = Run({"--json", "validate", "0aai3", "01XX1"});
    EXPECT_EQ(run.exitCode, kFailed);
    const std::vector<json> objects = Objects(run.out);
    ASSERT_EQ(objects.size(), 2u) << run.out;
    EXPECT_EQ(objects[0]["valid"], true);
    EXPECT_EQ(objects[0]["unit"], 10);
    EXPECT_EQ(objects[0]["typeCode"], 30);
    EXPECT_EQ(objects[0]["pointAddress"], 1004);
    EXPECT_EQ(objects[0]["pointIndex"], 255);
    EXPECT_EQ(objects[1]["valid"], false);
    EXPECT_EQ(objects[1]["result"], 1);
    EXPECT_EQ(objects[1]["reason"], "QSNDUT:Illegal gate type. GAS='01XX1'.");
}

TEST_F(PlexerTest, ReadShowsValuesWithTheirUnits) {
    const ProgramRun run = OnLine("read", {"05AI5", "05AO2", "01DI0", "01DI4", "01DIB", "0BCK0", "0BCK1", "20DI0"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> expected = {"05AI5  1285 counts  31.4 %",
                                               "05AO2  291 counts  7.1 %",
                                               "01DI0  on",
                                               "01DI4  off",
                                               "01DIB  on",
                                               "0BCK0  25 °C",
                                               "0BCK1  -1 °C",
                                               "20DI0  on"};
    EXPECT_EQ(Lines(run.out), expected);
    EXPECT_TRUE(Contains(run.err, "[32] QSNDUT: duTec Driver, loaded successfully.")) << run.err;
}

TEST_F(PlexerTest, ReadAsJsonCarriesValueAndUnit) {
    const ProgramRun run = OnLine("read", {"05AI5", "01DI0", "0BCK0"}, true);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0],
              json::parse(R"({"gas":"05AI5","unit":5,"ok":true,"value":1285,"units":"counts","percent":31.4})"));
    EXPECT_EQ(objects[1], json::parse(R"({"gas":"01DI0","unit":1,"ok":true,"value":1,"state":"on"})"));
    EXPECT_EQ(objects[2], json::parse(R"({"gas":"0BCK0","unit":11,"ok":true,"value":25,"units":"degC"})"));
}

TEST_F(PlexerTest, ReadAllGivesEverySixteenPointsOfTheUnit) {
    const ProgramRun analog = OnLine("read", {"--all", "05AI0"});
    EXPECT_EQ(analog.exitCode, 1) << analog.err;  // the unit answered '?' for some positions
    const std::vector<std::string> lines = Lines(analog.out);
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[5], "05AI5  1285 counts  31.4 %");
    EXPECT_EQ(lines[15], "05AIF  3855 counts  94.1 %");
    // Positions 2 and 3 hold outputs: the unit answers "????", the driver says so
    // for the unit's gate and stores 0, so no value of 0 is taken as a reading.
    EXPECT_EQ(lines[2].rfind("05AI2  failed: suspect: the unit answered '?'", 0), 0u) << lines[2];
    // Said once for both positions, with a count for the repeat.
    const std::vector<std::string> err = Lines(analog.err);
    EXPECT_EQ(std::count(err.begin(), err.end(), "[8] QSNDUT: Analog I/O not configured! Gate = 05AI0"), 2)
        << analog.err;

    const ProgramRun digital = OnLine("read", {"--all", "01DI0"}, true);
    ASSERT_EQ(digital.exitCode, 0) << digital.err;
    const std::vector<json> bits = Objects(digital.out);
    ASSERT_EQ(bits.size(), 16u);
    std::string states;
    for (const json& bit : bits) states += bit["state"] == "on" ? '1' : '0';
    EXPECT_EQ(states, "1111000001010000");  // 0x0A0F, position 0 first
    EXPECT_EQ(bits[11]["gas"], "01DIB");
}

TEST_F(PlexerTest, WriteReachesTheOutputsItNames) {
    struct Case {
        std::string gas;
        std::string value;
        std::string written;
        std::string readBack;
    };
    const Case cases[] = {
        {"05AO3", "1000", "05AO3  written: 1000 counts  24.4 %", "05AO3  1000 counts  24.4 %"},
        {"05AO2", "50%", "05AO2  written: 2048 counts  50.0 %", "05AO2  2048 counts  50.0 %"},
        {"01DO5", "on", "01DO5  written: on", "01DO5  on"},
        {"01DO5", "off", "01DO5  written: off", "01DO5  off"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gas + " " + c.value);
        const ProgramRun write = OnLine("write", {c.gas, c.value});
        EXPECT_EQ(write.exitCode, 0) << write.err;
        EXPECT_EQ(write.out, c.written + "\n");
        const ProgramRun read = OnLine("read", {c.gas});
        EXPECT_EQ(read.out, c.readBack + "\n");
    }
}

TEST_F(PlexerTest, RefusedWritesFailWithTheDriversReason) {
    struct Case {
        std::string gas;
        std::string value;
        int exitCode;
        std::string reason;
    };
    const Case cases[] = {
        {"05AI1", "100", kFailed, "driver result 1): QSNDUT: Write failed! Gate 05AI1 is read-only."},
        // Out of range is told before the line is opened, in counts and in percent alike.
        {"05AO2", "4096", kUsage, "value 4096 for 05AO2: expected a count from 0 to 4095"},
        {"05AO2", "-1", kUsage, "value -1 for 05AO2"},
        {"05AO2", "101%", kUsage, "value 101% for 05AO2"},
        {"05AO2", "lots", kUsage, "value lots for 05AO2: expected a count"},
        {"05AO2", "99999", kUsage, "value 99999 for 05AO2"},
        {"01DO4", "maybe", kUsage, "expected on or off"},
        {"05ZZ2", "1", kFailed, "Illegal gate type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gas + " " + c.value);
        const ProgramRun run = OnLine("write", {c.gas, c.value});
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(Contains(run.err, c.reason)) << run.err;
        if (c.exitCode == kUsage) {
            EXPECT_FALSE(Contains(run.err, "loaded successfully")) << "the line was opened";
        }
    }
}

TEST_F(PlexerTest, BadArgumentsGetAUsageMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{}, ""},
        {{"frobnicate"}, "unknown subcommand frobnicate"},
        {{"-v", "frob", "pts/1"}, "unknown subcommand frob"},
        {{"read"}, ""},
        {{"read", "-p", "pts/1"}, ""},
        {{"read", "-b", "115200", "pts/1", "05AI1"}, "baud rate 115200 is not one the port can take; these are: 50,"},
        {{"read", "-b", "12345", "pts/1", "05AI1"}, "9600, 19200, 38400, 57600"},
        {{"read", "-P", "sometimes", "pts/1", "05AI1"}, ""},
        {{"read", "-s", "3", "pts/1", "05AI1"}, ""},
        {{"read", "--bogus", "pts/1", "05AI1"}, ""},
        {{"read", "-1", "pts/1", "05AI1"}, "-1 is not an option of read"},
        {{"write", "pts/1", "05AO1"}, ""},
        {{"write", "05AO1", "1"}, "no port given: 05AO1 is a gate address"},
        {{"read", "05AI1", "01DI0"}, "no port given: 05AI1"},
        {{"write", "pts/1", "05AO1", "1", "2"}, ""},
        {{"validate"}, ""},
        {{"scan", "pts/1", "--from", "300"}, ""},
        {{"scan", "pts/1", "--from", "9", "--to", "3"}, ""},
        {{"watch", "-l", "soon", "pts/1", "05AI1"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ProgramRun run = Run(c.args);
        EXPECT_EQ(run.exitCode, kUsage);
        EXPECT_TRUE(Contains(run.err, "Usage:")) << run.err;
        EXPECT_TRUE(Contains(run.err, c.reason)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

TEST_F(PlexerTest, VersionAndGateTypesNeedNoLine) {
    const ProgramRun version = Run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.starts_with("plexer ")) << version.out;

    const ProgramRun help = Run({"validate", "--help"});
    EXPECT_TRUE(Contains(help.out, "unit address in hex")) << help.out;

    const ProgramRun types = Run({"--json", "validate", "--types"});
    ASSERT_EQ(types.exitCode, 0) << types.err;
    const std::vector<json> objects = Objects(types.out);
    ASSERT_EQ(objects.size(), 31u);
    EXPECT_EQ(objects[1]["type"], "AO");
    EXPECT_TRUE(Contains(objects[1]["writes"], "S: counts")) << objects[1];
    EXPECT_EQ(objects[18]["type"], "CK");
    EXPECT_EQ(objects[18]["family"], "temperature input");
}

TEST_F(PlexerTest, HelpNamesEverySubcommand) {
    const ProgramRun run = Run({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* name : {"identify", "validate", "read", "write", "watch", "scan", "simulate", "demo"}) {
        EXPECT_TRUE(Contains(run.out, std::string("  ") + name + " ")) << name;
    }
}

TEST_F(PlexerTest, APortThatDoesNotOpenSaysWhy) {
    const std::string file = std::string(PLEXER_PROGRAM);
    const std::string directory = file.substr(0, file.rfind('/'));
    // Held as a plexer holds its line.
    const int held = open(Port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::string port;
        std::string reason;
    };
    const Case cases[] = {
        {"/dev/nonexist", "port /dev/nonexist does not exist"},
        {"/dev/null", "port /dev/null is not a terminal"},
        {file, "is a regular file, not a serial port"},
        {directory, "is a directory, not a serial port"},
        {Port(), "is busy: another program has it open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        const ProgramRun run = Run({"read", c.port, "05AI1"});
        EXPECT_EQ(run.exitCode, kNoLine);
        EXPECT_TRUE(Contains(run.err, c.reason)) << run.err;
        EXPECT_FALSE(Contains(run.err, "QSNDUT: Fail to open")) << "left to the driver";
    }
    close(held);

    const ProgramRun asJson = Run({"--json", "read", "/dev/nonexist", "05AI1"});
    EXPECT_EQ(asJson.exitCode, kNoLine);
    EXPECT_EQ(json::parse(asJson.out),
              json::parse(R"({"ok":false,"exit":3,"error":"port /dev/nonexist does not exist"})"));

    const ProgramRun noDriver = Run({"--driver", "/no/such/libqsnwndut.so", "validate", "05AI1"});
    EXPECT_EQ(noDriver.exitCode, kNoLine);
    EXPECT_TRUE(Contains(noDriver.err, "cannot load the driver /no/such/libqsnwndut.so")) << noDriver.err;
}

TEST_F(PlexerTest, ASilentUnitFailsAfterThreeAttempts) {
    const ProgramRun run = OnLine("read", {"-t", "10", "30AI0", "05AI5"});
    EXPECT_EQ(run.exitCode, kFailed);
    // The points that answer are still read.
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"30AI0  failed: no complete reply (driver result 2)",
                                                        "05AI5  1285 counts  31.4 %"}));
    const std::vector<std::string> err = Lines(run.err);
    EXPECT_EQ(std::count(err.begin(), err.end(), "[8] QSNDUT: Failed to read a character from PLC"), 3);
    EXPECT_EQ(err.back(),
              "plexer: read 30AI0: no complete reply (driver result 2): "
              "QSNDUT: Failed to read a character from PLC");

    const ProgramRun quiet = Run({"-q", "read", Port(), "-t", "10", "30AI0"});
    EXPECT_EQ(quiet.exitCode, kFailed);
    EXPECT_FALSE(Contains(quiet.err, "[8]")) << quiet.err;
    EXPECT_FALSE(Contains(quiet.err, "loaded successfully")) << quiet.err;
    EXPECT_TRUE(Contains(quiet.err, "[32] QSNDUT: Single Read failed! GAS=30AI0")) << quiet.err;
}

TEST_F(PlexerTest, IdentifyShowsTheBannerAndOpensTheLine) {
    const ProgramRun text = Run({"identify", "-p", Port()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    const std::vector<std::string> lines = Lines(text.out);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "duTec I/O Plexer family");
    EXPECT_TRUE(lines[1].starts_with("┌────")) << lines[1];
    EXPECT_TRUE(Contains(lines[3], "duTec I/O Plexer driver installed.")) << lines[3];
    EXPECT_TRUE(lines[6].starts_with("└────")) << lines[6];
    EXPECT_TRUE(Contains(text.out, "context size      9009 bytes"));
    EXPECT_TRUE(Contains(text.out, "default line      9600 baud, 8 data bits, 1 stop bit, no parity"));
    EXPECT_TRUE(Contains(text.out, Port() + " opened"));

    const ProgramRun verbose = Run({"-v", "identify", "-b", "19200", "-P", "even", "-t", "95", Port()});
    EXPECT_TRUE(Contains(verbose.err, "plexer: " + Port() + " 19200-8E1, time-out 100 ms")) << verbose.err;

    const ProgramRun asJson = Run({"--json", "identify"});
    ASSERT_EQ(asJson.exitCode, 0) << asJson.err;
    const json ident = json::parse(asJson.out);
    EXPECT_EQ(ident["contextSize"], 9009);
    EXPECT_EQ(ident["defaultSettings"], json::parse(R"({"baud":9600,"dataBits":8,"stopBits":"1","parity":"none"})"));
    EXPECT_EQ(ident["banner"].size(), 6u);
    EXPECT_FALSE(ident.contains("port"));
}

TEST_F(PlexerTest, WatchOncePollsEveryPointAndCountsRetries) {
    const ProgramRun run = OnLine("watch", {"-1", "-t", "10", "05AI5", "30DI0"}, true);
    EXPECT_EQ(run.exitCode, kFailed);
    // Set aside by that very poll, the unit is judged demoted, with what its read found.
    EXPECT_TRUE(Contains(run.err, "plexer: read 30DI0: unit 0x30 set aside after 1 failed poll: no complete reply"))
        << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_EQ(objects.size(), 3u) << run.out;
    EXPECT_EQ(objects[0]["value"], 1285);
    EXPECT_TRUE(objects[0]["time"].get<std::string>().ends_with("Z")) << objects[0];
    EXPECT_EQ(objects[1]["ok"], false);
    EXPECT_EQ(objects[1]["result"], 2);
    // Three attempts at the silent unit: two of them retries.
    EXPECT_EQ(objects[2]["transactions"], 2);
    EXPECT_EQ(objects[2]["failures"], 1);
    EXPECT_EQ(objects[2]["retries"], 2);
}

// Unit 0x30 has never answered: its first failed poll sets it aside (shown
// demoted from that poll on), and the others are polled every time.
TEST_F(PlexerTest, WatchSetsASilentUnitAsideAndFailsAsAHealthCheck) {
    const ProgramRun run = OnLine("watch", {"-n", "6", "-l", "50", "-t", "10", "05AI5", "30AI0"}, true);
    EXPECT_EQ(run.exitCode, kFailed);
    EXPECT_TRUE(Contains(run.err, "plexer: read 30AI0: unit 0x30 set aside after 1 failed poll")) << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_EQ(objects.size(), 13u) << run.out;
    for (std::size_t poll = 0; poll < 6; ++poll) {
        SCOPED_TRACE(poll + 1);
        EXPECT_EQ(objects[2 * poll]["status"], "ok");
        EXPECT_EQ(objects[2 * poll + 1]["status"], "demoted");
        EXPECT_EQ(objects[2 * poll + 1]["unit"], 0x30);
    }
    const json& silent = objects.back()["unitHealth"][1];
    EXPECT_EQ(silent["unit"], 0x30);
    EXPECT_EQ(silent["transactions"], 1);
    EXPECT_EQ(silent["demoted"], true);
    EXPECT_EQ(objects.back()["unitHealth"][0]["transactions"], 6);

    const ProgramRun healthy = OnLine("watch", {"-n", "2", "-l", "10", "05AI5"});
    EXPECT_EQ(healthy.exitCode, 0) << healthy.err;
}

// The second poll reads each unit and family with one frame: every value
// must land on its own point.
TEST_F(PlexerTest, WatchGroupReadsGiveEachPointItsOwnValue) {
    const std::vector<std::string> gases = {"05AI1", "05AI5", "05AO2", "05AO3", "01DI0",
                                            "01DI4", "01DIB", "0BCK0", "0BCK1"};
    std::vector<std::string> args = {"-n", "2", "-l", "10"};
    args.insert(args.end(), gases.begin(), gases.end());
    const ProgramRun run = OnLine("watch", args, true);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_EQ(objects.size(), 2 * gases.size() + 1) << run.out;
    const int expected[] = {257, 1285, 0x123, 0xABC, 1, 0, 1, 25, -1};
    for (std::size_t i = 0; i < gases.size(); ++i) {
        const json& second = objects[gases.size() + i];
        EXPECT_EQ(second["gas"], gases[i]);
        EXPECT_EQ(second["value"], expected[i]) << second;
        EXPECT_EQ(objects[i]["value"], expected[i]) << objects[i];
    }
}

// On a terminal 40 columns wide the live table is cut to fit: a line that
// wrapped would throw the redraw off, and the header would show up again
// (redrawn in place, an unchanged header is stepped over).
TEST_F(PlexerTest, WatchTableFitsANarrowTerminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 40;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(PLEXER_PROGRAM, PLEXER_PROGRAM, "watch", "-n", "2", "-l", "10", "-t", "10", Port().c_str(), "05AI5",
              "30AI0", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, static_cast<std::size_t>(n));
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), kFailed);

    // What is left of each line once the escape sequences are taken out.
    const std::regex escapes("\x1b\\[[0-9;]*[A-Za-z]|\r");
    const std::vector<std::string> lines = Lines(std::regex_replace(screen, escapes, ""));
    // The table's lines, from its first to its last; the driver's start-up
    // line before it and the counts at exit are plain lines.
    const auto begin =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("GAS "); });
    const auto end = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) {
                         return l.starts_with("poll ");
                     }).base();
    int headers = 0;
    for (auto line = begin; line < end; ++line) {
        if (line->starts_with("GAS ")) ++headers;
        EXPECT_LE(line->size(), 39u) << *line;
    }
    EXPECT_EQ(headers, 1) << screen;
    EXPECT_TRUE(Contains(screen, "poll 2: ")) << screen;
    EXPECT_TRUE(Contains(screen, "30AI0  -")) << screen;
}

TEST_F(PlexerTest, WatchAsCsvGivesAHeaderThenARowPerPointAndPoll) {
    const ProgramRun run = OnLine("watch", {"--csv", "-n", "2", "-l", "10", "-t", "10", "05AI5", "30AI0"});
    EXPECT_EQ(run.exitCode, kFailed);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines[0], "time,poll,gas,state,value,eu,failures,result,cause");
    EXPECT_TRUE(Contains(lines[1], ",1,05AI5,ok,1285,counts,0,0,")) << lines[1];
    EXPECT_TRUE(Contains(lines[2], ",1,30AI0,demoted,,counts,1,2,QSNDUT: ")) << lines[2];
    EXPECT_TRUE(Contains(lines[4], ",2,30AI0,demoted,,counts,1,2,")) << lines[4];

    EXPECT_EQ(Run({"--json", "watch", "--csv", Port(), "05AI5"}).exitCode, kUsage);
}

TEST_F(PlexerTest, WatchRedrawsUntilCtrlCThenGivesItsCounts) {
    const ProgramRun run = RunPlexer({"watch", "-l", "100", Port(), "01DI0", "0BCK0"}, 30s, 1500ms);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3u);
    const std::string& totals = lines[lines.size() - 3];  // then a line for each unit
    EXPECT_TRUE(totals.starts_with("transactions ")) << totals;
    EXPECT_TRUE(Contains(totals, ", failures 0, retries 0")) << totals;
    EXPECT_TRUE(lines.back().starts_with("unit 0x0B: transactions ")) << lines.back();
    const auto tables =
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("GAS "); });
    EXPECT_GE(tables, 3);
    EXPECT_TRUE(Contains(run.out, "0BCK0  25 °C")) << run.out;
}

TEST_F(PlexerTest, ScanFindsTheUnitsThatAnswerInSeconds) {
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = OnLine("scan", {"--to", "63"}, true);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back()["answering"], json::parse("[1, 5, 11, 32]"));
    EXPECT_EQ(objects.back()["scanned"], 64);
    EXPECT_LT(took, 30s);

    const ProgramRun none = OnLine("scan", {"--from", "40", "--to", "50"});
    EXPECT_EQ(none.exitCode, kFailed);
    EXPECT_TRUE(Contains(none.out, "0 of 11 addresses answer")) << none.out;
}

TEST_F(PlexerTest, ScanInterruptedSaysHowFarItGotAndExits130) {
    const ProgramRun run = RunPlexer({"--json", "scan", Port()}, 60s, 1s);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    const std::vector<json> objects = Objects(run.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back()["interrupted"], true);
    EXPECT_LT(objects.back()["scanned"], 256);
    EXPECT_EQ(objects.back()["total"], 256);

    const ProgramRun text = RunPlexer({"scan", Port()}, 60s, 1s);
    EXPECT_EQ(text.exitCode, 130);
    EXPECT_TRUE(Contains(text.out, "(interrupted after ")) << text.out;
}

// Every character the simulator sends has a bit flipped: unit 5 is there but
// never understood, which is not the same as absent.
TEST(PlexerScan, TellsGarbledRepliesFromSilence) {
    const qsn::test::SimProcess rack({"--unit", "5:analog", "--corrupt-rate", "1"});
    const ProgramRun run = RunPlexer({"--json", "scan", rack.SlavePath(), "--from", "4", "--to", "6"}, 30s);
    EXPECT_EQ(run.exitCode, kFailed);
    std::vector<json> objects;
    for (const std::string& line : Lines(run.out)) objects.push_back(json::parse(line));
    ASSERT_EQ(objects.size(), 2u) << run.out;
    EXPECT_EQ(objects[0]["unit"], 5);
    EXPECT_EQ(objects[0]["state"], "garbled");
    EXPECT_EQ(objects[1]["garbled"], json::parse("[5]"));
    EXPECT_EQ(objects[1]["answering"], json::parse("[]"));
    EXPECT_EQ(objects[1]["scanned"], 3);
}

TEST_F(PlexerTest, TraceShowsEveryFrameAndChangesNothing) {
    const std::vector<std::string> gases = {"05AI5", "01DO4", "0BCK0", "30AI0"};
    std::vector<std::string> plain = {"read", "-t", "20", Port()};
    plain.insert(plain.end(), gases.begin(), gases.end());
    const ProgramRun without = Run(plain);
    char folder[] = "/tmp/plexer-trace-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/trace.txt";
    std::vector<std::string> traced = plain;
    traced.insert(traced.begin() + 1, "--trace=" + file);
    const ProgramRun with = Run(traced);
    EXPECT_EQ(with.exitCode, without.exitCode);
    EXPECT_EQ(with.out, without.out);

    std::ifstream stream(file);
    const std::string trace((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    rmdir(folder);
    for (const char* line : {
             "-> >05L002073\\r  unit 05: read analog inputs, mask 0020",
             "<- A1505CB\\r  acknowledged, data 1505, checksum ok",
             "-> >01MAE\\r  unit 01: read digital points",
             "-> >0Bk00010503\\r  unit 0B: set temperature probe, mask 0001, probe code 05",
             // The silent unit: the read goes out, nothing comes back.
             "-> >30L000170\\r  unit 30: read analog inputs, mask 0001 (or switch that output off)",
         }) {
        EXPECT_TRUE(Contains(trace, line)) << line << "\n" << trace;
    }
}

TEST(PlexerDemo, RunsUnattendedToItsEnd) {
    const ProgramRun run = RunPlexer({"demo"}, 120s);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "Demo complete.")) << run.out;
    EXPECT_TRUE(Contains(run.err, "[32] QSNDUT: duTec Driver, loaded successfully.")) << run.err;
    // Its watch reads points that answer without a word: no line of an earlier step at its foot.
    EXPECT_TRUE(Contains(run.out, "last log line: -")) << run.out;
    EXPECT_FALSE(Contains(run.out, "last log line: [")) << run.out;
}

}  // namespace
}  // namespace plexer::test
