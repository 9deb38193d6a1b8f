// The poller over a scripted driver: which frames each cycle asks for, where
// the values of a whole-unit read land, demotion and its back-off, writes
// sharing the line with polls, and the stop; then over the real driver, a
// line whose simulator is killed and started again.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "poller.h"
#include "verdict.h"
#include "session.h"
#include "sim_fixture.h"

namespace plexer {
namespace {

using namespace std::chrono_literals;

// The driver's side: each read or write is recorded, silent units fail with 2,
// a negative value is refused before the line.
struct FakeLine {
    std::set<std::int32_t> silent;
    std::vector<std::string> calls;
    std::int16_t status = 0x0021;  // digital units: positions 0 and 5 on
    std::optional<std::promise<void>> writeStarted;  // set when the next write begins
    std::shared_future<void> writesMayEnd;           // writes wait for it when valid
};
FakeLine* line = nullptr;

std::string Hex2(std::int32_t unit) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(unit));
    return text;
}

std::int32_t FakeWrite(const PointBlock& block) {
    line->calls.push_back("write " + std::string(block.gas) + "=" + std::to_string(block.values[1]));
    if (line->writeStarted) {
        line->writeStarted->set_value();
        line->writeStarted.reset();
    }
    if (line->writesMayEnd.valid()) line->writesMayEnd.wait();
    if (block.values[1] < 0) return QSN_FAILED;
    return line->silent.contains(block.unit) ? QSN_NO_LINE : QSN_OK;
}

std::int32_t QSN_CALL FakeMain(RequestBlock* request) {
    if (request->command == QSN_IDENTIFY) {
        static_cast<IdentBlock*>(request->params)->contextSize = QSN_CONTEXT_SIZE;
        return QSN_OK;
    }
    auto* block = static_cast<PointBlock*>(request->params);
    if (request->command == QSN_WRITE) return FakeWrite(*block);
    const std::int32_t unit = block->unit;
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

using Calls = std::vector<std::string>;

class PollerTest : public ::testing::Test {
protected:
    PollerTest() : log_(LogSettings{}), host_(&FakeMain, log_, false) { line = &fake_; }
    ~PollerTest() override { line = nullptr; }

    std::unique_ptr<Poller> Make(const std::vector<std::string>& gases, PollerOptions options = Quick()) {
        std::vector<Gate> gates;
        for (const std::string& gas : gases) gates.push_back(GateOf(gas));
        return std::make_unique<Poller>(host_, gates, options);
    }
    static PollerOptions Quick() {
        PollerOptions options;
        options.interval = 0ms;
        return options;
    }
    // The calls of each of `count` cycles; `each` sees the poller after every cycle.
    std::vector<Calls> Cycles(Poller& poller, long count, const std::function<void(long)>& each = {}) {
        std::vector<Calls> cycles;
        fake_.calls.clear();
        poller.Run([&](long cycle) {
            cycles.push_back(std::exchange(fake_.calls, {}));
            if (each) each(cycle);
            if (cycle >= count) poller.Stop();
        });
        return cycles;
    }

    FakeLine fake_;
    LogView log_;
    Host host_;
};

TEST_F(PollerTest, ReadsEachUnitAndFamilyOnceAndSplitsTheValues) {
    auto poller = Make({"05AI1", "01DI0", "05AI3", "05AO2", "01DI1", "01DI5", "0BCK0", "0BCK1"});
    // Probes are configured by a read of their own point, so temperatures go singly first.
    EXPECT_EQ(Cycles(*poller, 2), (std::vector<Calls>{{"group 05", "point 05AO2", "group 01", "point 0BCK0", "point 0BCK1"},
                                                      {"group 05", "point 05AO2", "group 01", "group 0B"}}));
    const std::map<std::string, std::int16_t> expected = {{"05AI1", 2001}, {"05AI3", 2003}, {"05AO2", 1002},
                                                          {"01DI0", 1},    {"01DI1", 0},    {"01DI5", 1},
                                                          {"0BCK0", 2000}, {"0BCK1", 2001}};
    std::vector<std::size_t> all(poller->Gates().size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<Verdict> verdicts(all.size());
    poller->Judge(all, [](std::size_t) { return std::nullopt; }, PollClock::now(), verdicts);
    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(poller->Gates()[i].gas);
        EXPECT_EQ(verdicts[i].counts, expected.at(poller->Gates()[i].gas));
        EXPECT_TRUE(verdicts[i].age.has_value());
    }
    const std::vector<UnitHealth> units = poller->Units();
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].unit, 5);
    EXPECT_EQ(units[0].counters.transactions, 4);
    EXPECT_EQ(units[2].counters.transactions, 3);
}

// Each demotion as it began: the failed polls in a row behind it and its length.
struct Demotion {
    int failedInRow = 0;
    std::chrono::milliseconds period{0};
    bool operator==(const Demotion&) const = default;
};

TEST_F(PollerTest, ASilentUnitIsSetAsideForLongerEachTimeUntilItAnswers) {
    struct Case {
        const char* name;
        long answersFor;        // cycles the unit answers before it falls silent
        int answerAfter;        // demotions after which it answers once more; -1: never
        std::vector<Demotion> expected;
    };
    const std::vector<Case> cases = {
        {"never answered: the first failure sets it aside", 0, -1, {{1, 20ms}, {2, 40ms}, {3, 80ms}, {4, 80ms}}},
        {"answered once: three failures in a row", 1, -1, {{3, 20ms}, {4, 40ms}, {5, 80ms}}},
        {"an answer starts the back-off again", 0, 2, {{1, 20ms}, {2, 40ms}, {3, 20ms}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PollerOptions options = Quick();
        options.interval = 5ms;
        options.demotedFor = 20ms;
        options.demotedForMost = 80ms;
        auto poller = Make({"30AI1"}, options);
        fake_.silent.clear();
        if (c.answersFor == 0) fake_.silent = {0x30};
        std::vector<Demotion> seen;
        std::optional<PollClock::time_point> until;
        Cycles(*poller, 1000, [&](long cycle) {
            const UnitHealth unit = poller->Units()[0];
            if (cycle == c.answersFor) fake_.silent = {0x30};
            if (unit.lastResult == QSN_OK && static_cast<int>(seen.size()) == c.answerAfter) fake_.silent = {0x30};
            if (unit.demotedUntil && unit.demotedUntil != until) {
                seen.push_back({unit.failedInRow, unit.demotedFor});
                if (static_cast<int>(seen.size()) == c.answerAfter) fake_.silent.clear();
            }
            until = unit.demotedUntil;
            if (seen.size() == c.expected.size()) poller->Stop();
        });
        EXPECT_EQ(seen, c.expected);
    }
}

// A storm of writes: at most four between two reads, in order; one the
// driver refuses before the line is no failure of the unit; a unit set aside
// refuses writes at once.
TEST_F(PollerTest, WritesShareTheLineWithPolls) {
    fake_.silent = {0x30};
    auto poller = Make({"05AI1", "06AI1", "30AI1"});
    std::vector<std::future<WriteOutcome>> storm;
    for (int value = 1; value <= 12; ++value) storm.push_back(poller->Write(GateOf("05AO2"), static_cast<std::int16_t>(value)));
    std::future<WriteOutcome> refused = poller->Write(GateOf("05AO2"), -1);
    std::optional<WriteOutcome> demoted;
    const std::vector<Calls> cycles = Cycles(*poller, 3, [&](long cycle) {
        if (cycle != 2) return;
        EXPECT_TRUE(poller->Unit(0x30)->demotedUntil.has_value());
        poller->Submit(GateOf("30AO2"), 1, [&](const WriteOutcome& outcome) { demoted = outcome; });
        EXPECT_TRUE(demoted.has_value());  // answered before Submit returned
    });

    Calls calls;
    for (const Calls& cycle : cycles) calls.insert(calls.end(), cycle.begin(), cycle.end());
    int inARow = 0;
    int most = 0;
    std::vector<std::string> written;
    for (const std::string& call : calls) {
        inARow = call.starts_with("write") ? inARow + 1 : 0;
        most = std::max(most, inARow);
        if (call.starts_with("write")) written.push_back(call);
    }
    EXPECT_EQ(most, 4) << testing::PrintToString(calls);
    ASSERT_EQ(written.size(), 13u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(written[static_cast<std::size_t>(i)], "write 05AO2=" + std::to_string(i + 1));
    for (auto& outcome : storm) EXPECT_EQ(outcome.get().fate, WriteFate::kWritten);
    const WriteOutcome client = refused.get();
    EXPECT_EQ(client.fate, WriteFate::kFailed);
    EXPECT_EQ(client.result, QSN_FAILED);
    const std::optional<UnitHealth> unit5 = poller->Unit(5);
    EXPECT_EQ(unit5->counters.failures, 0);
    EXPECT_EQ(unit5->counters.transactions, 3 + 12);
    ASSERT_TRUE(demoted.has_value());
    EXPECT_EQ(demoted->fate, WriteFate::kUnavailable);
}

// A stop ends the write on the line; queued writes run until the drain
// deadline, the rest are answered as not done. An idle poller stops at once.
TEST_F(PollerTest, AStopFinishesTheWriteOnTheLineAndDrainsTheQueueUntilItsDeadline) {
    struct Case {
        std::chrono::milliseconds drain;
        WriteFate queued;
    };
    for (const Case c : {Case{0ms, WriteFate::kNotDone}, Case{10s, WriteFate::kWritten}}) {
        SCOPED_TRACE(c.drain.count());
        PollerOptions options = Quick();
        options.interval = 1h;  // after the first cycle only writes and the stop wake it
        auto poller = Make({"05AI1"}, options);
        std::promise<void> firstCycle;
        std::thread runner([&] { poller->Run([&](long cycle) { if (cycle == 1) firstCycle.set_value(); }); });
        firstCycle.get_future().wait();

        std::promise<void> mayEnd;
        fake_.writesMayEnd = mayEnd.get_future().share();
        fake_.writeStarted.emplace();
        std::future<void> started = fake_.writeStarted->get_future();
        std::future<WriteOutcome> onTheLine = poller->Write(GateOf("05AO2"), 1);
        started.wait();
        std::vector<std::future<WriteOutcome>> queued;
        for (int value = 2; value <= 4; ++value) queued.push_back(poller->Write(GateOf("05AO2"), static_cast<std::int16_t>(value)));
        poller->Stop(c.drain);
        mayEnd.set_value();
        runner.join();
        fake_.writesMayEnd = {};
        EXPECT_EQ(onTheLine.get().fate, WriteFate::kWritten);
        for (auto& outcome : queued) EXPECT_EQ(outcome.get().fate, c.queued);
        EXPECT_EQ(poller->Write(GateOf("05AO2"), 5).get().fate, WriteFate::kNotDone);
    }

    PollerOptions options = Quick();
    options.interval = 1h;
    auto idle = Make({"05AI1"}, options);
    std::promise<void> firstCycle;
    std::thread runner([&] { idle->Run([&](long cycle) { if (cycle == 1) firstCycle.set_value(); }); });
    firstCycle.get_future().wait();
    const auto start = PollClock::now();
    idle->Stop();
    runner.join();
    EXPECT_LT(PollClock::now() - start, 30s);  // not the hour the interval has left
}

// The real driver on a simulator behind a link: the simulator is killed and
// started again on the same link; the poller closes the line, reopens it on
// the new device and says so once each way.
TEST(PollerLineTest, TheLineComesBackWhenItsDeviceDoes) {
    const std::string link = testing::TempDir() + "poller_line_" + std::to_string(getpid());
    const std::vector<std::string> simArgs = {"--link", link, "--unit", "5:analog", "--cleared"};
    auto sim = std::make_unique<qsn::test::SimProcess>(simArgs);
    GlobalOptions global;
    global.driverPath = QSN_DRIVER;
    global.quiet = true;
    Session session(global);
    LineOptions lineOptions;
    lineOptions.port = link;
    lineOptions.timeoutMs = 50;
    session.StartLine(lineOptions, 500);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> notes;
    PollerOptions options;
    options.interval = 100ms;
    options.device = session.Device();
    options.note = [&](const std::string& text) {
        const std::lock_guard lock(mutex);
        notes.push_back(text);
    };
    const Gate absent = session.Driver().Validate("0EAI1").gate;
    Poller poller(session.Driver(), {session.Driver().Validate("05AI1").gate}, options);
    std::thread runner([&] { poller.Run([&](long) { changed.notify_all(); }); });
    const auto until = [&](const std::function<bool()>& done, std::chrono::seconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, done);
    };
    const auto value = [&] {
        Verdict verdict;
        poller.Judge(std::vector<std::size_t>{0}, [](std::size_t) { return std::nullopt; }, PollClock::now(),
                     std::span(&verdict, 1));
        return verdict.counts;
    };

    EXPECT_TRUE(until([&] { return value().has_value(); }, 10s));
    sim->Stop(SIGKILL);
    EXPECT_TRUE(until([&] { return !poller.Line().up; }, 10s));
    EXPECT_FALSE(value().has_value());
    sim = std::make_unique<qsn::test::SimProcess>(simArgs);
    const auto restarted = PollClock::now();
    EXPECT_TRUE(until([&] { return value().has_value(); }, 10s));
    EXPECT_LT(PollClock::now() - restarted, 5s);
    poller.Stop();
    runner.join();

    const LineHealth health = poller.Line();
    EXPECT_TRUE(health.up);
    EXPECT_EQ(health.recoveries, 1);
    ASSERT_EQ(notes.size(), 2u) << testing::PrintToString(notes);
    EXPECT_TRUE(notes[0].starts_with("line lost: " + link)) << notes[0];
    EXPECT_TRUE(notes[1].starts_with("line back")) << notes[1];
    // The host's 50 ms time-out holds again: three silent attempts and two
    // pauses take about 1.2 s, against 4 s at the 1000 ms a bare reopening leaves.
    const auto asked = PollClock::now();
    EXPECT_NE(session.Driver().Read(absent, false).result, QSN_OK);
    EXPECT_LT(PollClock::now() - asked, 3s);
}

}  // namespace
}  // namespace plexer
