// watch: polls points through the line's poller and shows every poll: a live
// table redrawn in place on a terminal (the driver's last line at its foot),
// the table again and again elsewhere, or one JSON object or CSV row per point
// and poll for programs and spreadsheets.
#include <chrono>
#include <cstdio>
#include <optional>

#include "commands.h"
#include "display_text.h"
#include "interrupt.h"
#include "terminal.h"
#include "format.h"
#include "poller.h"
#include "quality.h"
#include "verdict.h"

namespace plexer {

namespace {

using Clock = PollClock;

// watch's words for the one verdict of a point.
enum class State { kOk, kFailed, kDemoted, kNotRead, kBadValue, kLineLost };

State StateOf(Reason reason) {
    switch (reason) {
    case Reason::kGood: return State::kOk;
    case Reason::kNotReadYet: return State::kNotRead;
    case Reason::kFailed:
    case Reason::kStale: return State::kFailed;  // a watch never finds a value too old
    case Reason::kUnitDemoted: return State::kDemoted;
    case Reason::kLineLost: return State::kLineLost;
    case Reason::kNotConfigured:
    case Reason::kOutOfRange:
    case Reason::kBeyondScale:
    case Reason::kSuspect: break;
    }
    return State::kBadValue;
}

// What one poll left: every point, its verdict and every unit as the poller has them.
struct Snapshot {
    long poll = 0;
    Clock::time_point now;
    std::string time;  // the wall clock, for records that outlive the run
    std::vector<PointState> points;
    std::vector<Verdict> verdicts;  // of `points`, judged at `now`
    std::vector<UnitHealth> units;

    const UnitHealth& UnitOf(const PointState& point) const {
        for (const UnitHealth& unit : units) {
            if (unit.unit == point.gate.unit) return unit;
        }
        return units.front();
    }
    State StateAt(std::size_t point) const { return StateOf(verdicts[point].reason); }
};

Snapshot Take(const Poller& poller, long poll) {
    Snapshot shot{poll, Clock::now(), LogTimestamp(std::chrono::system_clock::now(), true), poller.Points(), {},
                  poller.Units()};
    std::vector<std::size_t> all(shot.points.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    shot.verdicts.resize(all.size());
    poller.Judge(all, [](std::size_t) { return std::nullopt; }, shot.now, shot.verdicts);
    return shot;
}

// The driver's result of a last read that failed, none after a good one.
std::optional<std::int32_t> FailedResult(const PointState& point) {
    if (!point.lastResult || *point.lastResult == QSN_OK) return std::nullopt;
    return point.lastResult;
}

std::string StateText(const Snapshot& shot, std::size_t i) {
    const PointState& point = shot.points[i];
    const std::optional<std::int32_t> result = FailedResult(point);
    switch (shot.StateAt(i)) {
    case State::kOk: return "ok";
    case State::kNotRead: return "not read yet";
    case State::kFailed: return result ? "failed (driver result " + std::to_string(*result) + ")" : "failed";
    case State::kBadValue: return BadValueText(point.gate, point.quality);
    case State::kLineLost: return "line lost";
    case State::kDemoted: break;
    }
    const Clock::duration left = *shot.UnitOf(point).demotedUntil - shot.now;
    return "demoted, next try in " + std::to_string(std::chrono::ceil<std::chrono::seconds>(left).count()) + " s";
}

const char* StateName(State state) {
    static constexpr const char* kNames[] = {"ok", "failed", "demoted", "not read", "bad value", "line lost"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(State::kLineLost) + 1);  // in State's order
    return kNames[static_cast<std::size_t>(state)];
}

std::string CountsText(const Counters& counts) {
    return "transactions " + std::to_string(counts.transactions) + ", failures " + std::to_string(counts.failures) +
           ", retries " + std::to_string(counts.retries);
}

// The text cut to `width` characters (UTF-8 counted as characters); 0: as it is.
std::string Fit(const std::string& text, int width) {
    if (width <= 0) return text;
    int shown = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const bool starts = (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
        if (starts && ++shown > width) return text.substr(0, at);
    }
    return text;
}

class Table {
public:
    Table(LogView& log, bool inPlace) : log_(log), inPlace_(inPlace) {}

    void Draw(const Snapshot& shot) {
        std::vector<std::string> lines = {Pad("GAS", 7) + Pad("value", 26) + Pad("age", 9) + Pad("failures", 10) +
                                          "state"};
        for (std::size_t i = 0; i < shot.points.size(); ++i) {
            const PointState& point = shot.points[i];
            const std::string value = point.value ? ValueText(FamilyOf(point.gate.typeCode), *point.value) : "-";
            const std::string age =
                point.lastGood ? OneDecimal(std::chrono::duration<double>(shot.now - *point.lastGood).count(), "s")
                               : "-";
            lines.push_back(Pad(point.gate.gas, 7) + Pad(value, 26) + Pad(age, 9) +
                            Pad(std::to_string(point.failures), 10) + StateText(shot, i));
        }
        const auto& last = log_.Last();
        lines.push_back("last log line: " + (last ? LogLineText(*last, false) : std::string("-")));
        lines.push_back("poll " + std::to_string(shot.poll) + ": " + CountsText(TotalOf(shot.units)));

        // A line wider than the terminal would wrap and throw the redraw off:
        // each is cut to fit, the log line's end first to go. Lines as they
        // already stand are stepped over, so a poll rewrites only what changed.
        const int width = inPlace_ ? Width() - 1 : 0;
        std::string frame;
        if (inPlace_ && !drawn_.empty()) frame += "\x1b[" + std::to_string(drawn_.size()) + "F";
        std::vector<std::string> fitted;
        for (const std::string& line : lines) {
            fitted.push_back(Fit(line, width));
            const std::size_t row = fitted.size() - 1;
            if (inPlace_ && row < drawn_.size() && drawn_[row] == fitted.back()) {
                frame += "\x1b[1E";
            } else {
                frame += (inPlace_ ? "\x1b[2K" : "") + fitted.back() + "\n";
            }
        }
        if (!inPlace_) frame += "\n";
        WriteWhole(stdout, frame);
        drawn_ = std::move(fitted);
    }

private:
    // The terminal's width, asked again once a second: a resize shows soon,
    // and a fast watch does not ask the console at every poll.
    int Width() {
        const Clock::time_point now = Clock::now();
        if (widthAsked_ && now - *widthAsked_ < std::chrono::seconds(1)) return width_;
        widthAsked_ = now;
        width_ = TerminalWidth(stdout);
        return width_;
    }

    LogView& log_;
    bool inPlace_;
    std::vector<std::string> drawn_;  // as they stand on the terminal
    std::optional<Clock::time_point> widthAsked_;
    int width_ = 0;
};

void ShowJson(const Snapshot& shot) {
    std::string records;
    for (std::size_t i = 0; i < shot.points.size(); ++i) {
        const PointState& point = shot.points[i];
        const State state = shot.StateAt(i);
        nlohmann::ordered_json object = {{"poll", shot.poll},
                                         {"time", shot.time},
                                         {"gas", point.gate.gas},
                                         {"unit", point.gate.unit},
                                         {"ok", state == State::kOk},
                                         {"status", StateName(state)},
                                         {"quality", ReasonName(shot.verdicts[i].reason)},
                                         {"failures", point.failures}};
        if (state == State::kOk) object.update(ValueJson(FamilyOf(point.gate.typeCode), *shot.verdicts[i].counts));
        // A unit set aside or a line lost still says what its last read found.
        if (const std::optional<std::int32_t> result = FailedResult(point); result && state != State::kOk) {
            object["result"] = *result;
            if (!point.lastCause.empty()) object["cause"] = point.lastCause;
        }
        if (state == State::kBadValue) object["cause"] = BadValueText(point.gate, point.quality);
        records += object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    }
    WriteWhole(stdout, records);
}

// A field as a spreadsheet reads it: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void ShowCsv(const Snapshot& shot, bool header) {
    std::string rows = header ? "time,poll,gas,state,value,eu,failures,result,cause\n" : "";
    for (std::size_t i = 0; i < shot.points.size(); ++i) {
        const PointState& point = shot.points[i];
        const State state = shot.StateAt(i);
        const std::optional<std::int16_t> counts = shot.verdicts[i].counts;
        const std::string value = counts ? std::to_string(*counts) : "";
        const std::string result = point.lastResult ? std::to_string(*point.lastResult) : "";
        const bool failed = state != State::kOk && FailedResult(point);
        rows += shot.time + "," + std::to_string(shot.poll) + "," + CsvField(point.gate.gas) + "," + StateName(state) +
                "," + value + "," + UnitsOf(FamilyOf(point.gate.typeCode)) + "," + std::to_string(point.failures) +
                "," + result + "," + CsvField(failed ? point.lastCause : "") + "\n";
    }
    WriteWhole(stdout, rows);
}

// Why a point was not healthy, for the exit status of a bounded watch.
std::string Complaint(const Snapshot& shot, std::size_t i) {
    const PointState& point = shot.points[i];
    const std::string read = "read " + point.gate.gas + ": ";
    const std::optional<std::int32_t> result = FailedResult(point);
    const std::string why =
        result ? ResultMeaning(QSN_READ, *result) + (point.lastCause.empty() ? "" : ": " + point.lastCause) : "";
    switch (shot.StateAt(i)) {
    case State::kDemoted:
    {
        const int failed = shot.UnitOf(point).failedInRow;
        return read + "unit 0x" + Hex2(static_cast<unsigned>(point.gate.unit)) + " set aside after " +
               std::to_string(failed) + (failed == 1 ? " failed poll" : " failed polls in a row") +
               (why.empty() ? "" : ": " + why);
    }
    case State::kFailed:
    case State::kLineLost:
        if (!why.empty()) return read + why;
        break;
    case State::kBadValue: return read + BadValueText(point.gate, point.quality);
    default: break;
    }
    return read + "failed in " + std::to_string(point.failures) + " of " + std::to_string(shot.poll) + " polls";
}

void ShowTotals(const Output& out, const Snapshot& shot) {
    const Counters total = TotalOf(shot.units);
    out.Text(CountsText(total));
    nlohmann::ordered_json units = nlohmann::ordered_json::array();
    for (const UnitHealth& unit : shot.units) {
        out.Text("unit 0x" + Hex2(static_cast<unsigned>(unit.unit)) + ": " + CountsText(unit.counters) +
                 (DemotedAt(unit, shot.now) ? ", demoted" : ""));
        units.push_back({{"unit", unit.unit},
                         {"transactions", unit.counters.transactions},
                         {"failures", unit.counters.failures},
                         {"retries", unit.counters.retries},
                         {"demoted", DemotedAt(unit, shot.now)}});
    }
    out.Object({{"transactions", total.transactions},
                {"failures", total.failures},
                {"retries", total.retries},
                {"unitHealth", units}});
}

}  // namespace

void RunWatch(Session& session, const LineOptions& line, const std::vector<std::string>& gases,
              const WatchOptions& watch) {
    Failures failures;
    std::vector<Gate> gates = ValidGates(session, gases, failures);
    failures.Check();
    if (watch.csv && session.Out().Json()) throw CommandFailure(kExitUsage, "--csv and --json exclude each other");
    session.StartLine(line, kDefaultTimeoutMs);

    const Output& out = session.Out();
    const bool table = !out.Json() && !watch.csv;
    const bool inPlace = table && IsTerminal(stdout);
    PollerOptions options;
    options.interval = std::chrono::milliseconds(watch.periodMs);
    options.device = session.Device();
    options.note = [&session](const std::string& text) { session.Log().Note(text); };
    Poller poller(session.Driver(), std::move(gates), std::move(options));
    Table view(session.Log(), inPlace);
    if (inPlace) session.Log().SetEcho(false);
    session.Log().ForgetLast();

    const InterruptCatcher catcher([&poller] { poller.Stop(); });
    const long polls = watch.once ? 1 : watch.polls;
    Snapshot shot;
    poller.Run([&](long poll) {
        shot = Take(poller, poll);
        if (out.Json()) {
            ShowJson(shot);
        } else if (watch.csv) {
            ShowCsv(shot, poll == 1);
        } else {
            view.Draw(shot);
        }
        if (polls != 0 && poll >= polls) poller.Stop();
    });
    session.Log().SetEcho(true);
    if (shot.poll == 0) return;
    if (!watch.csv) ShowTotals(out, shot);

    // Bounded, a watch is a health check: did every read of every point answer?
    if (polls == 0) return;
    for (std::size_t i = 0; i < shot.points.size(); ++i) {
        const State state = shot.StateAt(i);
        if (shot.points[i].failures > 0 || (state != State::kOk && state != State::kNotRead)) {
            failures.Add(Complaint(shot, i));
        }
    }
    failures.Check();
}

}  // namespace plexer
