#include "history.h"

#include <chrono>
#include <cstdio>

#include "config.h"
#include "format.h"
#include "store.h"

namespace plexer {

namespace {

using namespace gateway;

std::string TextLine(const HistoryRow& row) {
    std::string line = HistoryTimeText(row.atMs) + "  " + row.source + "  " + row.quality;
    if (row.counts) line += "  " + std::to_string(*row.counts);
    if (row.eu && (!row.counts || *row.eu != *row.counts)) line += "  (" + HistoryJson(row)["eu"].dump() + ")";
    return line;
}

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& o) {
    CLI::App* history = app.add_subcommand("history", "Show a gateway's stored history of points (Linux only)");
    history->add_option("PATH", o.path, "The store, as given to gateway --history")->required();
    history->add_option("--points", o.points, "Gate addresses, separated by commas; * as the position: all 16 "
                                              "(default: every point)")
        ->type_name("LIST");
    history->add_option("--from", o.from, "From: now, -15m, -2h, -7d, ms since 1970 or YYYY-MM-DDTHH:MM[:SS] UTC "
                                          "(default -1h)")
        ->type_name("TIME");
    history->add_option("--to", o.to, "To, in the same forms (default now)")->type_name("TIME");
    history->add_flag("--csv", o.csv, "CSV with a header, for a spreadsheet");
    return history;
}

void RunHistory(const GlobalOptions& global, const HistoryOptions& o) {
    const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    const HistoryQuery query = WithExitCode<std::invalid_argument>(
        kExitUsage, [&] { return ReadHistoryQuery(o.points, o.from, o.to, nowMs); });
    std::unique_ptr<HistoryStore> store;
    try {
        store = HistoryStore::OpenForReading(o.path);
    } catch (const HistoryRefused& e) {
        throw CommandFailure(kExitUsage, e.what());
    }
    const std::vector<HistoryRow> rows = WithExitCode<std::runtime_error>(
        kExitFailed, [&] { return store->Rows(query.gases, query.fromMs, query.toMs); });
    if (o.csv) {
        const std::string text = HistoryCsv(rows);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    const Output out(global.json);
    for (const HistoryRow& row : rows) {
        out.Text(TextLine(row));
        out.Object(HistoryJson(row));
    }
}

}  // namespace plexer
