// The Sparkplug B edge node of one line: which messages the line's verdicts
// call for (births, deaths, data by exception), their topics and payloads,
// and what a command asks. No broker here: the caller sends what it returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history_source.h"
#include "line_core.h"
#include "mqtt_config.h"

namespace plexer::gateway::mqtt {

// More metrics than one Modbus request may write registers is not a command
// but a flood: refused whole, unread.
inline constexpr std::size_t kMaxCommandMetrics = 123;

// The line at one moment, judged by the core: every message is made of this.
struct LineView {
    bool lineUp = true;
    std::vector<PointVerdict> points;  // per gate of the snapshot's map
    std::vector<UnitHealth> units;
    PollClock::time_point now;
};

// Sparkplug datatypes this node uses.
enum DataType : std::uint32_t {
    kInt16 = 2,
    kInt32 = 3,
    kInt64 = 4,
    kUInt64 = 8,
    kFloat = 9,
    kDouble = 10,
    kBoolean = 11,
    kString = 12
};

struct MetricEntry {
    std::size_t point = 0;  // index into the snapshot's gates
    std::uint64_t alias = 0;
    std::string gas;
    std::string name;     // the config's, empty when none
    std::string engUnit;  // empty when none
    std::optional<double> engLow, engHigh;
    DataType type = kInt16;  // Boolean, Int16 counts, or Float in the engineering unit
    double deadband = 0;     // in the unit published
    bool writable = false;   // an output the snapshot lets be written
};

struct Device {
    std::int32_t unit = 0;
    std::string id;
    std::vector<MetricEntry> metrics;
};

// One device per configured unit, one metric per configured point, as the snapshot serves them.
std::vector<Device> DevicesOf(const Running& running);

struct Outgoing {
    std::string topic;
    std::string payload;
};

// A message of stored changes, and how far through the store it goes; an
// empty topic: nothing to send, only rows that no metric stands for.
struct Forwarded {
    Outgoing message;
    HistoryCursor through;
};

// What a DCMD asks: a plan to submit, or why none of it is written.
struct DeviceCommand {
    const Device* device = nullptr;
    std::string refusal;  // one line for the log; empty when the plan may go
    WritePlan plan;
};

class EdgeNode {
public:
    // `line`: the port served, which the node's birth names beside the version.
    EdgeNode(const MqttConfig& config, std::vector<Device> devices, std::string line);

    // New settings: the next Birth announces them.
    void Replace(std::vector<Device> devices);

    std::string Topic(const char* type, const std::string& device = "") const;
    // The NDEATH, registered as the will of the session with this bdSeq.
    std::string DeathPayload(std::uint64_t bdSeq) const;

    // NBIRTH, then a DBIRTH for every unit alive; the sequence starts again.
    std::vector<Outgoing> Birth(const LineView& line, std::uint64_t bdSeq);
    // What changed since the last message: DDEATH, DBIRTH, DDATA and NDATA.
    std::vector<Outgoing> Changes(const LineView& line);
    // Stored changes as DDATA flagged historical, each metric at its read time, in the rows' order.
    std::vector<Forwarded> Historical(const std::vector<HistoryRow>& rows);

    // Whether an NCMD asks for Node Control/Rebirth.
    static bool AsksRebirth(const std::string& payload);
    // The writes a DCMD asks, planned against `running`; none if the topic is
    // not this node's device or the payload does not decode.
    std::optional<DeviceCommand> Command(const std::string& topic, const std::string& payload,
                                         const Running& running) const;

private:
    // What a metric last showed: its reason, and its value when good.
    struct Shown {
        Reason reason = Reason::kNotReadYet;
        std::optional<double> value;
    };
    struct DeviceShown {
        bool alive = false;
        std::vector<Shown> metrics;
    };

    std::uint64_t NextSeq();
    Outgoing DeviceBirth(std::size_t device, const LineView& line);
    std::optional<Outgoing> DeviceData(std::size_t device, const LineView& line);
    std::optional<Outgoing> NodeData(const LineView& line);

    MqttConfig config_;
    std::string line_;
    std::vector<Device> devices_;
    std::vector<DeviceShown> shown_;
    std::uint64_t seq_ = 0;
    bool lineUp_ = true;
    Counters counters_;
    PollClock::time_point countersAt_;
};

}  // namespace plexer::gateway::mqtt
