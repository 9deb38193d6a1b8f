#include "status_server.h"

#include <chrono>
#include <functional>

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
    return {"application/json", json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)};
}

}  // namespace

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
    : sources_(sources) {
    HttpLimits limits;
    limits.maxConnections = maxConnections;
    server_ = std::make_unique<HttpServer>(host, port, Routes(), limits);
}

StatusServer::~StatusServer() = default;

std::string StatusServer::Address() const { return server_->Address(); }

bool StatusServer::Loopback() const { return server_->Loopback(); }

std::map<std::string, HttpRoute> StatusServer::Routes() const {
    std::map<std::string, HttpRoute> routes;
    routes["/"] = [page = PageAbout(sources_.core.Settings()->config.line.port)] {
        return HttpAnswer{"text/html; charset=utf-8", page};
    };
    const auto serveJson = [&routes](const char* path, std::function<nlohmann::ordered_json()> build) {
        routes[path] = [build] { return JsonAnswer(build()); };
    };
    serveJson("/api/units", [&core = sources_.core] { return UnitsJson(core.Units(), PollClock::now()); });
    serveJson("/api/line", [&core = sources_.core] { return LineJson(core.Line(), PollClock::now()); });
    serveJson("/api/points", [&core = sources_.core] {
        const RunningPtr running = core.Settings();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, PollClock::now());
        return PointsJson(running->map, verdicts, core.Points());
    });
    routes["/api/map"] = [&core = sources_.core] {
        const RunningPtr running = core.Settings();
        const std::vector<MapRow> rows = MapRows(running->map, running->config.readOnly, core.Points());
        return HttpAnswer{"application/json", MapText(rows, MapFormat::kJson)};
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
    routes["/metrics"] = [&core = sources_.core, &traffic = sources_.traffic] {
        const RunningPtr running = core.Settings();
        const PollClock::time_point now = PollClock::now();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, now);
        const std::vector<UnitHealth> units = core.Units();
        const LineHealth line = core.Line();
        const auto requests = traffic.Snapshot();
        return HttpAnswer{"text/plain; version=0.0.4; charset=utf-8",
                          MetricsText(MetricsSources{units, line, requests, running->map, verdicts,
                                                     running->config.line.port},
                                      now)};
    };
    return routes;
}

}  // namespace plexer::gateway
