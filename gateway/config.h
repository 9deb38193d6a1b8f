// The gateway's settings: from a JSON file, from the command line (which wins),
// or both. A bad file is reported with the path of the field at fault.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_config.h"
#include "point_map.h"
#include "poller.h"
#include "session.h"

namespace plexer::gateway {

inline constexpr const char* kDefaultHost = "127.0.0.1";
inline constexpr int kDefaultPort = 5020;

// As given on the command line; unset fields come from the file or the defaults.
struct GatewayOptions {
    std::string configPath;
    std::string points;
    std::optional<std::string> listen;
    std::optional<int> intervalMs;
    std::optional<int> maxAgeMs;
    std::optional<int> demoteAfter;
    std::optional<double> demoteForS;
    std::optional<int> maxClients;
    std::optional<double> idleTimeoutS;
    bool readOnly = false;
    bool printMap = false;
    mqtt::MqttFlags mqtt;
};

struct GatewayConfig {
    LineOptions line;
    std::vector<std::string> gases;  // every point, '*' expanded, in order
    std::string host = kDefaultHost;
    int port = kDefaultPort;
    PollerOptions poller;
    UnitSettings defaults;
    std::map<int, UnitOverride> perUnit;
    int maxClients = 64;
    std::chrono::milliseconds idleTimeout{60000};
    bool readOnly = false;
    bool serveModbus = true;  // false with --listen none
    mqtt::MqttConfig mqtt;
};

// "01AI*,05DO3" as gate address strings, upper-cased, '*' in the position
// place standing for all sixteen, each once.
std::vector<std::string> ExpandPoints(const std::vector<std::string>& items);
std::vector<std::string> SplitList(const std::string& list);

// The file's settings over the defaults; throws std::invalid_argument "path: reason".
void ApplyConfigText(const std::string& text, GatewayConfig& config);

// Everything resolved; throws CommandFailure(kExitUsage) for what is wrong.
GatewayConfig ResolveConfig(const GatewayOptions& options, const LineOptions& line);

// "HOST:PORT", "HOST" or ":PORT"; throws std::invalid_argument.
void ParseListen(const std::string& text, GatewayConfig& config);

}  // namespace plexer::gateway
