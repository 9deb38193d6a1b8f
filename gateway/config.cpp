#include "config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace plexer::gateway {

namespace {

using nlohmann::json;

[[noreturn]] void Fault(const std::string& path, const std::string& reason) {
    throw std::invalid_argument(path + ": " + reason);
}

void OnlyKeys(const json& object, const std::string& path, const std::set<std::string>& known) {
    if (!object.is_object()) Fault(path.empty() ? "(top)" : path, "expected an object");
    for (const auto& [key, value] : object.items()) {
        if (known.count(key) == 0) Fault(path.empty() ? key : path + "." + key, "unknown setting");
    }
}

std::string Join(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }

// The whole number at `key`, within [low, high], if present.
std::optional<long long> Whole(const json& object, const std::string& path, const std::string& key, long long low,
                               long long high) {
    if (!object.contains(key)) return std::nullopt;
    const json& value = object.at(key);
    if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high) {
        Fault(Join(path, key), "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value.get<long long>();
}

std::optional<double> Seconds(const json& object, const std::string& path, const std::string& key, double high) {
    if (!object.contains(key)) return std::nullopt;
    const json& value = object.at(key);
    if (!value.is_number() || value.get<double>() < 0 || value.get<double>() > high) {
        std::ostringstream range;
        range << "expected a number of seconds from 0 to " << high;
        Fault(Join(path, key), range.str());
    }
    return value.get<double>();
}

std::optional<std::string> Text(const json& object, const std::string& path, const std::string& key,
                                const std::vector<std::string>& allowed = {}) {
    if (!object.contains(key)) return std::nullopt;
    const json& value = object.at(key);
    if (!value.is_string()) Fault(Join(path, key), "expected a string");
    const std::string text = value.get<std::string>();
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), text) == allowed.end()) {
        std::string list;
        for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
        Fault(Join(path, key), "expected one of " + list);
    }
    return text;
}

std::optional<bool> Flag(const json& object, const std::string& path, const std::string& key) {
    if (!object.contains(key)) return std::nullopt;
    if (!object.at(key).is_boolean()) Fault(Join(path, key), "expected true or false");
    return object.at(key).get<bool>();
}

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

void ApplyLine(const json& line, LineOptions& options) {
    const std::string path = "line";
    OnlyKeys(line, path, {"port", "baud", "dataBits", "stopBits", "parity", "timeoutMs"});
    if (auto port = Text(line, path, "port")) options.port = *port;
    if (auto baud = Whole(line, path, "baud", 1, 65535)) options.baud = static_cast<unsigned>(*baud);
    if (auto bits = Whole(line, path, "dataBits", 5, 8)) options.dataBits = static_cast<int>(*bits);
    if (auto stop = Text(line, path, "stopBits", {"1", "1.5", "2"})) options.stopBits = *stop;
    if (auto parity = Text(line, path, "parity", {"none", "odd", "even", "mark", "space"})) options.parity = *parity;
    if (auto timeout = Whole(line, path, "timeoutMs", 1, 600000)) options.timeoutMs = static_cast<int>(*timeout);
}

int UnitKey(const std::string& key, const std::string& path) {
    std::string digits = key;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    const bool hex = !digits.empty() && digits.size() <= 2 &&
                     std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c) != 0; });
    if (!hex) Fault(path, "a unit address is one or two hexadecimal digits, as in a GAS");
    return std::stoi(digits, nullptr, 16);
}

void ApplyUnits(const json& units, GatewayConfig& config) {
    if (!units.is_object()) Fault("units", "expected an object of unit addresses");
    for (const auto& [key, settings] : units.items()) {
        const std::string path = "units." + key;
        OnlyKeys(settings, path, {"maxAgeMs", "readOnly"});
        UnitOverride unit;
        if (auto age = Whole(settings, path, "maxAgeMs", 0, 86400000)) unit.maxAge = std::chrono::milliseconds(*age);
        if (auto readOnly = Flag(settings, path, "readOnly")) unit.readOnly = *readOnly;
        config.perUnit[UnitKey(key, path)] = unit;
    }
}

std::vector<std::string> PointList(const json& points) {
    if (!points.is_array()) Fault("points", "expected a list of gate address strings");
    std::vector<std::string> items;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!points[i].is_string()) Fault("points[" + std::to_string(i) + "]", "expected a gate address string");
        items.push_back(points[i].get<std::string>());
    }
    return items;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw CommandFailure(kExitUsage, path + ": cannot be read");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

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

void ParseListen(const std::string& text, GatewayConfig& config) {
    config.serveModbus = text != "none";
    if (!config.serveModbus) return;
    const std::size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    if (!host.empty()) {
        in_addr address{};
        if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
            throw std::invalid_argument("listen: " + host + " is not an IPv4 address");
        }
        config.host = host;
    }
    if (colon == std::string::npos) return;
    const std::string port = text.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoi(port) > 65535) throw std::invalid_argument("listen: " + port + " is not a TCP port");
    config.port = std::stoi(port);
}

void ApplyConfigText(const std::string& text, GatewayConfig& config) {
    json file;
    try {
        file = json::parse(text);
    } catch (const json::parse_error& e) {
        throw std::invalid_argument(std::string("not JSON: ") + e.what());
    }
    OnlyKeys(file, "",
             {"line", "listen", "pollIntervalMs", "maxAgeMs", "demoteAfter", "demoteForS", "maxClients", "idleTimeoutS",
              "readOnly", "points", "units", "mqtt"});
    if (file.contains("line")) ApplyLine(file.at("line"), config.line);
    if (auto listen = Text(file, "", "listen")) ParseListen(*listen, config);
    if (auto interval = Whole(file, "", "pollIntervalMs", 0, 3600000)) {
        config.poller.interval = std::chrono::milliseconds(*interval);
    }
    if (auto age = Whole(file, "", "maxAgeMs", 0, 86400000)) config.defaults.maxAge = std::chrono::milliseconds(*age);
    if (auto after = Whole(file, "", "demoteAfter", 1, 1000)) config.poller.failuresToDemote = static_cast<int>(*after);
    if (auto demoted = Seconds(file, "", "demoteForS", 86400)) config.poller.demotedFor = Milliseconds(*demoted);
    if (auto clients = Whole(file, "", "maxClients", 1, 1000)) config.maxClients = static_cast<int>(*clients);
    if (auto idle = Seconds(file, "", "idleTimeoutS", 86400)) config.idleTimeout = Milliseconds(*idle);
    if (auto readOnly = Flag(file, "", "readOnly")) config.readOnly = *readOnly;
    if (file.contains("points")) config.gases = ExpandPoints(PointList(file.at("points")));
    if (file.contains("units")) ApplyUnits(file.at("units"), config);
    if (file.contains("mqtt")) mqtt::ApplyMqttJson(file.at("mqtt"), config.mqtt);
}

GatewayConfig ResolveConfig(const GatewayOptions& options, const LineOptions& line) {
    GatewayConfig config;
    try {
        if (!options.configPath.empty()) ApplyConfigText(ReadFile(options.configPath), config);
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
    try {
        if (options.listen) ParseListen(*options.listen, config);
        mqtt::ResolveMqtt(options.mqtt, config.line.port, config.mqtt);
    } catch (const std::invalid_argument& e) {
        throw CommandFailure(kExitUsage, e.what());
    }
    if (!options.points.empty()) config.gases = ExpandPoints(SplitList(options.points));
    if (options.intervalMs) config.poller.interval = std::chrono::milliseconds(*options.intervalMs);
    if (options.demoteAfter) config.poller.failuresToDemote = *options.demoteAfter;
    if (options.demoteForS) config.poller.demotedFor = Milliseconds(*options.demoteForS);
    if (options.maxClients) config.maxClients = *options.maxClients;
    if (options.idleTimeoutS) config.idleTimeout = Milliseconds(*options.idleTimeoutS);
    if (options.maxAgeMs) config.defaults.maxAge = std::chrono::milliseconds(*options.maxAgeMs);
    config.readOnly = config.readOnly || options.readOnly;
    if (!config.serveModbus && !config.mqtt.enabled) throw CommandFailure(kExitUsage, "--listen none needs --mqtt");
    if (config.gases.empty()) throw CommandFailure(kExitUsage, "no points: give --points or a config file with points");
    return config;
}

}  // namespace plexer::gateway
