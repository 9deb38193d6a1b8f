#include "traffic.h"

namespace plexer::gateway {

void TrafficCounts::Count(std::uint8_t function, std::uint8_t exception) {
    const std::lock_guard lock(mutex_);
    ++counts_[{function, exception}];
}

std::map<std::pair<int, int>, long> TrafficCounts::Snapshot() const {
    const std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace plexer::gateway
