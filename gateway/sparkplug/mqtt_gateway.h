// `plexer gateway --mqtt`: the line published as a Sparkplug B edge node,
// beside the Modbus server or alone (--listen none). Its session runs on a
// thread of its own between the poller and the broker.
#pragma once

#include <functional>
#include <memory>

#include "line_core.h"

namespace plexer::gateway::mqtt {

class Publisher;
// Its end sends the NDEATH and disconnects.
struct StopPublisher {
    void operator()(Publisher* publisher) const;
};
using PublisherPtr = std::unique_ptr<Publisher, StopPublisher>;

// Null when no broker is configured. Every message comes from `core`'s
// settings and verdicts; a reload of its settings brings a rebirth.
PublisherPtr StartMqtt(LineCore& core);

// For the poller's Run: wakes the publisher after each cycle; empty without one.
std::function<void(long)> AfterCycle(Publisher* publisher);

// Stops the session (NDEATH, disconnect), once the poller has stopped;
// throws CommandFailure when the broker refused the gateway, which ended it.
void FinishMqtt(PublisherPtr publisher);

}  // namespace plexer::gateway::mqtt
