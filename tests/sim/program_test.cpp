// The simulator program: start-up, link, trace, signals and refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim_fixture.h"
#include "sim_test_support.h"

namespace qsn::test {
namespace {

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "sim_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

class StopSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalTest, ServesThroughItsLinkAndCleansUp) {
    const std::string link = TempPath("com5");
    SimProcess sim({"--unit", "0x05:analog", "--link", link});
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.SlavePath(), target);
    {
        RawPort port(link);
        EXPECT_EQ(port.Exchange(CommandFrame(5, 'L', "0001")), "N00\r");
        EXPECT_EQ(port.Exchange(CommandFrame(5, 'A')), "A\r");
        EXPECT_EQ(port.Exchange(CommandFrame(5, 'L', "0001")), DataReply("1000"));
    }
    EXPECT_EQ(sim.Stop(GetParam()), 0);
    EXPECT_FALSE(Exists(link));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT));

TEST(Program, StopsWhileAReplyIsStillOnTheWire) {
    SimProcess sim({"--unit", "1:digital", "--cleared", "--baud", "300", "--babble", "1"});
    RawPort port(sim.SlavePath());
    port.Send(CommandFrame(1, 'M'));  // 1200 characters at 300 baud: 40 s
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // not the 40 s the reply would take
}

TEST(Program, TracesEveryFrameWithItsChecksumState) {
    const std::string trace = TempPath("trace.log");
    SimProcess sim({"-u", "1:digital", "--cleared", "--trace", trace});
    {
        RawPort port(sim.SlavePath());
        port.Exchange(CommandFrame(1, 'M'));
        port.Exchange(">01MAF\r");
        port.Exchange(CommandFrame(9, 'A'), 100ms);
    }
    ASSERT_EQ(sim.Stop(), 0);
    const std::string text = ReadFile(trace);
    EXPECT_NE(text.find("RX \">01MAE\\r\" unit 01, checksum ok"), std::string::npos) << text;
    EXPECT_NE(text.find("TX \"A0000C0\\r\" checksum ok"), std::string::npos) << text;
    EXPECT_NE(text.find("RX \">01MAF\\r\" unit 01, checksum bad (expected AE)"), std::string::npos)
        << text;
    EXPECT_NE(text.find("TX \"N02\\r\" checksum none"), std::string::npos) << text;
    EXPECT_NE(text.find("unit 09, checksum ok, no such unit"), std::string::npos) << text;
    std::remove(trace.c_str());
}

TEST(Program, ConfigFileAndCommandLineCombine) {
    const std::string config = TempPath("line.json");
    std::ofstream(config)
        << R"({"units": [{"address": 2, "kind": "digital", "on": "00A5", "cleared": true,
                                           "faults": {"truncate": 1}}]})";
    SimProcess sim({"--config", config, "--unit", "3:digital", "--cleared", "--error-reply", "1"});
    RawPort port(sim.SlavePath());
    // Unit 2 adds the line's error replies to its own fault; unit 3 has the line's.
    EXPECT_EQ(port.Exchange(CommandFrame(2, 'M'), 1000ms), "N06");
    EXPECT_EQ(port.Exchange(CommandFrame(3, 'M')), "N06\r");
    std::remove(config.c_str());
}

// The sample rack of the documentation loads and serves every unit it describes.
TEST(Program, ServesTheSampleRack) {
    SimProcess sim({"--config", QSN_SIM_EXAMPLES "/rack.json"});
    RawPort port(sim.SlavePath());
    EXPECT_EQ(port.Exchange(CommandFrame(1, 'M')).substr(0, 1), "A");
    EXPECT_EQ(port.Exchange(CommandFrame(5, 'K', "0004")), DataReply("400"));
    EXPECT_EQ(port.Exchange(CommandFrame(0x0B, 'l', "0004")).substr(0, 1), "A");
    EXPECT_EQ(port.Exchange(CommandFrame(0x20, 'A')).substr(0, 1), "A");
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message;
};

void PrintTo(const Refusal& c, std::ostream* out) { *out << c.name; }

class RefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusalTest, ExitsWithAClearMessage) {
    const ProgramRun run = RunSimulatorToExit(GetParam().args);
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, RefusalTest,
    ::testing::Values(
        Refusal{"NoUnits", {}, 2, "no units"},
        Refusal{"UnknownKind", {"--unit", "5:pressure"}, 2, "units[0].kind: \"pressure\""},
        Refusal{"UnitWithoutKind", {"--unit", "5"}, 2, "expected ADDRESS:KIND"},
        Refusal{"AddressTooHigh", {"--unit", "300:analog"}, 2, "units[0].address"},
        // Option errors too exit 2, as plexer's, and say whose they are.
        Refusal{"ProbabilityAboveOne", {"--unit", "1:analog", "--silence", "2"}, 2, "optomux-sim: --silence"},
        Refusal{"MissingConfigFile", {"--config", "/nonexistent/sim.json"}, 2, "optomux-sim: --config"},
        Refusal{"UnknownOption", {"--unit", "1:analog", "--bogus"}, 2, "optomux-sim: The following argument"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Program, LeavesAFileAtTheLinkPathAlone) {
    const std::string path = TempPath("not_a_link");
    std::ofstream(path) << "keep me";
    const ProgramRun run = RunSimulatorToExit({"--unit", "1:analog", "--link", path});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("optomux-sim: " + path + " exists and is not a symbolic link"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(path), "keep me");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace qsn::test
