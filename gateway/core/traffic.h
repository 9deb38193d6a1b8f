// What the gateway answered: Modbus requests counted by function and
// exception, for /metrics. Counted on the server's thread, read by the page's.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace plexer::gateway {

class TrafficCounts {
public:
    // `exception` 0 for a normal answer.
    void Count(std::uint8_t function, std::uint8_t exception);
    // By (function, exception).
    std::map<std::pair<int, int>, long> Snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<std::pair<int, int>, long> counts_;
};

}  // namespace plexer::gateway
