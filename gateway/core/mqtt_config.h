// The broker and Sparkplug settings of `plexer gateway --mqtt`: from the
// command line, from the config file's "mqtt" object, or both (the command
// line wins), checked before anything connects.
#pragma once

#include <CLI/CLI.hpp>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace plexer::gateway::mqtt {

// As given on the command line; unset fields come from the file or the defaults.
struct MqttFlags {
    std::optional<std::string> url;
    std::optional<std::string> clientId;
    std::optional<std::string> groupId;
    std::optional<std::string> edgeNodeId;
    std::optional<std::string> username;
    std::optional<std::string> passwordFile;
    std::optional<std::string> caFile;
    std::optional<std::string> certFile;
    std::optional<std::string> keyFile;
    std::optional<std::string> primaryHost;
    bool insecure = false;
};

struct MqttConfig {
    bool enabled = false;
    bool tls = false;
    std::string host;
    int port = 0;
    std::string clientId;    // default: group and node
    std::string groupId = "plexer";
    std::string edgeNodeId;  // default: the serial port's name
    std::string username;
    std::string password;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    int keepAliveS = 30;
    double deadband = 0;                       // of every analog point without its own
    std::map<std::string, double> deadbands;   // by GAS
    std::string primaryHost;                   // empty: publish without waiting for one
    bool insecure = false;
};

void AddMqttOptions(CLI::App& gateway, MqttFlags& flags);

// The file's "mqtt" object over the defaults, but for its numbers, which are
// the gateway's settings table's (keepAliveS, deadband); throws "mqtt.key: reason"
// (qsn::json_check::JsonError for a field, std::invalid_argument for a URL or file).
void ApplyMqttJson(const nlohmann::json& object, MqttConfig& config);

// The command line over the file, then the whole checked; throws
// std::invalid_argument naming the option at fault. `serialPort` names the
// edge node when nothing else does.
void ResolveMqtt(const MqttFlags& flags, const std::string& serialPort, MqttConfig& config);

// "mqtt://[user[:password]@]host[:port]" or mqtts://; throws std::invalid_argument.
void ParseBrokerUrl(const std::string& url, MqttConfig& config);

}  // namespace plexer::gateway::mqtt
