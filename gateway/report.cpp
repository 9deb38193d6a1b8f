#include "report.h"

#include <cstdio>

#include "display_text.h"

namespace plexer::gateway {

namespace {

const char* Functions(Table table) {
    switch (table) {
    case Table::kCoils: return "FC 1, 5, 15";
    case Table::kDiscreteInputs: return "FC 2";
    case Table::kHoldingRegisters: return "FC 3, 6, 16";
    case Table::kInputRegisters: return "FC 4";
    }
    return "";
}

const char* ValueNote(Family family) {
    switch (family) {
    case Family::kAnalogIn:
    case Family::kAnalogOut: return "counts 0-4095";
    case Family::kTemperature: return "whole degrees C, signed";
    case Family::kDigitalIn:
    case Family::kDigitalOut: return "0 off, 1 on";
    case Family::kOther: break;
    }
    return "";
}

std::string UnitName(int unit) {
    char text[16];
    std::snprintf(text, sizeof text, "unit %3d", unit);
    return std::string(text) + " (0x" + Hex2(static_cast<unsigned>(unit)) + ")";
}

std::string Range(int first, int last) {
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

void PrintRun(const Output& out, int unit, Table table, const Gate& first, const Gate& last, int from, int to) {
    const Family family = FamilyOf(first.typeCode);
    const std::string gases = first.gas == last.gas ? first.gas : first.gas + ".." + last.gas;
    out.Text(UnitName(unit) + "  " + Pad(TableName(table) + std::string(" ") + Range(from, to), 26) +
             Pad(Functions(table), 13) + Pad(gases, 14) + FamilyName(family) + ", " + ValueNote(family));
    out.Object({{"unit", unit},
                {"table", TableName(table)},
                {"first", from},
                {"last", to},
                {"gas", first.gas},
                {"lastGas", last.gas},
                {"type", MnemonicOf(first.typeCode)},
                {"family", FamilyName(family)}});
}

}  // namespace

// One line per run of neighbouring positions of one type.
void PrintMap(const Output& out, const PointMap& map) {
    const std::vector<Gate>& gates = map.Gates();
    for (const auto& [unit, places] : map.Units()) {
        for (int t = 0; t < kTables; ++t) {
            const auto& row = places.point[static_cast<std::size_t>(t)];
            for (int from = 0; from < kPositions;) {
                if (row[static_cast<std::size_t>(from)] < 0) {
                    ++from;
                    continue;
                }
                const Gate& first = gates[static_cast<std::size_t>(row[static_cast<std::size_t>(from)])];
                int to = from;
                while (to + 1 < kPositions && row[static_cast<std::size_t>(to + 1)] >= 0 &&
                       gates[static_cast<std::size_t>(row[static_cast<std::size_t>(to + 1)])].typeCode ==
                           first.typeCode) {
                    ++to;
                }
                PrintRun(out, unit, static_cast<Table>(t), first,
                         gates[static_cast<std::size_t>(row[static_cast<std::size_t>(to)])], from, to);
                from = to + 1;
            }
        }
        const int last = kHealthBase + kHealthRegisters - 1;
        out.Text(UnitName(unit) + "  " + Pad("input registers " + Range(kHealthBase, last), 26) + Pad("FC 4", 13) +
                 "health: transactions, failures, retries (32 bits each), last result, age of the last good "
                 "read (0.1 s), demoted, line lost");
        out.Object(
            {{"unit", unit}, {"table", "input registers"}, {"first", kHealthBase}, {"last", last}, {"health", true}});
    }
}

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
