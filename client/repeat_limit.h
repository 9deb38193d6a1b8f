// Holds back a log line seen again soon after it was last shown, and counts
// it, so that a line failing every poll cannot flood an unattended log.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plexer {

class RepeatLimit {
public:
    using Clock = std::chrono::steady_clock;

    // A line is shown at most once per `window`.
    explicit RepeatLimit(Clock::duration window) : window_(window) {}

    // Whether to show `line` now: if so, how many times it was held back since
    // it was last shown; nothing when it is held back.
    std::optional<long> Admit(const std::string& line, Clock::time_point now);

    // The lines held back whose window has passed without their being shown
    // again, with their counts; they are forgotten, so each is shown afresh.
    std::vector<std::pair<std::string, long>> Overdue(Clock::time_point now);

private:
    struct Seen {
        Clock::time_point shown;
        long heldBack = 0;
    };
    Clock::duration window_;
    std::map<std::string, Seen> seen_;
};

}  // namespace plexer
