// The Ctrl-C that ends a scan or a watch.
#pragma once

#include <functional>
#include <memory>

namespace plexer {

// While one lives, Ctrl-C only sets the flag that Interrupted() reports and
// calls `onInterrupt`, on a thread of its own, so that it may wake a waiting
// poller (lock a mutex, notify).
class InterruptCatcher {
public:
    explicit InterruptCatcher(std::function<void()> onInterrupt = {});
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    struct Waker;
    std::unique_ptr<Waker> waker_;
};
bool Interrupted();

}  // namespace plexer
