#include "status_server.h"

#include <algorithm>
#include <chrono>
#include <functional>

#include "history_source.h"
#include "map_export.h"
#include "page.h"
#include "status_json.h"
#include "version.h"

namespace plexer::gateway {

namespace {

constexpr std::size_t kLinesKept = 200;

// "14:03:07.250": the time of day of the log's own timestamp, after its date and "T".
std::string TimeOfDay() { return LogTimestamp(std::chrono::system_clock::now()).substr(11, 12); }

std::string HtmlText(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

// The page names the line it serves and the version serving it; a port's name is the user's text.
std::string PageAbout(const std::string& line) {
    std::string page = kStatusPage;
    const auto put = [&page](const std::string& mark, const std::string& text) {
        const std::size_t at = page.find(mark);
        if (at != std::string::npos) page.replace(at, mark.size(), HtmlText(text));
    };
    put("@LINE@", line);
    put("@VERSION@", Version());
    return page;
}

HttpAnswer JsonAnswer(const nlohmann::ordered_json& json) {
    return {"application/json", json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace), 200, {}};
}

// Enough for an hour of a few busy points; a wider ask is cut and says so,
// as answers wait whole for slow readers and the page holds up to its cap of them.
constexpr std::size_t kHistoryRowsMost = 10000;

HttpAnswer PlainAnswer(int status, const std::string& text) {
    return {"text/plain; charset=utf-8", text + "\n", status, {}};
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Row by row into the text: the rows' JSON is never held whole as objects.
std::string HistoryJsonText(const HistoryQuery& asked, const std::vector<HistoryRow>& rows, bool truncated) {
    nlohmann::ordered_json head = {{"from", HistoryTimeText(asked.fromMs)},
                                   {"to", HistoryTimeText(asked.toMs)},
                                   {"points", asked.gases},
                                   {"truncated", truncated},
                                   {"rowsMost", kHistoryRowsMost}};
    std::string text = head.dump();
    text.pop_back();
    text += ",\"rows\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) text += ',';
        text += HistoryJson(rows[i]).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    return text + "]}";
}

HttpAnswer HistoryAnswer(const HistorySource* history, std::string_view query) {
    if (history == nullptr) {
        return PlainAnswer(404, "no history: the gateway keeps one with --history PATH or \"history\" in its config");
    }
    const std::map<std::string, std::string> fields = QueryFields(query);
    const auto field = [&fields](const char* name, const char* otherwise) {
        const auto found = fields.find(name);
        return found == fields.end() ? std::string(otherwise) : found->second;
    };
    const std::string format = field("format", "json");
    if (format != "json" && format != "csv") {
        return PlainAnswer(400, "format " + format.substr(0, 20) + ": give json or csv");
    }
    const std::string every = field("every", "0");
    const bool everyRead = !every.empty() && every.size() <= 12 && every.find_first_not_of("0123456789") == every.npos;
    if (!everyRead) return PlainAnswer(400, "every " + every.substr(0, 20) + ": give ms, a whole number");
    HistoryQuery asked;
    std::vector<HistoryRow> rows;
    try {
        asked = ReadHistoryQuery(field("points", ""), field("from", "-1h"), field("to", "now"), NowMs());
        rows = history->Rows(asked.gases, asked.fromMs, asked.toMs, kHistoryRowsMost + 1, std::stoll(every));
    } catch (const std::invalid_argument& e) {
        return PlainAnswer(400, e.what());
    } catch (const std::runtime_error& e) {
        return PlainAnswer(500, std::string("the store did not answer: ") + e.what());
    }
    const bool truncated = rows.size() > kHistoryRowsMost;
    if (truncated) rows.resize(kHistoryRowsMost);
    HttpAnswer answer{"application/json", "", 200, {}};
    if (format == "csv") answer.type = "text/csv; charset=utf-8";
    answer.body = format == "csv" ? HistoryCsv(rows) : HistoryJsonText(asked, rows, truncated);
    if (truncated) answer.headers.push_back("X-History-Truncated: " + std::to_string(kHistoryRowsMost) + " rows");
    return answer;
}

// Made again only when a reload has swapped the snapshot (or `key` has moved).
template <typename T, typename Key = bool>
class PerSnapshot {
public:
    template <typename Make>
    const T& For(const RunningPtr& running, const Key& key, Make make) {
        if (of_.lock() != running || key_ != key) {
            value_ = make(*running);
            of_ = running;
            key_ = key;
        }
        return value_;
    }

private:
    std::weak_ptr<const Running> of_;  // weak: a swapped-out snapshot is not kept alive for this
    Key key_{};
    T value_{};
};

}  // namespace

struct StatusServer::Made {
    PerSnapshot<std::string, std::vector<bool>> map;  // keyed by the places the units answer '?' for
    PerSnapshot<PointsFrame> points;
};

void LineLog::Add(const LogLine& line) {
    const std::lock_guard lock(mutex_);
    if (!lines_.empty() && lines_.back().line.level == line.level && lines_.back().line.text == line.text) {
        ++lines_.back().repeats;
        return;
    }
    lines_.push_back({TimeOfDay(), line, 0});
    if (lines_.size() > kLinesKept) lines_.pop_front();
}

std::vector<KeptLine> LineLog::Last() const {
    const std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

StatusServer::StatusServer(const std::string& host, int port, std::size_t maxConnections, StatusSources sources)
    : sources_(sources), made_(std::make_unique<Made>()) {
    HttpLimits limits;
    limits.maxConnections = maxConnections;
    server_ = std::make_unique<HttpServer>(host, port, Routes(), limits);
}

StatusServer::~StatusServer() = default;

std::string StatusServer::Address() const { return server_->Address(); }

bool StatusServer::Loopback() const { return server_->Loopback(); }

std::map<std::string, HttpRoute> StatusServer::Routes() const {
    std::map<std::string, HttpRoute> routes;
    routes["/"] = [page = PageAbout(sources_.core.Settings()->config.line.port)](std::string_view) {
        return HttpAnswer{"text/html; charset=utf-8", page, 200, {}};
    };
    const auto serveJson = [&routes](const char* path, std::function<nlohmann::ordered_json()> build) {
        routes[path] = [build](std::string_view) { return JsonAnswer(build()); };
    };
    serveJson("/api/units", [&core = sources_.core] { return UnitsJson(core.Units(), PollClock::now()); });
    serveJson("/api/line", [&core = sources_.core] { return LineJson(core.Line(), PollClock::now()); });
    routes["/api/points"] = [&core = sources_.core, made = made_.get()](std::string_view) {
        const RunningPtr running = core.Settings();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, PollClock::now());
        const PointsFrame& frame =
            made->points.For(running, false, [](const Running& settings) { return PointsFrameOf(settings.map); });
        return HttpAnswer{"application/json", PointsText(frame, verdicts, core.Points()), 200, {}};
    };
    routes["/api/map"] = [&core = sources_.core, made = made_.get()](std::string_view) {
        const RunningPtr running = core.Settings();
        const std::vector<PointState> points = core.Points();
        std::vector<bool> unanswered(points.size());
        std::transform(points.begin(), points.end(), unanswered.begin(), UnansweredPlace);
        const std::string& text = made->map.For(running, unanswered, [&points](const Running& settings) {
            return MapText(MapRows(settings.map, settings.config.readOnly, points), MapFormat::kJson);
        });
        return HttpAnswer{"application/json", text, 200, {}};
    };
    serveJson("/api/lines", [&lines = sources_.lines] {
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (const KeptLine& kept : lines.Last()) {
            all.push_back(
                {{"time", kept.time}, {"level", kept.line.level}, {"text", kept.line.text}, {"repeats", kept.repeats}});
        }
        return all;
    });
    serveJson("/api/wire", [wire = sources_.wire] {
        return nlohmann::ordered_json(wire != nullptr ? wire->Last() : std::vector<std::string>());
    });
    routes["/api/history"] = [&core = sources_.core](std::string_view query) {
        return HistoryAnswer(core.History(), query);
    };
    routes["/metrics"] = [&core = sources_.core, &traffic = sources_.traffic](std::string_view) {
        const RunningPtr running = core.Settings();
        const PollClock::time_point now = PollClock::now();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, now);
        const std::vector<UnitHealth> units = core.Units();
        const LineHealth line = core.Line();
        const auto requests = traffic.Snapshot();
        return HttpAnswer{"text/plain; version=0.0.4; charset=utf-8",
                          MetricsText(MetricsSources{units, line, requests, running->map, verdicts,
                                                     running->config.line.port},
                                      now),
                          200, {}};
    };
    return routes;
}

}  // namespace plexer::gateway
