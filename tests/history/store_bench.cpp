// The store's floor: rows a second through the history store's batches of
// one poll (64 units x 16 points), beside a plain SQLite insert loop of the
// same rows, with the file's bytes per row. Run by hand (make history-bench).
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store.h"

using namespace plexer::gateway;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPoints = 64 * 16;

std::vector<HistoryRow> PollOf(long poll, const std::vector<std::string>& gases) {
    std::vector<HistoryRow> rows;
    const std::int64_t atMs = 1'800'000'000'000 + poll * 1000;
    for (int i = 0; i < kPoints; ++i) {
        const auto counts = static_cast<std::int16_t>((poll * 37 + i) % 4096);
        rows.push_back(HistoryRow{0, atMs, gases[static_cast<std::size_t>(i)], "good", counts, counts / 40.95});
    }
    return rows;
}

// Polls' rows for `seconds` through `append`; the rows a second.
template <typename Append>
double RowsPerSecond(double seconds, const std::vector<std::string>& gases, Append append, long& polls) {
    const Clock::time_point start = Clock::now();
    polls = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) append(PollOf(polls++, gases));
    return static_cast<double>(polls * kPoints) / std::chrono::duration<double>(Clock::now() - start).count();
}

void Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

void PlainInsert(sqlite3* db, const std::vector<HistoryRow>& rows) {
    Exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO rows VALUES(?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr);
    for (const HistoryRow& row : rows) {
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, row.atMs);
        sqlite3_bind_text(insert, 2, row.source.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, row.quality.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 4, *row.counts);
        sqlite3_bind_double(insert, 5, *row.eu);
        sqlite3_step(insert);
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
}

double BytesPerRow(const std::string& path, long polls) {
    return static_cast<double>(std::filesystem::file_size(path)) / static_cast<double>(polls * kPoints);
}

void Report(const char* what, double rate, double bytes) {
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("%-34s %9.0f rows/s  %5.1f bytes/row (%.1f MB per point-day at one change a second)  "
                "load average %.2f %.2f %.2f\n",
                what, rate, bytes, bytes * 86400 / 1e6, load[0], load[1], load[2]);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 10;
    char folder[] = "/tmp/history-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    std::vector<std::string> gases;
    for (int i = 0; i < kPoints; ++i) {
        char gas[8];
        std::snprintf(gas, sizeof gas, "%02XAI%X", i / 16, i % 16);
        gases.emplace_back(gas);
    }
    long polls = 0;
    const std::string ours = std::string(folder) + "/store.db";
    double rate = 0;
    {
        const auto store = HistoryStore::OpenForWriting(ours);
        rate = RowsPerSecond(seconds, gases, [&](const auto& rows) { store->Append(rows); }, polls);
    }
    Report("history store, a poll a batch", rate, BytesPerRow(ours, polls));
    const std::string plain = std::string(folder) + "/plain.db";
    sqlite3* db = nullptr;
    sqlite3_open(plain.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
             "CREATE TABLE rows(at_ms INTEGER, gas TEXT, quality TEXT, counts INTEGER, eu REAL)");
    rate = RowsPerSecond(seconds, gases, [&](const auto& rows) { PlainInsert(db, rows); }, polls);
    sqlite3_close(db);
    Report("plain insert loop, same batches", rate, BytesPerRow(plain, polls));
    std::filesystem::remove_all(folder);
}
