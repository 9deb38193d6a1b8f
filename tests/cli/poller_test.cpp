// The poller over a scripted driver: which frames each cycle asks for, where
// the values of a whole-unit read land, the demotion rule and the write queue.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "poller.h"

namespace plexer {
namespace {

// The driver's side: each read or write is recorded, silent units fail with 2.
struct FakeLine {
    std::set<std::int32_t> silent;
    std::vector<std::string> calls;
    std::int16_t status = 0x0021;  // digital units: positions 0 and 5 on
};
FakeLine* line = nullptr;

std::string Hex2(std::int32_t unit) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(unit));
    return text;
}

std::int32_t QSN_CALL FakeMain(RequestBlock* request) {
    if (request->command == QSN_IDENTIFY) {
        static_cast<IdentBlock*>(request->params)->contextSize = QSN_CONTEXT_SIZE;
        return QSN_OK;
    }
    auto* block = static_cast<PointBlock*>(request->params);
    const std::int32_t unit = block->unit;
    if (request->command == QSN_WRITE) {
        line->calls.push_back("write " + std::string(block->gas) + "=" + std::to_string(block->values[1]));
        return line->silent.contains(unit) ? QSN_NO_LINE : QSN_OK;
    }
    const bool whole = block->count != 1;
    line->calls.push_back((whole ? "group " : "point ") + std::string(whole ? Hex2(unit) : block->gas));
    if (line->silent.contains(unit)) return QSN_NO_LINE;
    const bool digital = block->dataKind == 6;
    if (!whole) {
        const std::int32_t position = digital ? block->bitNumber : block->pointAddress - unit * 100 - 1;
        block->values[1] = static_cast<std::int16_t>(digital ? (line->status >> position) & 1 : 1000 + position);
    } else if (digital) {
        block->values[0] = line->status;
    } else {
        for (int i = 0; i < 16; ++i) block->values[i] = static_cast<std::int16_t>(2000 + i);
    }
    return QSN_OK;
}

Gate GateOf(const std::string& gas) {
    Gate gate;
    gate.gas = gas;
    gate.unit = std::stoi(gas.substr(0, 2), nullptr, 16);
    const std::string type = gas.substr(2, 2);
    const int position = std::stoi(gas.substr(4, 1), nullptr, 16);
    gate.typeCode = type == "AI" ? 30 : type == "AO" ? 40 : type == "DI" ? 50 : type == "DO" ? 60 : 210;
    gate.dataKind = DataKindFor(gas);
    gate.pointAddress = gate.unit * 100 + (gate.dataKind == 6 ? 0 : position + 1);
    gate.pointIndex = gate.dataKind == 6 ? position : 255;
    return gate;
}

class PollerTest : public ::testing::Test {
protected:
    PollerTest() : log_(LogSettings{}), host_(&FakeMain, log_, false) { line = &fake_; }
    ~PollerTest() override { line = nullptr; }

    Poller Make(const std::vector<std::string>& gases, PollerOptions options = {}) {
        std::vector<Gate> gates;
        for (const std::string& gas : gases) gates.push_back(GateOf(gas));
        return Poller(host_, gates, options);
    }
    // The calls one cycle made.
    std::vector<std::string> Cycle(Poller& poller) {
        fake_.calls.clear();
        poller.Cycle(stop_);
        return fake_.calls;
    }

    FakeLine fake_;
    LogView log_;
    Host host_;
    std::atomic<bool> stop_{false};
};

using Calls = std::vector<std::string>;

TEST_F(PollerTest, ReadsEachUnitAndFamilyOnceAndSplitsTheValues) {
    Poller poller = Make({"05AI1", "01DI0", "05AI3", "05AO2", "01DI1", "01DI5", "0BCK0", "0BCK1"});
    // Probes are configured by a read of their own point, so temperatures go singly first.
    EXPECT_EQ(Cycle(poller), (Calls{"group 05", "point 05AO2", "group 01", "point 0BCK0", "point 0BCK1"}));
    EXPECT_EQ(Cycle(poller), (Calls{"group 05", "point 05AO2", "group 01", "group 0B"}));

    const std::map<std::string, std::int16_t> expected = {{"05AI1", 2001}, {"05AI3", 2003}, {"05AO2", 1002},
                                                          {"01DI0", 1},    {"01DI1", 0},    {"01DI5", 1},
                                                          {"0BCK0", 2000}, {"0BCK1", 2001}};
    for (const PointState& point : poller.Points()) {
        SCOPED_TRACE(point.gate.gas);
        EXPECT_EQ(point.value, expected.at(point.gate.gas));
        EXPECT_EQ(point.lastResult, QSN_OK);
        EXPECT_TRUE(point.lastGood.has_value());
    }
    const std::vector<UnitHealth> units = poller.Units();
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].unit, 5);
    EXPECT_EQ(units[0].counters.transactions, 4);
    EXPECT_EQ(units[2].counters.transactions, 3);
}

TEST_F(PollerTest, ASilentUnitIsSetAsideAfterFailedPollsInARow) {
    fake_.silent = {0x30};
    PollerOptions options;
    options.failuresToDemote = 3;
    options.demotedFor = std::chrono::hours(1);
    Poller poller = Make({"05AI1", "30AI1", "30DI0"}, options);
    // A unit that did not answer one read is not asked for its others in the same poll.
    for (int poll = 1; poll <= 3; ++poll) EXPECT_EQ(Cycle(poller), (Calls{"point 05AI1", "point 30AI1"})) << poll;
    EXPECT_EQ(Cycle(poller), (Calls{"point 05AI1"}));

    const std::vector<UnitHealth> units = poller.Units();
    EXPECT_FALSE(units[0].demotedUntil.has_value());
    EXPECT_TRUE(units[1].demotedUntil.has_value());
    EXPECT_EQ(units[1].counters.transactions, 3);
    EXPECT_EQ(units[1].counters.failures, 3);
    EXPECT_EQ(units[1].lastResult, QSN_NO_LINE);
    const std::vector<PointState> points = poller.Points();
    EXPECT_EQ(points[2].failures, 3);  // skipped with its unit, failed with it
    EXPECT_EQ(points[2].lastResult, QSN_NO_LINE);
}

TEST_F(PollerTest, ADemotedUnitGetsOneTryWhenItsTimeIsUp) {
    fake_.silent = {0x30};
    PollerOptions options;
    options.failuresToDemote = 2;
    options.demotedFor = std::chrono::milliseconds(0);  // its time is up at the next cycle
    Poller poller = Make({"30AI1"}, options);
    const auto demoted = [&] { return poller.Units()[0].demotedUntil.has_value(); };
    Cycle(poller);
    EXPECT_FALSE(demoted());
    Cycle(poller);
    EXPECT_TRUE(demoted());
    Cycle(poller);  // the try fails: demoted again at once
    EXPECT_TRUE(demoted());

    fake_.silent.clear();
    EXPECT_EQ(Cycle(poller), (Calls{"point 30AI1"}));
    EXPECT_FALSE(demoted());
    // Back in good standing, one failure is no longer enough.
    fake_.silent = {0x30};
    Cycle(poller);
    EXPECT_FALSE(demoted());
    Cycle(poller);
    EXPECT_TRUE(demoted());
}

TEST_F(PollerTest, WritesRunInArrivalOrderBetweenReadsAndAtTheStop) {
    fake_.silent = {0x06};
    PollerOptions options;
    options.interval = std::chrono::hours(1);  // after the first cycle only writes wake it
    Poller poller = Make({"05AI1"}, options);
    std::thread runner([&] { poller.Run(stop_); });
    while (poller.Points()[0].lastResult == std::nullopt) std::this_thread::yield();

    std::future<WriteOutcome> first = poller.Write(GateOf("05AO2"), 100);
    std::future<WriteOutcome> second = poller.Write(GateOf("06DO1"), 1);
    EXPECT_EQ(first.get().result, QSN_OK);
    const WriteOutcome failed = second.get();
    EXPECT_EQ(failed.result, QSN_NO_LINE);
    EXPECT_FALSE(failed.cause.empty());

    // Queued just before the stop: still written, in order.
    std::vector<std::future<WriteOutcome>> late;
    for (int value = 1; value <= 3; ++value) late.push_back(poller.Write(GateOf("05AO3"), static_cast<std::int16_t>(value)));
    stop_ = true;
    runner.join();
    for (auto& outcome : late) EXPECT_EQ(outcome.get().result, QSN_OK);
    const Calls writes(fake_.calls.end() - 5, fake_.calls.end());
    EXPECT_EQ(writes, (Calls{"write 05AO2=100", "write 06DO1=1", "write 05AO3=1", "write 05AO3=2", "write 05AO3=3"}));
    EXPECT_EQ(poller.Units()[0].counters.transactions, 5);  // its read and its four writes
}

TEST_F(PollerTest, StoppedItReadsNothingAndAnswersWritesNobodyRan) {
    std::future<WriteOutcome> outcome;
    {
        Poller poller = Make({"05AI1"});
        outcome = poller.Write(GateOf("05AO2"), 1);
        stop_ = true;
        EXPECT_TRUE(Cycle(poller).empty());
    }
    EXPECT_EQ(outcome.get().result, QSN_NO_LINE);
}

}  // namespace
}  // namespace plexer
