// The line's history as a reader asks it: what each point read and when,
// and when units and the line dropped out and came back. Declared in the core
// so that the export and the faces read it without knowing how it is stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace plexer::gateway {

// A change of a point's value or quality, or an event of a unit or the line.
struct HistoryRow {
    std::int64_t id = 0;                 // the store's order of writing
    std::int64_t atMs = 0;               // the read time, ms since the epoch (UTC)
    std::string source;                  // a GAS, "unit 05", or "line"
    std::string quality;                 // the verdict's name; for an event: "demoted", "back", "lost"
    std::optional<std::int16_t> counts;  // only when good
    std::optional<double> eu;            // only when good
};

// Where a reader going through rows in time order has got to.
struct HistoryCursor {
    std::int64_t atMs = 0;
    std::int64_t id = -1;
};

class HistorySource {
public:
    virtual ~HistorySource() = default;
    // In time order: the changes of `gases` (all points when empty) and the
    // events of their units and the line, from `fromMs` to `toMs` inclusive.
    virtual std::vector<HistoryRow> Rows(const std::vector<std::string>& gases, std::int64_t fromMs,
                                         std::int64_t toMs) const = 0;
    // At most `most` rows after `after` and before `beforeMs`, in time order: a reader catching up.
    virtual std::vector<HistoryRow> After(HistoryCursor after, std::int64_t beforeMs, std::size_t most) const = 0;
};

// "now", "-90s" / "-15m" / "-2h" / "-7d" before `nowMs`, ms since the epoch,
// or "YYYY-MM-DDTHH:MM[:SS][Z]" in UTC; none for anything else.
std::optional<std::int64_t> HistoryTime(const std::string& text, std::int64_t nowMs);

// "2026-12-08T15:04:05.123Z".
std::string HistoryTimeText(std::int64_t atMs);

// The forms the export and the page give rows in: CSV with its header, and one JSON object per row.
std::string HistoryCsv(const std::vector<HistoryRow>& rows);
nlohmann::ordered_json HistoryJson(const HistoryRow& row);

}  // namespace plexer::gateway
