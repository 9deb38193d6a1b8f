// The data the page shows, as JSON and as Prometheus text.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "point_map.h"
#include "poller.h"
#include "state_json.h"

namespace plexer::gateway {

nlohmann::ordered_json PointsJson(const PointMap& map, const std::vector<PointState>& points,
                                  PollClock::time_point now);
std::string MetricsText(const std::vector<UnitHealth>& units, const LineHealth& line,
                        const std::map<std::pair<int, int>, long>& requests, PollClock::time_point now);

}  // namespace plexer::gateway
