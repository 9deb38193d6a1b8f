// The rack in a browser: a read-only page, JSON endpoints of the same data
// and /metrics in the Prometheus text format, served on a thread of its own
// from the line's core. Nothing here writes to the line.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http_server.h"
#include "line_core.h"
#include "log_view.h"
#include "trace_ring.h"
#include "traffic.h"

namespace plexer::gateway {

// The driver's last lines, for the page's traffic monitor; a line equal to
// the one before it is counted, not kept again.
struct KeptLine {
    std::string time;  // of day, to the millisecond
    LogLine line;
    long repeats = 0;
};

class LineLog {
public:
    void Add(const LogLine& line);
    std::vector<KeptLine> Last() const;  // oldest first

private:
    mutable std::mutex mutex_;
    std::deque<KeptLine> lines_;
};

struct StatusSources {
    const LineCore& core;
    const TrafficCounts& traffic;
    const LineLog& lines;
    const TraceRing* wire = nullptr;  // the wire trace's last lines, when the line is traced
};

class StatusServer {
public:
    // Listens on `host` (an IPv4 or IPv6 address, or localhost) at `port` (0:
    // any), holding `maxConnections` at most; throws std::runtime_error when it cannot listen.
    StatusServer(const std::string& host, int port, std::size_t maxConnections, StatusSources sources);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    std::string Address() const;
    bool Loopback() const;

private:
    struct Made;  // answers made once per running settings snapshot

    std::map<std::string, HttpRoute> Routes() const;

    StatusSources sources_;
    std::unique_ptr<Made> made_;  // touched by the server's thread only
    std::unique_ptr<HttpServer> server_;
};

}  // namespace plexer::gateway
