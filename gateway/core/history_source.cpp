#include "history_source.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <regex>
#include <stdexcept>

#include "config.h"

namespace plexer::gateway {

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 15 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

std::optional<std::int64_t> Before(const std::string& text, std::int64_t nowMs) {
    static const std::regex relative(R"(-([0-9]{1,9})([smhd]))");
    std::smatch match;
    if (!std::regex_match(text, match, relative)) return std::nullopt;
    const char unit = match[2].str()[0];
    const std::int64_t unitMs = unit == 's' ? 1000 : unit == 'm' ? 60000 : unit == 'h' ? 3600000 : 86400000;
    return nowMs - std::stoll(match[1]) * unitMs;
}

std::optional<std::int64_t> Calendar(const std::string& text) {
    static const std::regex iso(R"(([0-9]{4})-([0-9]{2})-([0-9]{2})[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2}))?Z?)");
    std::smatch m;
    if (!std::regex_match(text, m, iso)) return std::nullopt;
    using namespace std::chrono;
    const year_month_day day{year(std::stoi(m[1])), month(static_cast<unsigned>(std::stoi(m[2]))),
                             std::chrono::day(static_cast<unsigned>(std::stoi(m[3])))};
    const int hour = std::stoi(m[4]);
    const int minute = std::stoi(m[5]);
    const int second = m[6].matched ? std::stoi(m[6]) : 0;
    if (!day.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const auto at = sys_days(day) + hours(hour) + minutes(minute) + seconds(second);
    return duration_cast<milliseconds>(at.time_since_epoch()).count();
}

}  // namespace

std::optional<std::int64_t> HistoryTime(const std::string& text, std::int64_t nowMs) {
    if (text == "now") return nowMs;
    if (AllDigits(text)) return std::stoll(text);
    if (auto before = Before(text, nowMs)) return before;
    return Calendar(text);
}

namespace {

std::int64_t TimeOf(const char* name, const std::string& text, std::int64_t nowMs) {
    const std::optional<std::int64_t> at = HistoryTime(text, nowMs);
    if (!at) {
        throw std::invalid_argument(std::string(name) + " " + text.substr(0, 40) +
                                    ": give now, -30s / -15m / -2h / -7d, ms since 1970, or "
                                    "YYYY-MM-DDTHH:MM[:SS] in UTC");
    }
    return *at;
}

// A GAS's letters and digits, with * for all 16 positions; the driver judges the rest.
bool GasLike(const std::string& gas) {
    return gas.size() <= 8 && std::all_of(gas.begin(), gas.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '*';
           });
}

}  // namespace

HistoryQuery ReadHistoryQuery(const std::string& points, const std::string& from, const std::string& to,
                              std::int64_t nowMs) {
    HistoryQuery query;
    query.fromMs = TimeOf("from", from, nowMs);
    query.toMs = TimeOf("to", to, nowMs);
    if (query.fromMs > query.toMs) throw std::invalid_argument("from " + from + " is after to " + to);
    const std::vector<std::string> items = SplitList(points);
    for (const std::string& item : items) {
        if (!GasLike(item)) throw std::invalid_argument("points: " + item.substr(0, 40) + " is not a GAS");
    }
    query.gases = ExpandPoints(items);
    return query;
}

std::string HistoryTimeText(std::int64_t atMs) {
    using namespace std::chrono;
    const sys_time<milliseconds> at{milliseconds(atMs)};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{at - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

namespace {

std::string NumberOrEmpty(const std::optional<double>& value) {
    if (!value) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", *value);
    return text;
}

}  // namespace

std::string HistoryCsv(const std::vector<HistoryRow>& rows) {
    std::string text = "time,source,quality,counts,eu\n";
    for (const HistoryRow& row : rows) {
        text += HistoryTimeText(row.atMs) + "," + row.source + "," + row.quality + "," +
                (row.counts ? std::to_string(*row.counts) : "") + "," + NumberOrEmpty(row.eu) + "\n";
    }
    return text;
}

nlohmann::ordered_json HistoryJson(const HistoryRow& row) {
    nlohmann::ordered_json object{{"time", HistoryTimeText(row.atMs)}, {"atMs", row.atMs},
                                  {"source", row.source}, {"quality", row.quality}};
    if (row.counts) object["counts"] = *row.counts;
    if (row.eu) object["eu"] = *row.eu;
    return object;
}

}  // namespace plexer::gateway
