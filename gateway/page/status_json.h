// The data the page shows, as JSON and as Prometheus text.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "line_core.h"
#include "point_map.h"
#include "poller.h"
#include "state_json.h"

namespace plexer::gateway {

// What each point's JSON holds that only the running settings decide, in the
// map's order: made once per snapshot, as /api/points is asked many times a second.
struct PointsFrame {
    std::vector<std::string> heads;    // {"gas":..,"unit":..,"name":..,"family":..,
    std::vector<std::string> euNames;  // "euName":..
};
PointsFrame PointsFrameOf(const PointMap& map);

// `verdicts` and `points` in the map's order; the points for the cause of a
// failed read and to tell a '?' position's last read. A JSON array, written straight to text.
std::string PointsText(const PointsFrame& frame, std::span<const PointVerdict> verdicts,
                       const std::vector<PointState>& points);

struct MetricsSources {
    const std::vector<UnitHealth>& units;
    const LineHealth& line;
    const std::map<std::pair<int, int>, long>& requests;
    const PointMap& map;
    std::span<const PointVerdict> verdicts;  // in the map's order
    const std::string& port;                 // the line served, as configured
};
std::string MetricsText(const MetricsSources& sources, PollClock::time_point now);

}  // namespace plexer::gateway
