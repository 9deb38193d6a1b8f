// The log's repeat limit on a clock of its own: what is shown, what is held
// back and counted, and what is owed once a window passes unseen.
#include <gtest/gtest.h>

#include <regex>

#include "log_view.h"
#include "repeat_limit.h"

namespace plexer {
namespace {

using Clock = RepeatLimit::Clock;

// One line offered at a second, or (offered null) the overdue lines asked
// for; what came back as text: "shown 0", "held", "A 3;B 1;".
struct Step {
    int atS;
    const char* offered;
    const char* expected;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

std::string Outcome(RepeatLimit& limit, const Step& step, Clock::time_point at) {
    if (step.offered == nullptr) {
        std::string text;
        for (const auto& [line, count] : limit.Overdue(at)) text += line + " " + std::to_string(count) + ";";
        return text;
    }
    const std::optional<long> heldBack = limit.Admit(step.offered, at);
    return heldBack ? "shown " + std::to_string(*heldBack) : "held";
}

TEST(RepeatLimit, ShowsALineOncePerWindowAndCountsTheRest) {
    const std::vector<Case> cases = {
        {"repeats within the window are held; the next after it carries their count",
         {{0, "A", "shown 0"}, {1, "A", "held"}, {59, "A", "held"}, {60, "A", "shown 2"}, {61, "A", "held"}}},
        {"other lines keep their own windows",
         {{0, "A", "shown 0"}, {1, "B", "shown 0"}, {2, "A", "held"}, {3, "B", "held"}, {61, "B", "shown 1"}}},
        {"a line not held back has nothing owed", {{0, "A", "shown 0"}, {100, nullptr, ""}, {101, "A", "shown 0"}}},
        {"held lines are owed once their window passes, then start afresh",
         {{0, "A", "shown 0"},
          {5, "A", "held"},
          {6, "A", "held"},
          {10, "B", "shown 0"},
          {11, "B", "held"},
          {59, nullptr, ""},
          {60, nullptr, "A 2;"},
          {61, "A", "shown 0"},
          {70, nullptr, "B 1;"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RepeatLimit limit(std::chrono::seconds(60));
        const Clock::time_point start = Clock::now();
        for (const Step& step : c.steps) {
            SCOPED_TRACE("at " + std::to_string(step.atS) + " s");
            EXPECT_EQ(Outcome(limit, step, start + std::chrono::seconds(step.atS)), step.expected);
        }
    }
}

TEST(RepeatLimit, TimestampsAreLocalTimeToTheMillisecondWithTheirOffset) {
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000007));
    EXPECT_TRUE(std::regex_match(LogTimestamp(at),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.007[+-]\d\d:\d\d)")))
        << LogTimestamp(at);
}

}  // namespace
}  // namespace plexer
