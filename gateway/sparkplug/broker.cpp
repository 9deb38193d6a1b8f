#include "broker.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>

namespace plexer::gateway::mqtt {

namespace {

constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLastRetry{30};
constexpr int kLoopTimeoutMs = -1;  // libmosquitto's own: it wakes for the keep-alive
// A broker that takes the connection and never answers CONNECT is left after
// this, not after libmosquitto's one and a half keep-alives.
constexpr std::chrono::seconds kConnackWait{10};
constexpr int kWillQos = 1;
constexpr std::uint64_t kBdSeqModulo = 256;
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

// MQTT 3.1.1 CONNACK codes that no retry can mend.
constexpr int kBadCredentials = 4;
constexpr int kNotAuthorized = 5;

void Check(int rc, const std::string& what) {
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + mosquitto_strerror(rc));
}

}  // namespace

Broker::Broker(const MqttConfig& config, std::string willTopic, std::function<std::string(std::uint64_t)> death,
               std::vector<std::string> subscriptions, BrokerEvents events)
    : config_(config),
      willTopic_(std::move(willTopic)),
      death_(std::move(death)),
      subscriptions_(std::move(subscriptions)),
      events_(std::move(events)) {
    [[maybe_unused]] static const int library = mosquitto_lib_init();
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("mqtt: cannot create a client");
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_message_callback_set(mosq_, OnMessage);
    mosquitto_threaded_set(mosq_, true);
    // Each poll's news goes out at once, not held back for the broker's acknowledgement.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!config_.username.empty()) {
        Check(mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                        config_.password.empty() ? nullptr : config_.password.c_str()),
              "mqtt: user name");
    }
    if (config_.tls) {
        const char* caFile = config_.caFile.empty() ? nullptr : config_.caFile.c_str();
        Check(mosquitto_tls_set(mosq_, caFile, caFile == nullptr ? kSystemCaPath : nullptr,
                                config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                                config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr),
              "mqtt: TLS files");
    }
    SetWill();
    network_ = std::thread([this] { Network(); });
}

void Broker::Network() {
    auto backoff = kFirstRetry;
    bool first = true;
    std::unique_lock lock(mutex_);
    while (!stopping_ && !refused_) {
        // Under the lock, so that a stop either sees this connection or comes first.
        int rc = first ? mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepAliveS)
                       : mosquitto_reconnect_async(mosq_);
        first = false;
        lock.unlock();
        if (rc != MOSQ_ERR_SUCCESS) events_.lost(mosquitto_strerror(rc));
        const auto asked = std::chrono::steady_clock::now();
        while (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
            if (rc == MOSQ_ERR_SUCCESS && !sessionUp_ && std::chrono::steady_clock::now() - asked > kConnackWait) {
                mosquitto_disconnect(mosq_);
                events_.lost("the broker took the connection but did not answer CONNECT within " +
                             std::to_string(kConnackWait.count()) + " s");
                break;
            }
        }
        lock.lock();
        if (sessionUp_.exchange(false)) backoff = kFirstRetry;
        wake_.wait_for(lock, backoff, [&] { return stopping_; });
        backoff = std::min(backoff * 2, kLastRetry);
    }
}

Broker::~Broker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        if (connected_) SendDeath();
        mosquitto_disconnect(mosq_);
    }
    wake_.notify_all();
    network_.join();
    mosquitto_destroy(mosq_);
}

void Broker::SendDeath() {
    const std::string death = death_(bdSeq_);
    mosquitto_publish(mosq_, nullptr, willTopic_.c_str(), static_cast<int>(death.size()), death.data(), kWillQos,
                      false);
}

void Broker::Leave() {
    const std::lock_guard lock(mutex_);
    if (!connected_ || stopping_) return;
    SendDeath();
    // The next session's will carries the next bdSeq, as its NBIRTH will.
    bdSeq_ = (bdSeq_ + 1) % kBdSeqModulo;
    SetWill();
    mosquitto_disconnect(mosq_);
}

void Broker::SetWill() {
    const std::string death = death_(bdSeq_);
    mosquitto_will_set(mosq_, willTopic_.c_str(), static_cast<int>(death.size()), death.data(), kWillQos, false);
}

bool Broker::Publish(const std::string& topic, const std::string& payload) {
    if (!connected_) return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                             false) == MOSQ_ERR_SUCCESS;
}

void Broker::OnConnect(mosquitto* mosq, void* self, int rc) {
    auto& broker = *static_cast<Broker*>(self);
    if (rc == kBadCredentials || rc == kNotAuthorized) {
        broker.refused_ = true;
        broker.events_.refused(mosquitto_connack_string(rc));
        mosquitto_disconnect(mosq);
        return;
    }
    if (rc != 0) {
        broker.events_.lost(mosquitto_connack_string(rc));
        return;
    }
    for (const std::string& topic : broker.subscriptions_) mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1);
    broker.connected_ = true;
    broker.sessionUp_ = true;
    broker.events_.connected(broker.bdSeq_);
}

void Broker::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& broker = *static_cast<Broker*>(self);
    const bool was = broker.connected_.exchange(false);
    if (rc == 0) return;  // our own disconnect
    // The next session's will carries the next bdSeq, as its NBIRTH will.
    if (was) {
        broker.bdSeq_ = (broker.bdSeq_ + 1) % kBdSeqModulo;
        broker.SetWill();
    }
    broker.events_.lost(mosquitto_strerror(rc));
}

void Broker::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& broker = *static_cast<Broker*>(self);
    const char* bytes = static_cast<const char*>(message->payload);
    broker.events_.message(message->topic, std::string(bytes, bytes + message->payloadlen));
}

}  // namespace plexer::gateway::mqtt
