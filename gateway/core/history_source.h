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
    static constexpr std::size_t kAllRows = std::size_t(-1) >> 1;
    virtual ~HistorySource() = default;
    // In time order: the changes of `gases` (all points when empty) and the
    // events of their units and the line, from `fromMs` to `toMs` inclusive; the first `most` of them.
    // With `everyMs`, only the last row of each source in every `everyMs`: a long span as wide as a screen.
    virtual std::vector<HistoryRow> Rows(const std::vector<std::string>& gases, std::int64_t fromMs,
                                         std::int64_t toMs, std::size_t most = kAllRows,
                                         std::int64_t everyMs = 0) const = 0;
    // At most `most` rows after `after` and before `beforeMs`, in time order: a reader catching up.
    virtual std::vector<HistoryRow> After(HistoryCursor after, std::int64_t beforeMs, std::size_t most) const = 0;
};

// "now", "-90s" / "-15m" / "-2h" / "-7d" before `nowMs`, ms since the epoch,
// or "YYYY-MM-DDTHH:MM[:SS][Z]" in UTC; none for anything else.
std::optional<std::int64_t> HistoryTime(const std::string& text, std::int64_t nowMs);

// What a reader asks of the store, as the export and the page both take it.
struct HistoryQuery {
    std::vector<std::string> gases;  // all points when empty
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// `points` as GASes separated by commas ("05AI*": all 16 of a type), `from`
// and `to` as HistoryTime reads them; throws std::invalid_argument with a one-line reason.
HistoryQuery ReadHistoryQuery(const std::string& points, const std::string& from, const std::string& to,
                              std::int64_t nowMs);

// "2026-12-08T15:04:05.123Z".
std::string HistoryTimeText(std::int64_t atMs);

// The forms the export and the page give rows in: CSV with its header, and one JSON object per row.
std::string HistoryCsv(const std::vector<HistoryRow>& rows);
nlohmann::ordered_json HistoryJson(const HistoryRow& row);

}  // namespace plexer::gateway
