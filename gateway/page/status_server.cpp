#include "status_server.h"

#include <httplib.h>

#include <chrono>
#include <functional>
#include <stdexcept>

#include "config.h"
#include "map_export.h"
#include "page.h"
#include "status_json.h"

namespace plexer::gateway {

namespace {

constexpr std::size_t kLinesKept = 200;
// Few workers and short keep-alives: the page is for a handful of people, not a crowd.
constexpr std::size_t kWorkers = 4;
constexpr int kKeepAliveRequests = 20;
constexpr int kSocketTimeoutS = 2;

// "14:03:07.250": the time of day of the log's own timestamp, after its date and "T".
std::string TimeOfDay() { return LogTimestamp(std::chrono::system_clock::now()).substr(11, 12); }

void SendJson(httplib::Response& response, const nlohmann::ordered_json& json) {
    response.set_content(json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                         "application/json");
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

StatusServer::StatusServer(const std::string& listen, StatusSources sources)
    : sources_(sources), server_(std::make_unique<httplib::Server>()) {
    const std::size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
    if (host.empty()) host = "127.0.0.1";
    const std::string portText = colon == std::string::npos ? "0" : listen.substr(colon + 1);
    const std::optional<int> number = TcpPort(portText);
    if (!number) throw std::invalid_argument("http: " + portText + " is not a TCP port");
    const int port = *number;
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_->set_keep_alive_max_count(kKeepAliveRequests);
    server_->set_keep_alive_timeout(kSocketTimeoutS);
    server_->set_read_timeout(kSocketTimeoutS, 0);
    server_->set_write_timeout(kSocketTimeoutS, 0);
    Route();
    const int bound = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
    if (bound < 0) throw std::runtime_error("http: cannot listen on " + host + ":" + portText);
    address_ = host + ":" + std::to_string(bound);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

StatusServer::~StatusServer() {
    server_->stop();
    thread_.join();
}

void StatusServer::Route() {
    server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    const auto serveJson = [this](const char* path, std::function<nlohmann::ordered_json()> build) {
        server_->Get(path, [build](const httplib::Request&, httplib::Response& response) { SendJson(response, build()); });
    };
    serveJson("/api/units", [&core = sources_.core] { return UnitsJson(core.Units(), PollClock::now()); });
    serveJson("/api/line", [&core = sources_.core] { return LineJson(core.Line(), PollClock::now()); });
    serveJson("/api/points", [&core = sources_.core] {
        const RunningPtr running = core.Settings();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, PollClock::now());
        return PointsJson(running->map, verdicts, core.Points());
    });
    server_->Get("/api/map", [&core = sources_.core](const httplib::Request&, httplib::Response& response) {
        const RunningPtr running = core.Settings();
        const std::vector<MapRow> rows = MapRows(running->map, running->config.readOnly, core.Points());
        response.set_content(MapText(rows, MapFormat::kJson), "application/json");
    });
    serveJson("/api/lines", [this] {
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (const KeptLine& kept : sources_.lines.Last()) {
            all.push_back(
                {{"time", kept.time}, {"level", kept.line.level}, {"text", kept.line.text}, {"repeats", kept.repeats}});
        }
        return all;
    });
    serveJson("/api/wire", [this] {
        return nlohmann::ordered_json(sources_.wire != nullptr ? sources_.wire->Last() : std::vector<std::string>());
    });
    server_->Get("/metrics", [this, &core = sources_.core](const httplib::Request&, httplib::Response& response) {
        const RunningPtr running = core.Settings();
        const PollClock::time_point now = PollClock::now();
        const std::vector<PointVerdict> verdicts = core.JudgeAll(*running, now);
        const std::vector<UnitHealth> units = core.Units();
        const LineHealth line = core.Line();
        const auto requests = sources_.traffic.Snapshot();
        response.set_content(MetricsText(MetricsSources{units, line, requests, running->map, verdicts}, now),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
}

}  // namespace plexer::gateway
