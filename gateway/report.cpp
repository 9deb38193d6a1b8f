#include "report.h"

#include <cstdio>

#include "display_text.h"

namespace plexer::gateway {

namespace {

std::string UnitName(int unit) {
    char text[16];
    std::snprintf(text, sizeof text, "unit %3d", unit);
    return std::string(text) + " (0x" + Hex2(static_cast<unsigned>(unit)) + ")";
}

}  // namespace

void PrintHealth(const Output& out, const std::vector<UnitHealth>& units, const LineHealth& line,
                 PollClock::time_point now) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const UnitHealth& unit : units) {
        const auto ms = [&](PollClock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
        };
        char row[200];
        std::snprintf(row, sizeof row, "%s  %ld transactions, %ld failures, %ld retries, last result %s",
                      UnitName(unit.unit).c_str(), unit.counters.transactions, unit.counters.failures,
                      unit.counters.retries, unit.lastResult ? std::to_string(*unit.lastResult).c_str() : "none");
        std::string text = row;
        if (unit.lastGood) {
            std::snprintf(row, sizeof row, ", last good read %.1f s ago",
                          static_cast<double>(-ms(*unit.lastGood)) / 1000.0);
            text += row;
        } else {
            text += ", never read";
        }
        const bool demoted = unit.demotedUntil && *unit.demotedUntil > now;
        if (demoted) text += ", demoted for " + std::to_string(ms(*unit.demotedUntil)) + " ms more";
        out.Text(text);
        nlohmann::ordered_json object = {{"unit", unit.unit},
                                         {"transactions", unit.counters.transactions},
                                         {"failures", unit.counters.failures},
                                         {"retries", unit.counters.retries}};
        object["lastResult"] = unit.lastResult ? nlohmann::ordered_json(*unit.lastResult) : nullptr;
        object["lastGoodAgeMs"] = unit.lastGood ? nlohmann::ordered_json(-ms(*unit.lastGood)) : nullptr;
        object["demoted"] = demoted;
        all.push_back(object);
    }
    std::string text = line.up ? "line up" : "line lost";
    if (line.lostSince) {
        text += " for " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - *line.lostSince).count()) +
                " s: " + line.lastLoss;
    }
    out.Text(text + "; lost " + std::to_string(line.losses) + " times, back " + std::to_string(line.recoveries) +
             " times");
    out.Object({{"health", all},
                {"line", {{"up", line.up}, {"losses", line.losses}, {"recoveries", line.recoveries}}}});
    std::fflush(stdout);
}

}  // namespace plexer::gateway
