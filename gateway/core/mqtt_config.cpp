#include "mqtt_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "config.h"
#include "json_check.h"

namespace plexer::gateway::mqtt {

namespace {

using nlohmann::json;
using namespace qsn::json_check;  // the config file's checks, in their shared words

constexpr int kMqttPort = 1883;
constexpr int kMqttsPort = 8883;

[[noreturn]] void Fault(const std::string& where, const std::string& reason) {
    throw std::invalid_argument(where + ": " + reason);
}

// The files the settings name are read again on every reload: never a FIFO,
// which would hold the reload up until someone writes to it.
void CheckFile(const std::string& path, const std::string& what) {
    if (path.empty()) return;
    if (const std::optional<std::string> fault = FileFault(path)) Fault(what, *fault);
    if (!std::ifstream(path)) Fault(what, path + " cannot be read");
}

std::string FirstLine(const std::string& path, const std::string& what) {
    if (const std::optional<std::string> fault = FileFault(path)) Fault(what, *fault);
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) Fault(what, path + " cannot be read");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Sparkplug ids are topic levels: no separators or wildcards.
void CheckId(const std::string& id, const std::string& what) {
    if (id.empty() || id.find_first_of("/+#") != std::string::npos) {
        Fault(what, "\"" + id + "\" is not a topic level (empty, or holds / + #)");
    }
}

// "ttyUSB0" of "/dev/ttyUSB0", made fit for a topic level.
std::string NodeIdOf(const std::string& serialPort) {
    std::string id = serialPort.substr(serialPort.find_last_of('/') + 1);
    std::replace_if(id.begin(), id.end(), [](char c) { return c == '+' || c == '#'; }, '_');
    return id.empty() ? "line" : id;
}

bool IsLoopback(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "::1";
}

}  // namespace

void AddMqttOptions(CLI::App& gateway, MqttFlags& f) {
    gateway.add_option("--mqtt", f.url, "Also publish to this MQTT broker as a Sparkplug B edge node (none: not at all)")
        ->type_name("mqtt[s]://[USER@]HOST[:PORT]");
    gateway.add_option("--mqtt-group", f.groupId, "Sparkplug group id (default plexer)")->type_name("ID");
    gateway.add_option("--mqtt-node", f.edgeNodeId, "Sparkplug edge node id (default: the serial port's name)")
        ->type_name("ID");
    gateway.add_option("--mqtt-client-id", f.clientId, "MQTT client id (default GROUP-NODE)")->type_name("ID");
    gateway.add_option("--mqtt-user", f.username, "User name for the broker")->type_name("NAME");
    gateway.add_option("--mqtt-password-file", f.passwordFile, "File whose first line is the broker password")
        ->type_name("FILE");
    gateway.add_option("--mqtt-ca", f.caFile, "CA certificate file for TLS (default: the system's)")
        ->type_name("FILE");
    gateway.add_option("--mqtt-cert", f.certFile, "Client certificate for TLS")->type_name("FILE");
    gateway.add_option("--mqtt-key", f.keyFile, "Client certificate's private key")->type_name("FILE");
    gateway.add_option("--mqtt-primary-host", f.primaryHost, "Publish only while this Sparkplug host is online")
        ->type_name("ID");
    gateway.add_flag("--mqtt-insecure", f.insecure, "Allow credentials over plain TCP to a host beyond loopback");
}

void ParseBrokerUrl(const std::string& url, MqttConfig& config) {
    // As the other listeners: the command line's none turns off the file's broker.
    config.enabled = url != kOff;
    if (!config.enabled) return;
    const std::size_t scheme = url.find("://");
    const std::string name = scheme == std::string::npos ? "" : url.substr(0, scheme);
    // Each scheme a broker URL may have, and whether it is TLS.
    static const std::map<std::string, bool> kTlsOf = {{"mqtt", false}, {"tcp", false}, {"mqtts", true}, {"ssl", true}};
    const auto tls = kTlsOf.find(name);
    if (tls == kTlsOf.end()) Fault("--mqtt", url + " is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    config.tls = tls->second;
    std::string rest = url.substr(scheme + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string user = rest.substr(0, at);
        const std::size_t colon = user.find(':');
        config.username = user.substr(0, colon);
        if (colon != std::string::npos) config.password = user.substr(colon + 1);
        rest = rest.substr(at + 1);
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[') {  // [::1]:1883
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) Fault("--mqtt", url + ": unclosed [");
        config.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] == ':') port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        config.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (config.host.empty() || config.host.find('/') != std::string::npos) Fault("--mqtt", url + ": no broker host");
    config.port = config.tls ? kMqttsPort : kMqttPort;
    if (!port.empty()) {
        const std::optional<int> number = TcpPort(port);
        if (!number || *number == 0) Fault("--mqtt", port + " is not a TCP port");
        config.port = *number;
    }
    config.enabled = true;
}

void ApplyMqttJson(const json& object, MqttConfig& config) {
    const std::pair<const char*, std::string*> texts[] = {
        {"clientId", &config.clientId}, {"groupId", &config.groupId}, {"edgeNodeId", &config.edgeNodeId},
        {"username", &config.username}, {"password", &config.password}, {"caFile", &config.caFile},
        {"certFile", &config.certFile}, {"keyFile", &config.keyFile}, {"primaryHost", &config.primaryHost}};
    OnlyKeys(object, "mqtt",
             {"clientId", "groupId", "edgeNodeId", "username", "password", "caFile", "certFile", "keyFile",
              "primaryHost", "url", "passwordFile", "keepAliveS", "deadband", "deadbands", "insecure"});
    const auto text = [&](const char* key) { return Text(object.at(key), Member("mqtt", key)); };
    for (const auto& [key, field] : texts) {
        if (object.contains(key)) *field = text(key);
    }
    if (object.contains("url")) ParseBrokerUrl(text("url"), config);
    if (object.contains("passwordFile")) config.password = FirstLine(text("passwordFile"), "mqtt.passwordFile");
    if (object.contains("deadbands")) {
        const json& bands = object.at("deadbands");
        if (!bands.is_object()) Fail("mqtt.deadbands", "must be an object of gate addresses");
        for (const auto& [gas, band] : bands.items()) {
            std::string upper = gas;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            config.deadbands[upper] = Number(band, "mqtt.deadbands." + gas, 0, 65535);
        }
    }
    if (object.contains("insecure")) config.insecure = Flag(object.at("insecure"), "mqtt.insecure");
}

void ResolveMqtt(const MqttFlags& f, const std::string& serialPort, MqttConfig& config) {
    if (f.url) ParseBrokerUrl(*f.url, config);
    if (!config.enabled) return;
    const std::pair<const std::optional<std::string>*, std::string*> texts[] = {
        {&f.clientId, &config.clientId}, {&f.groupId, &config.groupId}, {&f.edgeNodeId, &config.edgeNodeId},
        {&f.username, &config.username}, {&f.caFile, &config.caFile},   {&f.certFile, &config.certFile},
        {&f.keyFile, &config.keyFile},   {&f.primaryHost, &config.primaryHost}};
    for (const auto& [flag, field] : texts) {
        if (*flag) *field = **flag;
    }
    if (f.passwordFile) config.password = FirstLine(*f.passwordFile, "--mqtt-password-file");
    config.insecure = config.insecure || f.insecure;
    if (config.edgeNodeId.empty()) config.edgeNodeId = NodeIdOf(serialPort);
    if (config.clientId.empty()) config.clientId = config.groupId + "-" + config.edgeNodeId;
    CheckId(config.groupId, "--mqtt-group");
    CheckId(config.edgeNodeId, "--mqtt-node");
    if (!config.primaryHost.empty()) CheckId(config.primaryHost, "--mqtt-primary-host");
    const bool credentials = !config.username.empty() || !config.password.empty();
    if (credentials && !config.tls && !IsLoopback(config.host) && !config.insecure) {
        Fault("--mqtt", "credentials would cross the network in clear text to " + config.host +
                            ": use mqtts:// (TLS), or --mqtt-insecure to send them anyway");
    }
    if (!config.password.empty() && config.username.empty()) Fault("--mqtt-user", "a password needs a user name");
    if (config.certFile.empty() != config.keyFile.empty()) Fault("--mqtt-cert", "give the certificate and its key");
    if (!config.tls && !(config.caFile.empty() && config.certFile.empty())) {
        Fault("--mqtt-ca", "TLS files need an mqtts:// broker URL");
    }
    CheckFile(config.caFile, "--mqtt-ca");
    CheckFile(config.certFile, "--mqtt-cert");
    CheckFile(config.keyFile, "--mqtt-key");
}

}  // namespace plexer::gateway::mqtt
