// The line's history in one SQLite file of our own: every change of a point
// and every event of a unit or the line, by read time. One writer (the
// gateway) and any number of readers (the export, the page) at once, in WAL mode.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "history_source.h"

struct sqlite3;
struct sqlite3_stmt;

namespace plexer::gateway {

// The file is not a store of ours, or is damaged: it is left as it is.
class HistoryRefused : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A write the disk did not take; the store stays usable for the next one.
class HistoryWriteFailed : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct HistoryLimits {
    std::int64_t keepMs = 30LL * 86400000;
    std::int64_t mostBytes = 512LL << 20;
};

class HistoryStore : public HistorySource {
public:
    // Creates the file if it is not there; throws HistoryRefused for one that is not ours or is damaged.
    static std::unique_ptr<HistoryStore> OpenForWriting(const std::string& path);
    // Never writes, and may be read from several threads; throws HistoryRefused likewise.
    static std::unique_ptr<HistoryStore> OpenForReading(const std::string& path);
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // All in one transaction, or none of them: throws HistoryWriteFailed.
    void Append(std::span<const HistoryRow> rows);
    // Rows older than the limits allow, and the oldest while the file holds more than allowed.
    void Prune(const HistoryLimits& limits, std::int64_t nowMs);
    std::int64_t UsedBytes() const;

    std::vector<HistoryRow> Rows(const std::vector<std::string>& gases, std::int64_t fromMs,
                                 std::int64_t toMs, std::size_t most = kAllRows,
                                 std::int64_t everyMs = 0) const override;
    std::vector<HistoryRow> After(HistoryCursor after, std::int64_t beforeMs, std::size_t most) const override;

private:
    HistoryStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    void CheckOurs();
    void CreateSchema();
    std::int64_t SourceId(const std::string& source);
    void Exec(const char* sql) const;
    std::int64_t Number(const char* sql) const;
    std::vector<HistoryRow> Read(sqlite3_stmt* select) const;

    sqlite3* db_;
    std::string path_;
    std::map<std::string, std::int64_t, std::less<>> sources_;  // the writer's cache of the sources table
};

}  // namespace plexer::gateway
