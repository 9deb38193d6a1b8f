// The connection to the MQTT broker, through libmosquitto on a network thread
// of its own: TLS and login, the node's death registered as the will,
// reconnection with back-off (whether the broker was never there or went
// away), and events handed to the caller's callbacks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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
    // Ends this session on purpose (NDEATH, then DISCONNECT) and connects again
    // after the first back-off, with the next bdSeq.
    void Leave();

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    void SetWill();
    // The NDEATH of this session, sent before a disconnect of our own (which fires no will).
    void SendDeath();
    // Connects, serves the connection until it ends, waits, again, until the stop.
    void Network();

    MqttConfig config_;
    std::string willTopic_;
    std::function<std::string(std::uint64_t)> death_;
    std::vector<std::string> subscriptions_;
    BrokerEvents events_;
    mosquitto* mosq_ = nullptr;
    std::atomic<std::uint64_t> bdSeq_{0};
    std::atomic<bool> connected_{false};
    std::atomic<bool> refused_{false};
    std::atomic<bool> sessionUp_{false};  // a session began since the network thread last looked

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    std::thread network_;
};

}  // namespace plexer::gateway::mqtt
