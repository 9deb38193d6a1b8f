// The core's rules that every face shares: one plan for a write, whichever
// face asks, and one logger that no face can flood.
#include <gtest/gtest.h>

#include "history_source.h"
#include "logger.h"
#include "write_plan.h"

namespace plexer::gateway {
namespace {

using namespace std::chrono_literals;
using Writes = std::vector<std::pair<std::size_t, std::int16_t>>;

Gate MakeGate(const std::string& gas, std::int32_t unit, std::int32_t typeCode) {
    Gate gate;
    gate.gas = gas;
    gate.unit = unit;
    gate.typeCode = typeCode;
    return gate;
}

// 05AI0, 05AO1 (0-10 bar), 01DO4, and 0BAO2 on a read-only unit.
Running Line(bool readOnly) {
    GatewayConfig config;
    config.readOnly = readOnly;
    Engineering engineering;
    engineering.points["05AO1"] = PointSettings{"", 0.0, 10.0, "bar", Serving::kScaled, 100};
    const std::vector<Gate> gates = {MakeGate("05AI0", 5, 30), MakeGate("05AO1", 5, 40), MakeGate("01DO4", 1, 60),
                                     MakeGate("0BAO2", 0x0B, 40)};
    return Running{config, PointMap(gates, UnitSettings{}, {{0x0B, UnitOverride{{}, true}}}, engineering)};
}

TEST(WritePlan, CheckedWholeAndMergedToTheLastValueOfEachPoint) {
    struct Case {
        const char* what;
        bool readOnly;
        std::vector<WriteItem> items;
        Refusal refusal;
        std::size_t refusedItem;
        Writes writes;
    };
    const Case cases[] = {
        {"counts to an analog output", false, {{1, 4095, false}}, Refusal::kNone, 0, {{1, 4095}}},
        {"its engineering unit, rounded to the count", false, {{1, 5.0, true}}, Refusal::kNone, 0, {{1, 2048}}},
        {"half a count past the range still fits", false, {{1, 10.001, true}}, Refusal::kNone, 0, {{1, 4095}}},
        {"past the range", false, {{1, 10.1, true}}, Refusal::kOutOfRange, 0, {}},
        {"counts above 4095", false, {{1, 4096, false}}, Refusal::kOutOfRange, 0, {}},
        {"negative counts", false, {{1, -1, false}}, Refusal::kOutOfRange, 0, {}},
        {"counts are whole", false, {{1, 12.5, false}}, Refusal::kOutOfRange, 0, {}},
        {"a digital output on", false, {{2, 1, false}}, Refusal::kNone, 0, {{2, 1}}},
        {"a digital output takes 0 or 1", false, {{2, 2, false}}, Refusal::kOutOfRange, 0, {}},
        {"an input", false, {{0, 1, false}}, Refusal::kNotAnOutput, 0, {}},
        {"a point not configured", false, {{9, 1, false}}, Refusal::kNoSuchPoint, 0, {}},
        {"a read-only unit", false, {{3, 1, false}}, Refusal::kReadOnly, 0, {}},
        {"a read-only gateway", true, {{2, 1, false}}, Refusal::kReadOnly, 0, {}},
        {"one point twice: the last value, in the first's place", false, {{1, 100, false}, {2, 1, false}, {1, 200, false}},
         Refusal::kNone, 0, {{1, 200}, {2, 1}}},
        {"one item at fault refuses them all", false, {{1, 100, false}, {0, 5, false}}, Refusal::kNotAnOutput, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WritePlan plan = PlanWrites(Line(c.readOnly), c.items);
        EXPECT_EQ(plan.refusal, c.refusal);
        if (c.refusal != Refusal::kNone) {
            EXPECT_EQ(plan.refusedItem, c.refusedItem);
        }
        EXPECT_EQ(plan.writes, c.writes);
    }
}

TEST(Logger, RepeatsAreCountedAndNoSourceFloodsTheOthers) {
    std::vector<std::string> shown;
    Logger::Clock::time_point now{};
    struct Step {
        Logger::Clock::duration after;  // since the step before
        const char* source;
        std::string text;
        int times;
    };
    const Step steps[] = {
        {0s, "modbus", "client gone", 5},  // shown once, the rest held back
        {0s, "", "line lost", 2},          // the gateway's own events are never held
        {1s, "mqtt", "flood", 1},        // distinct lines from one source: three shown
        {0s, "mqtt", "flood 2", 1},
        {0s, "mqtt", "flood 3", 1},
        {0s, "mqtt", "flood 4", 1},      // over the budget: counted only
        {0s, "mqtt", "flood 5", 1},
        {0s, "http", "own budget", 1},   // another source is not cut off
        {61s, "mqtt", "next minute", 1}, // the held repeats and the dropped count come first
    };
    {
        Logger logger([&](const std::string& line) { shown.push_back(line); }, Logger::Limits{60s, 3},
                      [&] { return now; });
        for (const Step& step : steps) {
            now += step.after;
            for (int i = 0; i < step.times; ++i) logger.Note(step.source, step.text);
        }
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"modbus: client gone", "line lost", "line lost", "mqtt: flood",
                                               "mqtt: flood 2", "mqtt: flood 3", "http: own budget",
                                               "modbus: client gone (repeated 4 times)",
                                               "mqtt: 2 lines were not shown: more than 3 in 60 s",
                                               "mqtt: next minute"}));
}

}  // namespace
}  // namespace plexer::gateway

// The export's and the page's times: every form given, and what is no time refused rather than guessed.
TEST(HistoryTime, EachFormAndItsRefusals) {
    constexpr std::int64_t kNow = 1'796'743'603'598;  // 2026-12-08T15:26:43.598Z
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"now", kNow},
        {"-90s", kNow - 90'000},
        {"-15m", kNow - 900'000},
        {"-2h", kNow - 7'200'000},
        {"-7d", kNow - 604'800'000},
        {"1700000000000", 1'700'000'000'000},
        {"2026-12-08T15:26:43Z", kNow - 598},
        {"2026-12-08 15:26", kNow - 43'598},
        {"2024-02-29T00:00", 1'709'164'800'000},
        {"2026-02-29T00:00", std::nullopt},
        {"2026-12-08T24:00", std::nullopt},
        {"-2w", std::nullopt},
        {"yesterday", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(plexer::gateway::HistoryTime(text, kNow), expected) << text;
    EXPECT_EQ(plexer::gateway::HistoryTimeText(kNow), "2026-12-08T15:26:43.598Z");
}
