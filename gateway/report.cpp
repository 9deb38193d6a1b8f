#include "report.h"

#include <cstdio>

namespace plexer::gateway {

namespace {

std::string UnitName(int unit) {
    char text[24];
    std::snprintf(text, sizeof text, "unit %3d (0x%02X)", unit, static_cast<unsigned>(unit));
    return text;
}

}  // namespace

void PrintHealth(const Output& out, const std::vector<UnitHealth>& units, PollClock::time_point now) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const UnitHealth& unit : units) {
        const auto ms = [&](PollClock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
        };
        char line[200];
        std::snprintf(line, sizeof line, "%s  %ld transactions, %ld failures, %ld retries, last result %s",
                      UnitName(unit.unit).c_str(), unit.counters.transactions, unit.counters.failures,
                      unit.counters.retries, unit.lastResult ? std::to_string(*unit.lastResult).c_str() : "none");
        std::string text = line;
        if (unit.lastGood) {
            std::snprintf(line, sizeof line, ", last good read %.1f s ago",
                          static_cast<double>(-ms(*unit.lastGood)) / 1000.0);
            text += line;
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
    out.Object({{"health", all}});
    std::fflush(stdout);
}

}  // namespace plexer::gateway
