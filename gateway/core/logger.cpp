#include "logger.h"

namespace plexer::gateway {

namespace {

std::string Tagged(std::string_view source, const std::string& text) {
    return source.empty() ? text : std::string(source) + ": " + text;
}

std::string Repeated(long heldBack) {
    return heldBack == 1 ? " (repeated once)" : " (repeated " + std::to_string(heldBack) + " times)";
}

}  // namespace

Logger::Logger(Sink sink, Limits limits, Now now)
    : sink_(std::move(sink)), limits_(limits), now_(std::move(now)), repeats_(limits.window) {}

Logger::~Logger() {
    const std::lock_guard lock(mutex_);
    ShowOverdue(Clock::time_point::max());
    for (const auto& [source, budget] : budgets_) {
        if (budget.dropped > 0) {
            sink_(Tagged(source, std::to_string(budget.dropped) + " more lines were not shown"));
        }
    }
}

void Logger::Note(std::string_view source, const std::string& text) const {
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = now_();
    ShowOverdue(now);
    if (source.empty()) return sink_(text);
    Budget& budget = BudgetOf(source, now);
    // Over its budget a line is only counted, so a flood of distinct lines costs nothing kept.
    if (budget.shown >= limits_.linesPerWindow) {
        ++budget.dropped;
        return;
    }
    const std::string line = Tagged(source, text);
    const std::optional<long> heldBack = repeats_.Admit(line, now);
    if (!heldBack) return;
    ++budget.shown;
    sink_(line + (*heldBack > 0 ? Repeated(*heldBack) : ""));
}

// The source's budget for the window `now` falls in; a new window first says
// how many lines the last one did not show.
Logger::Budget& Logger::BudgetOf(std::string_view source, Clock::time_point now) const {
    auto place = budgets_.find(source);
    if (place == budgets_.end()) place = budgets_.emplace(std::string(source), Budget{now, 0, 0}).first;
    Budget& budget = place->second;
    if (now - budget.since < limits_.window) return budget;
    if (budget.dropped > 0) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits_.window).count();
        sink_(Tagged(source, std::to_string(budget.dropped) + " lines were not shown: more than " +
                                 std::to_string(limits_.linesPerWindow) + " in " + std::to_string(seconds) + " s"));
    }
    budget = Budget{now, 0, 0};
    return budget;
}

void Logger::ShowOverdue(Clock::time_point now) const {
    for (const auto& [line, heldBack] : repeats_.Overdue(now)) sink_(line + Repeated(heldBack));
}

}  // namespace plexer::gateway
