// The gateway's settings: from a JSON file, from the command line (which wins),
// or both. A bad file is reported with the path of the field at fault.
#pragma once

#include <array>
#include <chrono>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_config.h"
#include "point_map.h"
#include "poller.h"
#include "scaling.h"
#include "session.h"

namespace plexer::gateway {

inline constexpr const char* kDefaultHost = "127.0.0.1";
inline constexpr int kDefaultPort = 5020;
// What turns a listener off, on the command line or in the file, over what the other gave.
inline constexpr const char* kOff = "none";

// The numeric settings, each one entry that both the command line and the
// file are built from, so that both accept and refuse alike.
enum class Setting {
    kInterval, kMaxAge, kDemoteAfter, kDemoteFor, kMaxClients, kIdleTimeout, kDrainTimeout, kKeepAlive, kDeadband,
    kHistoryDays, kHistoryMb
};

struct SettingEntry {
    Setting setting;
    const char* flag;     // on the command line
    const char* section;  // in the file: the object that holds the key, or none (the top)
    const char* key;
    const char* typeName;
    double low;
    double high;
    double fallback;
    bool whole;
    const char* help;
};

inline constexpr SettingEntry kSettings[] = {
    {Setting::kInterval, "--interval", nullptr, "pollIntervalMs", "MS", 0, 3600000, 1000, true, "Poll interval in ms"},
    {Setting::kMaxAge, "--max-age", nullptr, "maxAgeMs", "MS", 0, 86400000, 10000, true,
     "Older values answer exception 0x0B, in ms"},
    {Setting::kDemoteAfter, "--demote-after", nullptr, "demoteAfter", "N", 1, 1000, 3, true,
     "Failed polls in a row that set a unit aside"},
    {Setting::kDemoteFor, "--demote-for", nullptr, "demoteForS", "S", 0, 86400, 10, false,
     "Seconds a unit set aside is skipped"},
    {Setting::kMaxClients, "--max-clients", nullptr, "maxClients", "N", 1, 1000, 64, true,
     "Connections served at once; at the cap the one idle longest makes room"},
    {Setting::kIdleTimeout, "--idle-timeout", nullptr, "idleTimeoutS", "S", 0.001, 86400, 60, false,
     "Seconds before a silent connection is closed"},
    {Setting::kDrainTimeout, "--drain-timeout", nullptr, "drainTimeoutS", "S", 0, 600, 5, false,
     "Seconds a stop gives queued writes before it answers them 0x04"},
    {Setting::kKeepAlive, "--mqtt-keepalive", "mqtt", "keepAliveS", "S", 5, 65535, 30, true,
     "MQTT keep-alive in seconds"},
    {Setting::kDeadband, "--mqtt-deadband", "mqtt", "deadband", "N", 0, 65535, 0, false,
     "Change an analog value must pass to be published"},
    {Setting::kHistoryDays, "--history-days", nullptr, "historyDays", "DAYS", 1, 3650, 30, false,
     "Days of history kept"},
    {Setting::kHistoryMb, "--history-mb", nullptr, "historyMb", "MB", 1, 1048576, 512, false,
     "Megabytes the history may fill"},
};
inline constexpr std::size_t kSettingCount = std::size(kSettings);

// Why `text` is refused for the setting, in the words the file's check uses; none when it fits.
std::optional<std::string> SettingFault(const SettingEntry& entry, const std::string& text);

// As given on the command line; unset fields come from the file or the defaults.
struct GatewayOptions {
    std::string configPath;
    std::string points;
    std::optional<std::string> listen;
    std::array<std::optional<double>, kSettingCount> numbers;  // in the order of kSettings
    bool readOnly = false;
    bool printMap = false;
    std::optional<std::string> http;
    std::optional<std::string> history;
    std::string mapFormat = "text";
    mqtt::MqttFlags mqtt;
};

// Where a face listens.
struct Endpoint {
    std::string host = kDefaultHost;  // an IPv4 or IPv6 address, or localhost
    int port = 0;                      // 0: any free port
};

// The line's history store: off unless given a path.
struct HistoryConfig {
    std::string path;
    double days = 30;
    double megabytes = 512;
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
    std::chrono::milliseconds drainTimeout{5000};
    bool readOnly = false;
    Engineering engineering;
    std::optional<Endpoint> http;  // the status page's; none: no page
    std::string mapFormat = "text";
    bool serveModbus = true;  // false with --listen none
    mqtt::MqttConfig mqtt;
    HistoryConfig history;
};

// "01AI*,05DO3" as gate address strings, upper-cased, '*' in the position
// place standing for all sixteen, each once.
std::vector<std::string> ExpandPoints(const std::vector<std::string>& items);
std::vector<std::string> SplitList(const std::string& list);

// The file's settings over the defaults; throws std::invalid_argument "path: reason".
void ApplyConfigText(const std::string& text, GatewayConfig& config);

// Why `path` is no file to read settings from: not a regular file, or over
// 1 MiB. None when it is one, or is not there at all (opening it then fails).
std::optional<std::string> FileFault(const std::string& path);

// The text of a configuration file: a regular file of at most 1 MiB, or
// CommandFailure(kExitUsage) naming what it is instead, never waiting on a FIFO.
std::string ReadConfigFile(const std::string& path);

// Everything resolved; throws CommandFailure(kExitUsage) for what is wrong.
GatewayConfig ResolveConfig(const GatewayOptions& options, const LineOptions& line);

// A TCP port as written: decimal digits only, 0 to 65535; none otherwise.
std::optional<int> TcpPort(const std::string& text);

// "HOST:PORT", "HOST", ":PORT" or "[IPv6]:PORT", HOST an IPv4 or IPv6
// address or localhost, or "none"; throws std::invalid_argument.
void ParseListen(const std::string& text, GatewayConfig& config);

// The status page's address in the forms of ParseListen, and a bare PORT
// (digits alone) as a port on loopback; none for "none". Throws std::invalid_argument.
std::optional<Endpoint> ParseHttp(const std::string& text);

}  // namespace plexer::gateway
