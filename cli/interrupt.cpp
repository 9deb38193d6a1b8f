#include "interrupt.h"

#include <csignal>

namespace plexer {

namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// A second Ctrl-C ends the program at once, even inside a long transaction.
extern "C" void OnInterrupt(int) {
    interrupted = true;
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
    interrupted = false;
    std::signal(SIGINT, OnInterrupt);
}

InterruptCatcher::~InterruptCatcher() { std::signal(SIGINT, SIG_DFL); }

bool Interrupted() { return interrupted; }

const std::atomic<bool>& InterruptFlag() { return interrupted; }

}  // namespace plexer
