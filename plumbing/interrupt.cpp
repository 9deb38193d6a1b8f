#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace plexer {

namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#if defined(_WIN32)
// Windows runs a SIGINT handler on a thread of its own: it may call the waker itself.
std::function<void()>* onInterrupt = nullptr;
#else
// A handler may only write(): a thread of the catcher's reads the byte and calls the waker.
std::atomic<int> wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr char kInterrupt = 'i';
constexpr char kQuit = 'q';
#endif

// A second Ctrl-C ends the program at once, even inside a long transaction.
extern "C" void OnInterrupt(int) {
    interrupted = true;
    std::signal(SIGINT, SIG_DFL);
#if defined(_WIN32)
    if (onInterrupt != nullptr && *onInterrupt) (*onInterrupt)();
#else
    const int saved = errno;
    const int fd = wakeFd;
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = write(fd, &kInterrupt, 1);
    }
    errno = saved;
#endif
}

}  // namespace

#if defined(_WIN32)
struct InterruptCatcher::Waker {
    explicit Waker(std::function<void()> call) : call_(std::move(call)) { onInterrupt = &call_; }
    ~Waker() { onInterrupt = nullptr; }
    std::function<void()> call_;
};
#else
struct InterruptCatcher::Waker {
    explicit Waker(std::function<void()> call) {
        if (!call || pipe2(fds_, O_CLOEXEC) != 0) return;
        wakeFd = fds_[1];
        thread_ = std::thread([this, call = std::move(call)] {
            char byte = 0;
            while (read(fds_[0], &byte, 1) == 1 && byte == kInterrupt) call();
        });
    }
    ~Waker() {
        if (!thread_.joinable()) return;
        wakeFd = -1;
        [[maybe_unused]] const ssize_t n = write(fds_[1], &kQuit, 1);
        thread_.join();
        close(fds_[0]);
        close(fds_[1]);
    }
    int fds_[2] = {-1, -1};
    std::thread thread_;
};
#endif

InterruptCatcher::InterruptCatcher(std::function<void()> onInterrupt)
    : waker_(std::make_unique<Waker>(std::move(onInterrupt))) {
    interrupted = false;
    std::signal(SIGINT, OnInterrupt);
}

InterruptCatcher::~InterruptCatcher() {
    std::signal(SIGINT, SIG_DFL);
    waker_.reset();
}

bool Interrupted() { return interrupted; }

}  // namespace plexer
