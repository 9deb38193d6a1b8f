#include "store.h"

#include <sqlite3.h>

#include <csignal>
#include <cstring>
#include <nlohmann/json.hpp>

namespace plexer::gateway {

namespace {

// "QSNH": tells our files from every other SQLite file.
constexpr std::int64_t kApplicationId = 0x51534E48;
constexpr std::int64_t kSchemaVersion = 1;

constexpr const char* kSchema = R"(
CREATE TABLE sources(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE rows(at_ms INTEGER NOT NULL, source INTEGER NOT NULL REFERENCES sources(id),
                  quality TEXT NOT NULL, counts INTEGER, eu REAL);
CREATE INDEX rows_by_time ON rows(at_ms);
)";

// One prepared statement, finalized however the caller leaves.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            throw HistoryWriteFailed(sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* operator*() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// SQLite's words, with the system's when a write failed ("disk I/O error (File too large)").
std::string ErrorOf(sqlite3* db) {
    const int system = sqlite3_system_errno(db);
    return std::string(sqlite3_errmsg(db)) + (system != 0 ? std::string(" (") + std::strerror(system) + ")" : "");
}

sqlite3* Open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (result != SQLITE_OK) {
        const std::string why = db ? ErrorOf(db) : sqlite3_errstr(result);
        sqlite3_close(db);
        throw HistoryRefused(path + ": cannot be opened: " + why);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::OpenForWriting(const std::string& path) {
    // A file size limit must fail a write, which the store reports and outlives, not end the gateway.
    std::signal(SIGXFSZ, SIG_IGN);
    std::unique_ptr<HistoryStore> store(
        new HistoryStore(Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX), path));
    store->CheckOurs();
    return store;
}

std::unique_ptr<HistoryStore> HistoryStore::OpenForReading(const std::string& path) {
    std::unique_ptr<HistoryStore> store(new HistoryStore(Open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX), path));
    store->CheckOurs();
    return store;
}

HistoryStore::~HistoryStore() { sqlite3_close(db_); }

void HistoryStore::Exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : ErrorOf(db_);
        sqlite3_free(error);
        throw HistoryWriteFailed(why);
    }
}

std::int64_t HistoryStore::Number(const char* sql) const {
    const Statement statement(db_, sql);
    const int step = sqlite3_step(*statement);
    if (step != SQLITE_ROW) throw HistoryWriteFailed(ErrorOf(db_));
    return sqlite3_column_int64(*statement, 0);
}

// Nothing is written before the file is known to be ours or empty.
void HistoryStore::CheckOurs() {
    std::int64_t id = 0;
    std::int64_t version = 0;
    std::int64_t tables = 0;
    try {
        id = Number("PRAGMA application_id");
        version = Number("PRAGMA user_version");
        tables = Number("SELECT count(*) FROM sqlite_schema");
    } catch (const HistoryWriteFailed& e) {
        throw HistoryRefused(path_ + ": not a history store, or damaged (" + e.what() + "); left as it is");
    }
    if (id == 0 && version == 0 && tables == 0) {
        if (sqlite3_db_readonly(db_, "main") == 1) throw HistoryRefused(path_ + ": an empty file, no history yet");
        return CreateSchema();
    }
    if (id != kApplicationId) {
        throw HistoryRefused(path_ + ": a SQLite file of another program, not a history store; left as it is");
    }
    if (version != kSchemaVersion) {
        throw HistoryRefused(path_ + ": a history store of version " + std::to_string(version) +
                             "; this plexer reads version " + std::to_string(kSchemaVersion));
    }
    if (sqlite3_db_readonly(db_, "main") == 1) return;
    const Statement check(db_, "PRAGMA quick_check");
    const bool ok = sqlite3_step(*check) == SQLITE_ROW &&
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(*check, 0))) == "ok";
    if (!ok) throw HistoryRefused(path_ + ": the history store is damaged (" + ErrorOf(db_) + "); left as it is");
    Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
}

void HistoryStore::CreateSchema() {
    try {
        Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
        Exec("BEGIN");
        Exec(kSchema);
        Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
        Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        Exec("COMMIT");
    } catch (const HistoryWriteFailed& e) {
        throw HistoryRefused(path_ + ": cannot create the history store: " + e.what());
    }
}

std::int64_t HistoryStore::SourceId(const std::string& source) {
    if (const auto known = sources_.find(source); known != sources_.end()) return known->second;
    const Statement insert(db_, "INSERT INTO sources(name) VALUES(?1) ON CONFLICT(name) DO UPDATE SET name=name "
                                "RETURNING id");
    sqlite3_bind_text(*insert, 1, source.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(*insert) != SQLITE_ROW) throw HistoryWriteFailed(ErrorOf(db_));
    return sqlite3_column_int64(*insert, 0);
}

void HistoryStore::Append(std::span<const HistoryRow> rows) {
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    std::map<std::string, std::int64_t, std::less<>> added;
    try {
        Exec("BEGIN IMMEDIATE");
        const Statement insert(db_, "INSERT INTO rows(at_ms, source, quality, counts, eu) VALUES(?1, ?2, ?3, ?4, ?5)");
        for (const HistoryRow& row : rows) {
            const auto known = sources_.find(row.source);
            const std::int64_t source = known != sources_.end() ? known->second : SourceId(row.source);
            if (known == sources_.end()) added[row.source] = source;
            sqlite3_reset(*insert);
            sqlite3_bind_int64(*insert, 1, row.atMs);
            sqlite3_bind_int64(*insert, 2, source);
            sqlite3_bind_text(*insert, 3, row.quality.c_str(), -1, SQLITE_STATIC);
            if (row.counts) sqlite3_bind_int(*insert, 4, *row.counts); else sqlite3_bind_null(*insert, 4);
            if (row.eu) sqlite3_bind_double(*insert, 5, *row.eu); else sqlite3_bind_null(*insert, 5);
            if (sqlite3_step(*insert) != SQLITE_DONE) throw HistoryWriteFailed(ErrorOf(db_));
        }
        Exec("COMMIT");
    } catch (const HistoryWriteFailed&) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // Known only once committed, lest a rolled-back id be used again.
    sources_.merge(added);
}

std::int64_t HistoryStore::UsedBytes() const {
    return (Number("PRAGMA page_count") - Number("PRAGMA freelist_count")) * Number("PRAGMA page_size");
}

void HistoryStore::Prune(const HistoryLimits& limits, std::int64_t nowMs) {
    {
        const Statement old(db_, "DELETE FROM rows WHERE at_ms < ?1");
        sqlite3_bind_int64(*old, 1, nowMs - limits.keepMs);
        if (sqlite3_step(*old) != SQLITE_DONE) throw HistoryWriteFailed(ErrorOf(db_));
    }
    // The oldest twentieth at a time, so that no one delete holds the file long.
    for (int round = 0; round < 40 && UsedBytes() > limits.mostBytes; ++round) {
        const Statement oldest(db_, "DELETE FROM rows WHERE rowid IN (SELECT rowid FROM rows ORDER BY rowid LIMIT "
                                    "max(1000, (SELECT count(*) FROM rows) / 20))");
        if (sqlite3_step(*oldest) != SQLITE_DONE) throw HistoryWriteFailed(ErrorOf(db_));
        if (sqlite3_changes(db_) == 0) break;
    }
}

std::vector<HistoryRow> HistoryStore::Rows(const std::vector<std::string>& gases, std::int64_t fromMs,
                                           std::int64_t toMs, std::size_t most, std::int64_t everyMs) const {
    // A point's rows come with those of its unit and of the line, which say why it had no value.
    nlohmann::json names = nlohmann::json::array();
    for (const std::string& gas : gases) {
        names.push_back(gas);
        if (gas.size() >= 2) names.push_back("unit " + gas.substr(0, 2));
    }
    names.push_back("line");
    // Thinned, SQLite takes the bare columns from the row that max() picks: each bucket's last.
    const std::string rows = everyMs > 0 ? "SELECT max(r.rowid), r.at_ms" : "SELECT r.rowid, r.at_ms";
    const std::string thinned = everyMs > 0 ? " GROUP BY r.source, r.at_ms / ?6" : "";
    const Statement select(db_, (rows + ", s.name, r.quality, r.counts, r.eu FROM rows r "
                                        "JOIN sources s ON s.id = r.source WHERE r.at_ms BETWEEN ?1 AND ?2 "
                                        "AND (?3 OR s.name IN (SELECT value FROM json_each(?4)))" +
                                 thinned + " ORDER BY 2, 1 LIMIT ?5")
                                    .c_str());
    const std::string list = names.dump();
    sqlite3_bind_int64(*select, 1, fromMs);
    sqlite3_bind_int64(*select, 2, toMs);
    sqlite3_bind_int(*select, 3, gases.empty() ? 1 : 0);
    sqlite3_bind_text(*select, 4, list.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(*select, 5, static_cast<std::int64_t>(most));
    if (everyMs > 0) sqlite3_bind_int64(*select, 6, everyMs);
    return Read(*select);
}

std::vector<HistoryRow> HistoryStore::After(HistoryCursor after, std::int64_t beforeMs, std::size_t most) const {
    const Statement select(db_, "SELECT r.rowid, r.at_ms, s.name, r.quality, r.counts, r.eu FROM rows r "
                                "JOIN sources s ON s.id = r.source WHERE (r.at_ms, r.rowid) > (?1, ?2) "
                                "AND r.at_ms < ?3 ORDER BY r.at_ms, r.rowid LIMIT ?4");
    sqlite3_bind_int64(*select, 1, after.atMs);
    sqlite3_bind_int64(*select, 2, after.id);
    sqlite3_bind_int64(*select, 3, beforeMs);
    sqlite3_bind_int64(*select, 4, static_cast<std::int64_t>(most));
    return Read(*select);
}

std::vector<HistoryRow> HistoryStore::Read(sqlite3_stmt* select) const {
    std::vector<HistoryRow> rows;
    int step = 0;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        HistoryRow row;
        row.id = sqlite3_column_int64(select, 0);
        row.atMs = sqlite3_column_int64(select, 1);
        row.source = reinterpret_cast<const char*>(sqlite3_column_text(select, 2));
        row.quality = reinterpret_cast<const char*>(sqlite3_column_text(select, 3));
        if (sqlite3_column_type(select, 4) != SQLITE_NULL) {
            row.counts = static_cast<std::int16_t>(sqlite3_column_int(select, 4));
        }
        if (sqlite3_column_type(select, 5) != SQLITE_NULL) row.eu = sqlite3_column_double(select, 5);
        rows.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) throw std::runtime_error(path_ + ": " + ErrorOf(db_));
    return rows;
}

}  // namespace plexer::gateway
