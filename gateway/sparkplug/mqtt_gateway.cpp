#include "mqtt_gateway.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
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

// The outcomes of one command's writes, logged once when the last is known.
class WriteTally {
public:
    WriteTally(const LineCore& core, std::string what, std::size_t writes)
        : core_(core), what_(std::move(what)), left_(writes) {}

    void Done(const std::string& gas, const WriteOutcome& outcome) {
        const std::lock_guard lock(mutex_);
        if (outcome.fate != WriteFate::kWritten && failed_++ == 0) first_ = outcome.cause + " (first: " + gas + ")";
        if (--left_ == 0 && failed_ > 0) {
            core_.Log().Note("mqtt", what_ + ": " + std::to_string(failed_) + " of " + std::to_string(total_) +
                                         " writes failed: " + first_);
        }
    }

private:
    const LineCore& core_;
    const std::string what_;
    std::mutex mutex_;
    std::size_t left_;
    const std::size_t total_ = left_;
    std::size_t failed_ = 0;
    std::string first_;
};

// The core keeps its reload listeners for good; the publisher's end silences its own here.
struct Doorbell {
    std::mutex mutex;
    std::function<void()> ring;
};

}  // namespace

class Publisher {
public:
    explicit Publisher(LineCore& core)
        : core_(core),
          running_(core.Settings()),
          config_(running_->config.mqtt),
          node_(config_, DevicesOf(*running_), running_->config.line.port),
          bell_(std::make_shared<Doorbell>()) {
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
        bell_->ring = [this] { Notify([this] { reloaded_ = true; }); };
        core.OnReload([bell = bell_] {
            const std::lock_guard lock(bell->mutex);
            if (bell->ring) bell->ring();
        });
        // Until the first birth, what the store keeps is forwarded after it.
        Silenced();
        // After the broker, which the session sends through; its events wait queued.
        thread_ = std::thread([this] { Run(); });
    }

    ~Publisher() {
        {
            const std::lock_guard lock(bell_->mutex);
            bell_->ring = nullptr;
        }
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

    // A span when nothing reached the broker: its stored changes go out once born again.
    struct Outage {
        std::int64_t fromMs = 0;
        std::optional<std::int64_t> toMs;  // the birth that ended it
        HistoryCursor through;             // forwarded so far
        long forwarded = 0;
    };

    void Note(const std::string& text) const { core_.Log().Note("mqtt", text); }
    std::string StateTopic() const { return "spBv1.0/STATE/" + config_.primaryHost; }
    bool MayPublish() const { return connected_ && (config_.primaryHost.empty() || primaryOnline_); }

    // The line judged now, against the settings the births announced.
    LineView View() const {
        const PollClock::time_point now = PollClock::now();
        return LineView{core_.Line().up, core_.JudgeAll(*running_, now), core_.Units(), now};
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
            wake_.wait(lock, [&] { return stop_ || polled_ || reloaded_ || !events_.empty(); });
            if (stop_) break;
            std::deque<Event> events;
            events.swap(events_);
            const bool polled = std::exchange(polled_, false);
            reloaded_ = false;
            lock.unlock();
            TakeSettings();
            for (const Event& event : events) Handle(event);
            if (polled && born_) Send(node_.Changes(View()));
            if (polled && born_) Forward();
            lock.lock();
        }
    }

    // A reload swapped the settings: births announce the new ones (names, access).
    void TakeSettings() {
        RunningPtr current = core_.Settings();
        if (current == running_) return;
        running_ = std::move(current);
        node_.Replace(DevicesOf(*running_));
        if (born_) Note("settings reloaded: births again");
        Rebirth();
    }

    void Handle(const Event& event) {
        switch (event.kind) {
        case Event::kConnected:
            connected_ = true;
            // Each session learns anew whether the primary host is online here.
            primaryOnline_ = false;
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
            Silenced();
            break;
        case Event::kMessage: Message(event.text, event.payload); break;
        }
    }

    void Rebirth() {
        born_ = false;
        if (!MayPublish()) return;
        born_ = true;
        Send(node_.Birth(View(), bdSeq_));
        if (born_ && !outages_.empty() && !outages_.back().toMs) outages_.back().toMs = NowMs();
    }

    void Send(const std::vector<Outgoing>& messages) {
        for (const Outgoing& message : messages) {
            // Not queued for later: a fresh birth follows the reconnect instead, and the store the rest.
            if (!broker_->Publish(message.topic, message.payload)) {
                born_ = false;
                Silenced();
            }
        }
    }

    static std::int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    // From now on nothing reaches the broker: with a store, an outage to forward later.
    void Silenced() {
        if (core_.History() == nullptr || (!outages_.empty() && !outages_.back().toMs)) return;
        const std::int64_t now = NowMs();
        outages_.push_back(Outage{now, std::nullopt, HistoryCursor{now, -1}, 0});
    }

    // The oldest ended outage's next stored changes, flagged historical, after
    // the live ones: a bounded share each poll, so that live data is never held up.
    void Forward() {
        constexpr std::size_t kRowsEachPoll = 256;
        if (outages_.empty() || !outages_.front().toMs) return;
        Outage& outage = outages_.front();
        std::vector<HistoryRow> rows;
        try {
            rows = core_.History()->After(outage.through, *outage.toMs, kRowsEachPoll);
        } catch (const std::runtime_error& e) {
            return Note(std::string("stored changes not forwarded yet: ") + e.what());
        }
        if (rows.empty()) {
            if (outage.forwarded > 0) Note("forwarded " + std::to_string(outage.forwarded) + " stored changes");
            outages_.pop_front();
            return;
        }
        for (const Forwarded& forwarded : node_.Historical(rows)) {
            if (!forwarded.message.topic.empty() &&
                !broker_->Publish(forwarded.message.topic, forwarded.message.payload)) {
                born_ = false;
                return Silenced();
            }
            outage.through = forwarded.through;
        }
        outage.forwarded += static_cast<long>(rows.size());
    }

    void Message(const std::string& topic, const std::string& payload) {
        if (topic == StateTopic() || topic == "STATE/" + config_.primaryHost) {
            PrimaryState(payload);
        } else if (topic == node_.Topic("NCMD")) {
            if (EdgeNode::AsksRebirth(payload)) Rebirth();
        } else if (const auto command = node_.Command(topic, payload, *running_)) {
            Write(*command);
        } else {
            Note("ignored " + topic + ": no such device, or not a Sparkplug B payload");
        }
    }

    // Online: births. Gone offline: the host no longer hears this server, so
    // the session ends with its NDEATH and starts again, to wait for the host.
    void PrimaryState(const std::string& payload) {
        const std::optional<bool> online = OnlineOf(payload);
        if (!online || *online == primaryOnline_) return;
        primaryOnline_ = *online;
        if (primaryOnline_) {
            Note("primary host " + config_.primaryHost + " online");
            Rebirth();
            return;
        }
        Note("primary host " + config_.primaryHost + " offline: NDEATH sent, disconnecting to connect again");
        connected_ = false;
        born_ = false;
        Silenced();
        broker_->Leave();
    }

    // A DCMD takes the path of a Modbus write, planned whole with its checks.
    void Write(const DeviceCommand& command) {
        const std::string what = "DCMD " + command.device->id;
        if (!command.refusal.empty()) return Note(what + " " + command.refusal);
        auto tally = std::make_shared<WriteTally>(core_, what, command.plan.writes.size());
        core_.Submit(command.plan, [tally, running = running_, plan = command.plan](std::size_t write,
                                                                                    const WriteOutcome& outcome) {
            tally->Done(running->map.Gates()[plan.writes[write].first].gas, outcome);
        });
    }

    LineCore& core_;
    RunningPtr running_;  // what the last births announced; only the session's thread after the start
    const MqttConfig config_;
    EdgeNode node_;

    // Only the session's thread.
    bool connected_ = false;
    bool born_ = false;
    bool primaryOnline_ = false;
    bool warnedUnreachable_ = false;
    std::uint64_t bdSeq_ = 0;
    std::deque<Outage> outages_;  // oldest first; only the last may be open

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::deque<Event> events_;
    std::optional<std::string> refusal_;
    bool stop_ = false;
    bool polled_ = false;
    bool reloaded_ = false;

    std::shared_ptr<Doorbell> bell_;
    std::unique_ptr<Broker> broker_;
    std::thread thread_;
};

std::function<void(long)> AfterCycle(Publisher* publisher) {
    if (publisher == nullptr) return {};
    return [publisher](long) { publisher->Wake(); };
}

void StopPublisher::operator()(Publisher* publisher) const { delete publisher; }

PublisherPtr StartMqtt(LineCore& core) {
    if (!core.Settings()->config.mqtt.enabled) return nullptr;
    return WithExitCode(kExitNoLine, [&] { return PublisherPtr(new Publisher(core)); });
}

void FinishMqtt(PublisherPtr publisher) {
    if (!publisher) return;
    const std::optional<std::string> refusal = publisher->Refusal();
    publisher.reset();
    if (refusal) throw CommandFailure(kExitUsage, "mqtt: " + *refusal);
}

}  // namespace plexer::gateway::mqtt
