#include "report.h"

#include <cstdio>

#include "display_text.h"
#include "state_json.h"

namespace plexer::gateway {

namespace {

std::string UnitText(const UnitHealth& unit, PollClock::time_point now) {
    const auto ms = [&](PollClock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
    };
    char row[200];
    std::snprintf(row, sizeof row, "unit %3d (0x%s)  %ld transactions, %ld failures, %ld retries, last result %s",
                  unit.unit, Hex2(static_cast<unsigned>(unit.unit)).c_str(), unit.counters.transactions,
                  unit.counters.failures, unit.counters.retries,
                  unit.lastResult ? std::to_string(*unit.lastResult).c_str() : "none");
    std::string text = row;
    if (unit.lastGood) {
        std::snprintf(row, sizeof row, ", last good read %.1f s ago", static_cast<double>(-ms(*unit.lastGood)) / 1000.0);
        text += row;
    } else {
        text += ", never read";
    }
    if (DemotedAt(unit, now)) {
        text += ", demoted for " + std::to_string(ms(*unit.demotedUntil)) + " ms more";
    }
    return text;
}

}  // namespace

// The JSON is the status page's own, so that scripts read both alike.
void PrintHealth(const Output& out, const std::vector<UnitHealth>& units, const LineHealth& line,
                 PollClock::time_point now) {
    for (const UnitHealth& unit : units) out.Text(UnitText(unit, now));
    std::string text = line.up ? "line up" : "line lost";
    if (line.lostSince) {
        text += " for " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - *line.lostSince).count()) +
                " s: " + line.lastLoss;
    }
    out.Text(text + "; lost " + std::to_string(line.losses) + " times, back " + std::to_string(line.recoveries) +
             " times");
    out.Object({{"health", UnitsJson(units, now)}, {"line", LineJson(line, now)}});
    std::fflush(stdout);
}

}  // namespace plexer::gateway
