// The settings a gateway runs with, as one immutable snapshot: the resolved
// config and the map built from it. A reload builds a new one and swaps it in
// whole; every face takes the current one for each request it answers.
#pragma once

#include <memory>
#include <mutex>

#include "config.h"
#include "point_map.h"

namespace plexer::gateway {

struct Running {
    GatewayConfig config;
    PointMap map;  // in the poller's order of gates
};

using RunningPtr = std::shared_ptr<const Running>;

class RunningSettings {
public:
    explicit RunningSettings(RunningPtr first) : current_(std::move(first)) {}

    RunningPtr Current() const {
        const std::lock_guard lock(mutex_);
        return current_;
    }
    void Swap(RunningPtr next) {
        const std::lock_guard lock(mutex_);
        current_.swap(next);
        // The old snapshot, in `next`, is released after the lock by whoever holds it last.
    }

private:
    mutable std::mutex mutex_;  // guards the pointer only; a snapshot never changes
    RunningPtr current_;
};

}  // namespace plexer::gateway
