// watch: polls points and keeps a live table of them. On a terminal the table
// is redrawn in place and the driver's lines show as its last line; elsewhere
// each poll prints the table again and the lines go by as usual.
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "commands.h"
#include "console.h"
#include "format.h"

namespace plexer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSleepSlice = std::chrono::milliseconds(50);

struct Row {
    Gate gate;
    std::optional<std::int16_t> value;
    std::optional<Clock::time_point> lastGood;
    std::int32_t lastResult = QSN_OK;
    std::string lastCause;
    long failures = 0;
};

std::string AgeText(const Row& row, Clock::time_point now) {
    if (!row.lastGood) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(now - *row.lastGood).count());
    return text;
}

std::string ValueCell(const Row& row) {
    if (row.lastResult != QSN_OK) return "failed (driver result " + std::to_string(row.lastResult) + ")";
    return row.value ? ValueText(FamilyOf(row.gate.typeCode), *row.value) : "-";
}

std::string CountsText(const Counters& totals) {
    return "transactions " + std::to_string(totals.transactions) + ", failures " + std::to_string(totals.failures) +
           ", retries " + std::to_string(totals.retries);
}

class Table {
public:
    Table(Session& session, bool inPlace) : session_(session), inPlace_(inPlace), before_(session.Driver().Totals()) {}

    // This watch's own counts, whatever the session did before it.
    Counters Totals() const { return session_.Driver().Totals() - before_; }

    void Draw(const std::vector<Row>& rows, long poll) {
        std::vector<std::string> lines = {Pad("GAS", 7) + Pad("value", 30) + Pad("age", 9) + "failures"};
        const Clock::time_point now = Clock::now();
        for (const Row& row : rows) {
            lines.push_back(Pad(row.gate.gas, 7) + Pad(ValueCell(row), 30) + Pad(AgeText(row, now), 9) +
                            std::to_string(row.failures));
        }
        const auto& last = session_.Log().Last();
        lines.push_back("last log line: " + (last ? LogLineText(*last, false) : std::string("-")));
        lines.push_back("poll " + std::to_string(poll) + ": " + CountsText(Totals()));
        // Back over the previous table, clearing each line as it is rewritten.
        if (inPlace_ && drawn_ > 0) std::printf("\x1b[%zuF", drawn_);
        for (const std::string& line : lines) std::printf("%s%s\n", inPlace_ ? "\x1b[2K" : "", line.c_str());
        if (!inPlace_) std::printf("\n");
        std::fflush(stdout);
        drawn_ = lines.size();
    }

private:
    Session& session_;
    bool inPlace_;
    Counters before_;
    std::size_t drawn_ = 0;
};

void Poll(Session& session, Row& row) {
    const Transfer transfer = session.Driver().Read(row.gate, false);
    row.lastResult = transfer.result;
    row.lastCause = FailureCause(transfer.log);
    if (transfer.result != QSN_OK) {
        ++row.failures;
        return;
    }
    row.value = transfer.values[1];
    row.lastGood = Clock::now();
}

void ShowPollJson(const Output& out, const Row& row, long poll) {
    nlohmann::ordered_json object = {
        {"poll", poll}, {"gas", row.gate.gas}, {"ok", row.lastResult == QSN_OK}, {"failures", row.failures}};
    if (row.lastResult != QSN_OK) object["result"] = row.lastResult;
    if (row.value && row.lastResult == QSN_OK) object.update(ValueJson(FamilyOf(row.gate.typeCode), *row.value));
    out.Object(object);
}

// Sleeps out the poll period, waking early for Ctrl-C.
void AwaitNextPoll(Clock::time_point pollStart, int periodMs) {
    const auto next = pollStart + std::chrono::milliseconds(periodMs);
    while (!Interrupted() && Clock::now() < next) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kSleepSlice, next - Clock::now()));
    }
}

}  // namespace

void RunWatch(Session& session, const LineOptions& line, const std::vector<std::string>& gases,
              const WatchOptions& watch) {
    Failures failures;
    std::vector<Row> rows;
    for (const Gate& gate : ValidGates(session, gases, failures)) rows.push_back(Row{gate, {}, {}, QSN_OK, "", 0});
    failures.Check();
    session.StartLine(line, kDefaultTimeoutMs);

    const Output& out = session.Out();
    const bool inPlace = !out.Json() && IsTerminal(stdout);
    Table table(session, inPlace);
    if (inPlace) session.Log().SetEcho(false);
    const InterruptCatcher catcher;
    const long polls = watch.once ? 1 : watch.polls;
    for (long poll = 1; !Interrupted() && (polls == 0 || poll <= polls); ++poll) {
        const Clock::time_point start = Clock::now();
        for (Row& row : rows) {
            if (Interrupted()) break;
            Poll(session, row);
            if (out.Json()) ShowPollJson(out, row, poll);
        }
        if (!out.Json()) table.Draw(rows, poll);
        if (polls == 0 || poll < polls) AwaitNextPoll(start, watch.periodMs);
    }
    session.Log().SetEcho(true);

    const Counters totals = table.Totals();
    out.Text(CountsText(totals));
    out.Object({{"transactions", totals.transactions}, {"failures", totals.failures}, {"retries", totals.retries}});
    // Polled once, a watch answers like a read: did every point answer?
    if (watch.once) {
        for (const Row& row : rows) {
            if (row.lastResult == QSN_OK) continue;
            failures.Add("read " + row.gate.gas + ": " + ResultMeaning(QSN_READ, row.lastResult) +
                         (row.lastCause.empty() ? "" : ": " + row.lastCause));
        }
        failures.Check();
    }
}

}  // namespace plexer
