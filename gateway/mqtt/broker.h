// The connection to the MQTT broker, through libmosquitto on its own network
// thread: TLS and login, the node's death registered as the will, reconnection
// with back-off, and events handed to the caller's callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mqtt_config.h"

struct mosquitto;
struct mosquitto_message;

namespace plexer::gateway::mqtt {

struct BrokerEvents {
    // Connected with this bdSeq in the will; subscriptions are made.
    std::function<void(std::uint64_t bdSeq)> connected;
    std::function<void(const std::string& why)> lost;
    // The broker refused the login: retrying cannot help.
    std::function<void(const std::string& why)> refused;
    std::function<void(const std::string& topic, const std::string& payload)> message;
};

class Broker {
public:
    // `death(bdSeq)` is the will's payload for a session; the connection starts at once.
    Broker(const MqttConfig& config, std::string willTopic, std::function<std::string(std::uint64_t)> death,
           std::vector<std::string> subscriptions, BrokerEvents events);
    // Sends the NDEATH itself (a clean disconnect fires no will) and stops.
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // QoS 0 and not retained; false while not connected (nothing is queued to replay).
    bool Publish(const std::string& topic, const std::string& payload);

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    void SetWill();

    MqttConfig config_;
    std::string willTopic_;
    std::function<std::string(std::uint64_t)> death_;
    std::vector<std::string> subscriptions_;
    BrokerEvents events_;
    mosquitto* mosq_ = nullptr;
    std::atomic<std::uint64_t> bdSeq_{0};
    std::atomic<bool> connected_{false};
};

}  // namespace plexer::gateway::mqtt
