// The Ctrl-C that ends a scan or a watch.
#pragma once

#include <atomic>

namespace plexer {

// While one lives, Ctrl-C only sets the flag that Interrupted() reports.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};
bool Interrupted();
// The same flag, for a poller's stop.
const std::atomic<bool>& InterruptFlag();

}  // namespace plexer
