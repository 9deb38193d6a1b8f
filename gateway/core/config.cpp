#include "config.h"
#include "point_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "display_text.h"
#include "json_check.h"

namespace plexer::gateway {

namespace {

using nlohmann::json;
using namespace qsn::json_check;  // the config file's checks, in their shared words

constexpr off_t kMaxConfigBytes = 1 << 20;

std::string KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

// Only a regular file of a sane size: a FIFO would hold the reader until someone
// writes to it, and opening a device may act on it.
std::optional<std::string> FaultOf(const std::string& path, const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return path + " is " + KindOf(status.st_mode) + ", not a regular file";
    if (status.st_size > kMaxConfigBytes) {
        return path + " is " + std::to_string(status.st_size) + " bytes; a settings file may be at most 1 MiB";
    }
    return std::nullopt;
}

void CheckConfigFile(const std::string& path, const struct stat& status) {
    if (const std::optional<std::string> fault = FaultOf(path, status)) throw CommandFailure(kExitUsage, *fault);
}

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

void ApplySetting(Setting setting, double value, GatewayConfig& config) {
    const auto whole = static_cast<int>(value);
    switch (setting) {
    case Setting::kInterval: config.poller.interval = std::chrono::milliseconds(whole); break;
    case Setting::kMaxAge: config.defaults.maxAge = std::chrono::milliseconds(whole); break;
    case Setting::kDemoteAfter: config.poller.failuresToDemote = whole; break;
    case Setting::kDemoteFor: config.poller.demotedFor = Milliseconds(value); break;
    case Setting::kMaxClients: config.maxClients = whole; break;
    case Setting::kIdleTimeout: config.idleTimeout = Milliseconds(value); break;
    case Setting::kDrainTimeout: config.drainTimeout = Milliseconds(value); break;
    case Setting::kKeepAlive: config.mqtt.keepAliveS = whole; break;
    case Setting::kDeadband: config.mqtt.deadband = value; break;
    case Setting::kHistoryDays: config.history.days = value; break;
    case Setting::kHistoryMb: config.history.megabytes = value; break;
    }
}

// The entry's value in the file, if it holds one; a section of another shape is its own check's.
const json* FileValue(const json& file, const SettingEntry& entry) {
    const json* holder = &file;
    if (entry.section != nullptr) {
        if (!file.contains(entry.section)) return nullptr;
        holder = &file.at(entry.section);
    }
    if (!holder->is_object() || !holder->contains(entry.key)) return nullptr;
    return &holder->at(entry.key);
}

std::optional<std::string> FaultOf(const SettingEntry& entry, const json& value) {
    return qsn::json_check::RangeFault(value, entry.low, entry.high, entry.whole);
}

void ApplyLine(const json& line, LineOptions& options) {
    const std::string path = "line";
    OnlyKeys(line, path, {"port", "baud", "dataBits", "stopBits", "parity", "timeoutMs"});
    const auto at = [&](const char* key) { return Member(path, key); };
    if (line.contains("port")) options.port = Text(line.at("port"), at("port"));
    if (line.contains("baud")) options.baud = static_cast<unsigned>(Whole(line.at("baud"), at("baud"), 1, 65535));
    if (line.contains("dataBits")) options.dataBits = static_cast<int>(Whole(line.at("dataBits"), at("dataBits"), 5, 8));
    if (line.contains("stopBits")) options.stopBits = OneOf(line.at("stopBits"), at("stopBits"), {"1", "1.5", "2"});
    if (line.contains("parity")) {
        options.parity = OneOf(line.at("parity"), at("parity"), {"none", "odd", "even", "mark", "space"});
    }
    if (line.contains("timeoutMs")) {
        options.timeoutMs = static_cast<int>(Whole(line.at("timeoutMs"), at("timeoutMs"), 1, 600000));
    }
}

int UnitKey(const std::string& key, const std::string& path) {
    std::string digits = key;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    const bool hex = !digits.empty() && digits.size() <= 2 &&
                     std::all_of(digits.begin(), digits.end(), IsHexDigit);
    if (!hex) Fail(path, "a unit address is one or two hexadecimal digits, as in a GAS");
    return std::stoi(digits, nullptr, 16);
}

void ApplyUnits(const json& units, GatewayConfig& config) {
    if (!units.is_object()) Fail("units", "must be an object of unit addresses");
    for (const auto& [key, settings] : units.items()) {
        const std::string path = "units." + key;
        OnlyKeys(settings, path, {"maxAgeMs", "readOnly"});
        UnitOverride unit;
        if (settings.contains("maxAgeMs")) {
            unit.maxAge = std::chrono::milliseconds(Whole(settings.at("maxAgeMs"), Member(path, "maxAgeMs"), 0, 86400000));
        }
        if (settings.contains("readOnly")) unit.readOnly = Flag(settings.at("readOnly"), Member(path, "readOnly"));
        config.perUnit[UnitKey(key, path)] = unit;
    }
}

std::vector<std::string> PointList(const json& points) {
    if (!points.is_array()) Fail("points", "must be a list of gate address strings");
    std::vector<std::string> items;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!points[i].is_string()) Fail(qsn::json_check::Element("points", i), "must be a gate address string");
        items.push_back(points[i].get<std::string>());
    }
    return items;
}

bool IsAddress(int family, const std::string& host) {
    in6_addr address{};
    return inet_pton(family, host.c_str(), &address) == 1;
}

}  // namespace

std::optional<std::string> SettingFault(const SettingEntry& entry, const std::string& text) {
    // The command line's text read as the file's JSON would be, so both give
    // the same reason; leading zeros, which JSON does not take, are dropped.
    const json value = json::parse(std::regex_replace(text, std::regex("^(-?)0+([0-9])"), "$1$2"), nullptr, false);
    return FaultOf(entry, value.is_discarded() ? json(text) : value);
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        item.erase(std::remove_if(item.begin(), item.end(), [](char c) { return std::isspace(c) != 0; }), item.end());
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

std::vector<std::string> ExpandPoints(const std::vector<std::string>& items) {
    std::vector<std::string> gases;
    std::set<std::string> seen;
    const auto add = [&](const std::string& gas) {
        if (seen.insert(gas).second) gases.push_back(gas);
    };
    for (std::string item : items) {
        std::transform(item.begin(), item.end(), item.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        if (item.size() == 5 && item[4] == '*') {
            for (int position = 0; position < kPositions; ++position) add(GasAt(item, position));
        } else {
            add(item);
        }
    }
    return gases;
}

std::optional<int> TcpPort(const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 5 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; });
    const int port = digits ? std::stoi(text) : -1;
    return port >= 0 && port <= 65535 ? std::optional(port) : std::nullopt;
}

namespace {

// HOST and PORT as given, each empty when left out; `what` names the option in a refusal.
std::pair<std::string, std::optional<int>> SplitAddress(const std::string& text, const std::string& what) {
    std::string host;
    std::string rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) throw std::invalid_argument(what + ": " + text + " has no closing ]");
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') throw std::invalid_argument(what + ": " + text + " is not [IPv6]:PORT");
        if (!IsAddress(AF_INET6, host)) throw std::invalid_argument(what + ": " + host + " is not an IPv6 address");
    } else {
        const std::size_t colon = text.rfind(':');
        host = colon == std::string::npos ? text : text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
        if (!host.empty() && host != "localhost" && !IsAddress(AF_INET, host)) {
            throw std::invalid_argument(what + ": " + host +
                                        " is not an IPv4 address, localhost, or an IPv6 address in brackets");
        }
    }
    if (rest.empty()) return {host, std::nullopt};
    const std::optional<int> port = TcpPort(rest.substr(1));
    if (!port) throw std::invalid_argument(what + ": " + rest.substr(1) + " is not a TCP port");
    return {host, port};
}

}  // namespace

namespace {

// An empty address would listen on a default or a random port nobody asked for.
void RefuseEmpty(const std::string& text, const std::string& what) {
    if (text.empty()) throw std::invalid_argument(what + ": give an address, or none to turn it off");
}

}  // namespace

void ParseListen(const std::string& text, GatewayConfig& config) {
    RefuseEmpty(text, "listen");
    config.serveModbus = text != kOff;
    if (!config.serveModbus) return;
    const auto [host, port] = SplitAddress(text, "listen");
    if (!host.empty()) config.host = host;
    if (port) config.port = *port;
}

std::optional<Endpoint> ParseHttp(const std::string& text) {
    RefuseEmpty(text, "http");
    if (text == kOff) return std::nullopt;
    const bool bare = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; });
    const auto [host, port] = SplitAddress(bare ? ":" + text : text, "http");
    Endpoint endpoint;
    if (!host.empty()) endpoint.host = host;
    endpoint.port = port.value_or(0);
    return endpoint;
}

void ApplyConfigText(const std::string& text, GatewayConfig& config) {
    try {
        const json file = qsn::json_check::Parse(text, "config");
        if (!file.is_object()) Fail("config", "must be an object");
        OnlyKeys(file, "",
                 {"line", "listen", "pollIntervalMs", "maxAgeMs", "demoteAfter", "demoteForS", "maxClients",
                  "idleTimeoutS", "drainTimeoutS", "readOnly", "points", "units", "engineering", "http", "mqtt",
                  "history", "historyDays", "historyMb"});
        if (file.contains("line")) ApplyLine(file.at("line"), config.line);
        if (file.contains("listen")) ParseListen(Text(file.at("listen"), "listen"), config);
        for (const SettingEntry& entry : kSettings) {
            const json* value = FileValue(file, entry);
            if (value == nullptr) continue;
            if (auto fault = FaultOf(entry, *value)) Fail(entry.section ? Member(entry.section, entry.key) : entry.key, *fault);
            ApplySetting(entry.setting, value->get<double>(), config);
        }
        if (file.contains("readOnly")) config.readOnly = Flag(file.at("readOnly"), "readOnly");
        if (file.contains("points")) config.gases = ExpandPoints(PointList(file.at("points")));
        if (file.contains("units")) ApplyUnits(file.at("units"), config);
        if (file.contains("engineering")) config.engineering = ParseEngineering(file.at("engineering"));
        if (file.contains("http")) config.http = ParseHttp(Text(file.at("http"), "http"));
        if (file.contains("mqtt")) mqtt::ApplyMqttJson(file.at("mqtt"), config.mqtt);
        if (file.contains("history")) config.history.path = Text(file.at("history"), "history");
    } catch (const JsonError& e) {
        throw std::invalid_argument(e.what());
    }
}

std::optional<std::string> FileFault(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
    return FaultOf(path, status);
}

std::string ReadConfigFile(const std::string& path) {
    const CommandFailure unreadable(kExitUsage, path + ": cannot be read");
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) throw unreadable;
    CheckConfigFile(path, status);
    // Without waiting, and checked again as opened, should the path have been swapped meanwhile.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw unreadable;
    const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* open) { close(*open); });
    if (fstat(fd, &status) != 0) throw unreadable;
    CheckConfigFile(path, status);
    std::string text;
    char chunk[4096];
    ssize_t count = 0;
    while ((count = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(count));
        if (std::ssize(text) > kMaxConfigBytes) throw CommandFailure(kExitUsage, path + " grew past 1 MiB");
    }
    if (count < 0) throw unreadable;
    return text;
}

GatewayConfig ResolveConfig(const GatewayOptions& options, const LineOptions& line) {
    GatewayConfig config;
    for (const SettingEntry& entry : kSettings) ApplySetting(entry.setting, entry.fallback, config);
    const std::string text = options.configPath.empty() ? "" : ReadConfigFile(options.configPath);
    try {
        if (!options.configPath.empty()) ApplyConfigText(text, config);
    } catch (const JsonError& e) {
        throw CommandFailure(kExitUsage, e.what());
    } catch (const std::invalid_argument& e) {
        throw CommandFailure(kExitUsage, options.configPath + ": " + e.what());
    }
    // The command line over the file, field by field.
    if (!line.port.empty()) config.line.port = line.port;
    if (line.baud) config.line.baud = line.baud;
    if (line.dataBits) config.line.dataBits = line.dataBits;
    if (line.stopBits) config.line.stopBits = line.stopBits;
    if (line.parity) config.line.parity = line.parity;
    if (line.timeoutMs) config.line.timeoutMs = line.timeoutMs;
    WithExitCode<std::invalid_argument>(kExitUsage, [&] {
        if (options.listen) ParseListen(*options.listen, config);
        if (options.http) config.http = ParseHttp(*options.http);
        mqtt::ResolveMqtt(options.mqtt, config.line.port, config.mqtt);
    });
    if (!options.points.empty()) config.gases = ExpandPoints(SplitList(options.points));
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        if (options.numbers[i]) ApplySetting(kSettings[i].setting, *options.numbers[i], config);
    }
    if (options.history) config.history.path = *options.history;
    config.readOnly = config.readOnly || options.readOnly;
    config.mapFormat = options.mapFormat;
    if (!config.serveModbus && !config.http && !config.mqtt.enabled && config.history.path.empty()) {
        throw CommandFailure(kExitUsage, "nothing to serve: Modbus (--listen), the page (--http), MQTT (--mqtt) and "
                                         "the history (--history) are all off");
    }
    if (config.gases.empty()) throw CommandFailure(kExitUsage, "no points: give --points or a config file with points");
    return config;
}

}  // namespace plexer::gateway
