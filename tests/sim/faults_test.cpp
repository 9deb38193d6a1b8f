// Line realism and injected faults, observed from the driver's end of the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>

#include "sim_fixture.h"
#include "sim_test_support.h"

namespace qsn::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kStatusFrame = CommandFrame(kDigital, 'M');
const std::string kStatus = DataReply("0A0F");  // checksum E7

struct FaultCase {
    const char* name;
    std::function<void(sim::FaultSettings&)> set;
    std::string frame;
    std::function<void(const std::string&)> check;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, ShapesTheReply) {
    sim::SimOptions options = TestRack();
    GetParam().set(options.line.faults);
    SimThread sim(options);
    RawPort port(sim.SlavePath());
    port.Send(GetParam().frame);
    GetParam().check(port.Read(300ms, 4096));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"Silence", [](sim::FaultSettings& f) { f.silence = 1; }, kStatusFrame,
                  [](const std::string& r) { EXPECT_EQ(r, ""); }},
        FaultCase{"ErrorReply",
                  [](sim::FaultSettings& f) {
                      f.errorReply = 1;
                      f.errorCode = "06";
                  },
                  kStatusFrame, [](const std::string& r) { EXPECT_EQ(r, "N06\r"); }},
        FaultCase{"BadChecksum", [](sim::FaultSettings& f) { f.badChecksum = 1; }, kStatusFrame,
                  [](const std::string& r) { EXPECT_EQ(r, "A0A0FE8\r"); }},
        FaultCase{"BadChecksumLeavesBareAcknowledgement",
                  [](sim::FaultSettings& f) { f.badChecksum = 1; }, CommandFrame(kDigital, 'A'),
                  [](const std::string& r) { EXPECT_EQ(r, "A\r"); }},
        FaultCase{"LowerCaseChecksum", [](sim::FaultSettings& f) { f.lowercaseChecksum = 1; },
                  kStatusFrame, [](const std::string& r) { EXPECT_EQ(r, "A0A0Fe7\r"); }},
        FaultCase{"CutBeforeCarriageReturn", [](sim::FaultSettings& f) { f.truncate = 1; },
                  kStatusFrame, [](const std::string& r) { EXPECT_EQ(r, "A0A0FE7"); }},
        FaultCase{"Babble", [](sim::FaultSettings& f) { f.babble = 1; }, kStatusFrame,
                  [](const std::string& r) {
                      EXPECT_GT(r.size(), 1000u);
                      EXPECT_EQ(r.find('\r'), std::string::npos);
                  }},
        FaultCase{"EveryCharacterDropped", [](sim::FaultSettings& f) { f.dropRate = 1; },
                  kStatusFrame, [](const std::string& r) { EXPECT_EQ(r, ""); }},
        FaultCase{"EveryCharacterCorrupted", [](sim::FaultSettings& f) { f.corruptRate = 1; },
                  kStatusFrame,
                  [](const std::string& r) {
                      // The CR is corrupted too, so the read ends on silence.
                      ASSERT_EQ(r.size(), kStatus.size());
                      for (std::size_t i = 0; i < r.size(); ++i) {
                          const auto flipped = static_cast<unsigned>(r[i] ^ kStatus[i]);
                          EXPECT_EQ(std::popcount(flipped), 1) << i;
                          EXPECT_LT(static_cast<unsigned char>(r[i]), 0x80) << i;
                      }
                  }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(UnitFaults, ApplyToTheirUnitOnly) {
    sim::SimOptions options = TestRack();
    options.units[0].faults = sim::FaultSettings{};
    options.units[0].faults->silence = 1;  // the analog unit
    SimThread sim(options);
    RawPort port(sim.SlavePath());
    EXPECT_EQ(port.Exchange(CommandFrame(kAnalog, 'L', "0001")), "");
    EXPECT_EQ(port.Exchange(kStatusFrame), kStatus);
}

// Replies to the same frames, on a line that drops and corrupts characters.
std::vector<std::string> NoisyReplies(std::uint64_t seed) {
    sim::SimOptions options = TestRack();
    options.line.seed = seed;
    options.line.faults.dropRate = 0.05;
    options.line.faults.corruptRate = 0.05;
    options.line.faults.errorReply = 0.1;
    SimThread sim(options);
    RawPort port(sim.SlavePath());
    std::vector<std::string> replies;
    for (int i = 0; i < 16; ++i) replies.push_back(port.Exchange(kStatusFrame, 500ms));
    return replies;
}

TEST(SeededFaults, RepeatWithTheSameSeedAndDifferWithAnother) {
    const auto first = NoisyReplies(42);
    EXPECT_EQ(first, NoisyReplies(42));
    EXPECT_NE(first, NoisyReplies(43));
    // The faults did strike, and not every time.
    const auto intact = std::count(first.begin(), first.end(), kStatus);
    EXPECT_GT(intact, 0);
    EXPECT_LT(intact, 16);
}

struct PacingCase {
    const char* name;
    unsigned baud;
    double turnaroundMs;
    std::string frame;
    std::size_t replyLength;
};

void PrintTo(const PacingCase& c, std::ostream* out) { *out << c.name; }

class PacingTest : public ::testing::TestWithParam<PacingCase> {};

// The frame's own wire time, the turnaround, then the reply's wire time. The
// bounds are loose: only a missing or doubled delay should fail.
TEST_P(PacingTest, TakesTheWireTimeOfFrameAndReply) {
    const PacingCase& c = GetParam();
    sim::SimOptions options = TestRack();
    options.line.baud = c.baud;
    options.line.turnaroundMs = c.turnaroundMs;
    SimThread sim(options);
    RawPort port(sim.SlavePath());
    const auto start = Clock::now();
    port.Send(c.frame);
    const std::string reply = port.Read(2000ms);
    const double measuredMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ASSERT_EQ(reply.size(), c.replyLength) << reply;
    const double characterMs = c.baud == 0 ? 0 : 10000.0 / c.baud;
    const double modelMs =
        static_cast<double>(c.frame.size() + c.replyLength) * characterMs + c.turnaroundMs;
    EXPECT_GE(measuredMs, 0.9 * modelMs);
    EXPECT_LE(measuredMs, modelMs * 1.5 + 1000);  // a busy machine only ever adds
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PacingTest,
    ::testing::Values(PacingCase{"Unpaced", 0, 0, CommandFrame(kAnalog, 'L', "FFFF"), 68},
                      PacingCase{"PowerUpClearAt1200", 1200, 0, CommandFrame(kDigital, 'A'), 2},
                      PacingCase{"GroupReadAt2400", 2400, 0, CommandFrame(kAnalog, 'L', "FFFF"),
                                 68},
                      PacingCase{"TurnaroundAt9600", 9600, 120, CommandFrame(kDigital, 'M'), 8}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Pacing, CharactersArriveOneWireTimeApart) {
    sim::SimOptions options = TestRack();
    options.line.baud = 300;  // 33 ms a character
    SimThread sim(options);
    RawPort port(sim.SlavePath());
    port.Send(CommandFrame(kDigital, 'M'));
    EXPECT_EQ(port.Read(2000ms, 1), "A");
    const auto first = Clock::now();
    EXPECT_EQ(port.Read(2000ms), "0A0FE7\r");
    const double restMs = std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    EXPECT_GE(restMs, 0.9 * 7 * 1000.0 / 30);
}

}  // namespace
}  // namespace qsn::test
