// The Sparkplug B edge node of one line: which messages the line's state
// calls for (births, deaths, data by exception), their topics and payloads,
// and what a command asks. No broker here: the caller sends what it returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_config.h"
#include "point_map.h"
#include "poller.h"

namespace plexer::gateway::mqtt {

// The line as the poller keeps it, of which the messages are made.
struct LineSnapshot {
    bool lineUp = true;
    std::vector<PointState> points;  // in the poller's order
    std::vector<UnitHealth> units;
    PollClock::time_point now;
};

// Sparkplug datatypes this node uses.
enum DataType : std::uint32_t { kInt16 = 2, kInt64 = 4, kUInt64 = 8, kBoolean = 11, kString = 12 };

struct MetricEntry {
    std::size_t point = 0;  // index into the snapshot's points
    std::uint64_t alias = 0;
    std::string name;
    std::string engUnit;  // empty when not known
    DataType type = kInt16;
    double deadband = 0;
    bool output = false;
};

struct Device {
    std::int32_t unit = 0;
    std::string id;
    std::vector<MetricEntry> metrics;
};

// One device per configured unit, one metric per configured point.
std::vector<Device> DevicesOf(const PointMap& map, const MqttConfig& config);

struct Outgoing {
    std::string topic;
    std::string payload;
};

// A write a DCMD asks for, or why the metric cannot be written.
struct CommandWrite {
    const MetricEntry* metric = nullptr;  // none: no such metric
    std::string name;
    std::optional<long long> value;  // none: not a number or true/false
};

class EdgeNode {
public:
    EdgeNode(const MqttConfig& config, std::vector<Device> devices);

    std::string Topic(const char* type, const std::string& device = "") const;
    // The NDEATH, registered as the will of the session with this bdSeq.
    std::string DeathPayload(std::uint64_t bdSeq) const;

    // NBIRTH, then a DBIRTH for every unit that answers; the sequence starts again.
    std::vector<Outgoing> Birth(const LineSnapshot& line, std::uint64_t bdSeq);
    // What changed since the last message: DDEATH, DBIRTH, DDATA and NDATA.
    std::vector<Outgoing> Changes(const LineSnapshot& line);

    // Whether an NCMD asks for Node Control/Rebirth.
    static bool AsksRebirth(const std::string& payload);
    // The device a DCMD topic names and the writes its payload asks; none if
    // the topic is not this node's or the payload does not decode.
    std::optional<std::pair<const Device*, std::vector<CommandWrite>>> DeviceCommand(const std::string& topic,
                                                                                    const std::string& payload) const;

private:
    struct Shown {
        bool alive = false;
        std::vector<std::optional<std::int16_t>> values;  // none: published as null
    };

    std::uint64_t NextSeq();
    Outgoing DeviceBirth(std::size_t device, const LineSnapshot& line);
    std::optional<Outgoing> DeviceData(std::size_t device, const LineSnapshot& line);
    std::optional<Outgoing> NodeData(const LineSnapshot& line);

    MqttConfig config_;
    std::vector<Device> devices_;
    std::vector<Shown> shown_;
    std::uint64_t seq_ = 0;
    bool lineUp_ = true;
    Counters counters_;
    PollClock::time_point countersAt_;
};

}  // namespace plexer::gateway::mqtt
