#include "mqtt_gateway.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "broker.h"
#include "write_plan.h"
#include "sparkplug.h"

namespace plexer::gateway::mqtt {

namespace {

void Note(const std::string& line) {
    std::fprintf(stderr, "plexer: mqtt: %s\n", line.c_str());
    std::fflush(stderr);
}

// A primary host's STATE: {"online": true, ...} or, as older hosts send it, ONLINE / OFFLINE.
std::optional<bool> OnlineOf(const std::string& payload) {
    if (payload == "ONLINE") return true;
    if (payload == "OFFLINE") return false;
    const nlohmann::json state = nlohmann::json::parse(payload, nullptr, false);
    if (state.is_object() && state.contains("online") && state.at("online").is_boolean()) {
        return state.at("online").get<bool>();
    }
    return std::nullopt;
}

}  // namespace

class Publisher {
public:
    Publisher(const GatewayConfig& config, const PointMap& map, Poller& poller)
        : config_(config.mqtt),
          running_{config, map},
          poller_(poller),
          node_(config.mqtt, DevicesOf(map, config.mqtt)) {
        std::vector<std::string> topics{node_.Topic("NCMD"), node_.Topic("DCMD") + "/+"};
        if (!config_.primaryHost.empty()) {
            topics.push_back(StateTopic());
            topics.push_back("STATE/" + config_.primaryHost);
        }
        BrokerEvents events{[this](std::uint64_t bdSeq) { Push(Event{Event::kConnected, bdSeq, "", ""}); },
                            [this](const std::string& why) { Push(Event{Event::kLost, 0, why, ""}); },
                            [this](const std::string& why) { Refused(why); },
                            [this](const std::string& topic, const std::string& payload) {
                                Push(Event{Event::kMessage, 0, topic, payload});
                            }};
        broker_ = std::make_unique<Broker>(
            config_, node_.Topic("NDEATH"), [this](std::uint64_t bdSeq) { return node_.DeathPayload(bdSeq); },
            topics, events);
        // After the broker, which the session sends through; its events wait queued.
        thread_ = std::thread([this] { Run(); });
    }

    ~Publisher() {
        Notify([this] { stop_ = true; });
        thread_.join();
        broker_.reset();
    }
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // After each poll cycle: the line's news is published at once.
    void Wake() { Notify([this] { polled_ = true; }); }

    std::optional<std::string> Refusal() const {
        const std::lock_guard lock(mutex_);
        return refusal_;
    }

private:
    struct Event {
        enum Kind { kConnected, kLost, kMessage } kind;
        std::uint64_t bdSeq;
        std::string text;  // the topic of a message, the reason of a loss
        std::string payload;
    };

    std::string StateTopic() const { return "spBv1.0/STATE/" + config_.primaryHost; }
    bool MayPublish() const { return connected_ && (config_.primaryHost.empty() || primaryOnline_); }

    LineSnapshot Snapshot() const {
        return LineSnapshot{poller_.Line().up, poller_.Points(), poller_.Units(), PollClock::now()};
    }

    // Changes what the session's thread waits on, under the lock, and wakes it.
    template <typename Change>
    void Notify(Change change) {
        {
            const std::lock_guard lock(mutex_);
            change();
        }
        wake_.notify_all();
    }

    void Push(Event event) { Notify([&] { events_.push_back(std::move(event)); }); }

    // Retrying cannot mend a refused login, so the gateway ends with the reason.
    void Refused(const std::string& why) {
        {
            const std::lock_guard lock(mutex_);
            if (refusal_) return;
            refusal_ = "the broker " + config_.host + ":" + std::to_string(config_.port) +
                       " refused the login: " + why;
        }
        kill(getpid(), SIGTERM);
    }

    void Run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            wake_.wait(lock, [&] { return stop_ || polled_ || !events_.empty(); });
            if (stop_) break;
            std::deque<Event> events;
            events.swap(events_);
            const bool polled = std::exchange(polled_, false);
            lock.unlock();
            for (const Event& event : events) Handle(event);
            if (polled && born_) Send(node_.Changes(Snapshot()));
            lock.lock();
        }
    }

    void Handle(const Event& event) {
        switch (event.kind) {
        case Event::kConnected:
            connected_ = true;
            bdSeq_ = event.bdSeq;
            Note("connected to " + config_.host + ":" + std::to_string(config_.port) + " as " +
                 node_.Topic("NBIRTH") + " (bdSeq " + std::to_string(bdSeq_) + ")");
            Rebirth();
            break;
        case Event::kLost:
            if (connected_ || !warnedUnreachable_) Note("broker connection lost: " + event.text + "; retrying");
            warnedUnreachable_ = true;
            connected_ = false;
            born_ = false;
            break;
        case Event::kMessage: Message(event.text, event.payload); break;
        }
    }

    void Rebirth() {
        born_ = false;
        if (!MayPublish()) return;
        born_ = true;
        Send(node_.Birth(Snapshot(), bdSeq_));
    }

    void Send(const std::vector<Outgoing>& messages) {
        for (const Outgoing& message : messages) {
            // Not queued for later: a fresh birth follows the reconnect instead.
            if (!broker_->Publish(message.topic, message.payload)) born_ = false;
        }
    }

    void Message(const std::string& topic, const std::string& payload) {
        if (topic == StateTopic() || topic == "STATE/" + config_.primaryHost) {
            const std::optional<bool> online = OnlineOf(payload);
            if (!online || *online == primaryOnline_) return;
            primaryOnline_ = *online;
            Note("primary host " + config_.primaryHost + (primaryOnline_ ? " online" : " offline"));
            Rebirth();
        } else if (topic == node_.Topic("NCMD")) {
            if (EdgeNode::AsksRebirth(payload)) Rebirth();
        } else if (const auto command = node_.DeviceCommand(topic, payload)) {
            for (const CommandWrite& write : command->second) Write(*command->first, write);
        } else {
            Note("ignored " + topic + ": no such device, or not a Sparkplug B payload");
        }
    }

    // A DCMD write takes the path of a Modbus write, with its checks.
    void Write(const Device& device, const CommandWrite& write) {
        const std::string what = "DCMD " + device.id + " " + write.name;
        if (write.metric == nullptr) return Note(what + " refused: no such metric");
        if (!write.value) return Note(what + " refused: the value is not a number or true/false");
        const bool bit = write.metric->type == kBoolean;
        const long long value = *write.value;
        if (value < 0 || value > (bit ? 1 : 0xFFFF)) return Note(what + " refused: value out of range");
        const WriteItem item{write.metric->point, static_cast<double>(value), false};
        const WritePlan plan = PlanWrites(running_, std::span(&item, 1));
        if (plan.refusal != Refusal::kNone) return Note(what + " refused: " + RefusalText(plan.refusal));
        for (const auto& [index, written] : plan.writes) {
            poller_.Submit(running_.map.Gates()[index], written, [what](const WriteOutcome& outcome) {
                if (outcome.fate != WriteFate::kWritten) Note(what + " failed: " + outcome.cause);
            });
        }
    }

    const MqttConfig config_;
    const Running running_;
    Poller& poller_;
    EdgeNode node_;

    // Only the session's thread.
    bool connected_ = false;
    bool born_ = false;
    bool primaryOnline_ = false;
    bool warnedUnreachable_ = false;
    std::uint64_t bdSeq_ = 0;

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::deque<Event> events_;
    std::optional<std::string> refusal_;
    bool stop_ = false;
    bool polled_ = false;

    std::unique_ptr<Broker> broker_;
    std::thread thread_;
};

std::function<void(long)> AfterCycle(Publisher* publisher) {
    if (publisher == nullptr) return {};
    return [publisher](long) { publisher->Wake(); };
}

void StopPublisher::operator()(Publisher* publisher) const { delete publisher; }

PublisherPtr StartMqtt(const GatewayConfig& config, const PointMap& map, Poller& poller) {
    if (!config.mqtt.enabled) return nullptr;
    return WithExitCode(kExitNoLine, [&] { return PublisherPtr(new Publisher(config, map, poller)); });
}

void FinishMqtt(PublisherPtr publisher) {
    if (!publisher) return;
    const std::optional<std::string> refusal = publisher->Refusal();
    publisher.reset();
    if (refusal) throw CommandFailure(kExitUsage, "mqtt: " + *refusal);
}

}  // namespace plexer::gateway::mqtt
