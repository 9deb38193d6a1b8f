#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "descriptor.h"
#include "driver_terminal.h"
#include "port_access.h"
#include "wire_trace.h"

namespace plexer {

namespace {

constexpr std::size_t kChunk = 4096;


// The real port as the driver would have it.
std::unique_ptr<HostLine> OpenDevice(const std::string& port, const LineSettings& settings) {
    try {
        return std::make_unique<HostLine>(port, settings);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("--trace: ") + e.what());
    }
}

}  // namespace

std::string WhyNoTrace() { return ""; }

// Tried again this often while the port is gone, the wait doubling up to its longest.
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};

struct WireTrace::Relay {
    std::string port;
    LineSettings settings{};
    std::unique_ptr<HostLine> device;  // none while the port is gone
    Descriptor master;
    Descriptor slave;  // held, so that the master never reads end-of-file between the driver's opens
    Descriptor wakeRead;
    Descriptor wakeWrite;
    std::string driverPort;
    std::unique_ptr<TraceLog> log;
    std::chrono::milliseconds retry = kFirstRetry;
    std::chrono::steady_clock::time_point nextTry;  // while the device is gone
    std::thread thread;

    int Device() const { return device ? static_cast<int>(device->Native()) : -1; }

    void Run() {
        // Ctrl-C belongs to the thread that calls the driver.
        sigset_t signals;
        sigfillset(&signals);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        char bytes[kChunk];
        for (;;) {
            // A closed device (-1) is left out of the poll.
            pollfd fds[3] = {{wakeRead.Get(), POLLIN, 0}, {master.Get(), POLLIN, 0}, {Device(), POLLIN, 0}};
            if (poll(fds, 3, ReopenTimeoutMs()) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            if (Device() < 0 && std::chrono::steady_clock::now() >= nextTry) Reopen();
            if (fds[2].revents != 0 && !FromDevice(bytes)) Lose();
            if (fds[1].revents != 0 && !FromDriver(bytes)) {
                log->Note("the relay stopped: the driver's side failed", TraceLog::Clock::now());
                return;
            }
        }
    }

    // Forwarded first, told after: the trace never holds a byte back. False
    // when the device failed or hung up.
    bool FromDevice(char* bytes) {
        const ssize_t n = read(Device(), bytes, kChunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        const auto count = static_cast<std::size_t>(n);
        const TraceLog::Clock::time_point at = TraceLog::Clock::now();
        WriteAll(master.Get(), {bytes, count});
        log->Received(bytes, count, at);
        return true;
    }

    // While the device is gone the driver's frames are dropped, and it hears
    // silence, as from units that do not answer. False when the driver's side failed.
    bool FromDriver(char* bytes) {
        const ssize_t n = read(master.Get(), bytes, kChunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        if (Device() < 0) return true;
        const auto count = static_cast<std::size_t>(n);
        const TraceLog::Clock::time_point at = TraceLog::Clock::now();
        const bool passed = WriteAll(Device(), {bytes, count});
        log->Sent(bytes, count, at);
        if (!passed) Lose();
        return true;
    }

    // Until the next try at opening a device that is gone; -1 (none) while it is open.
    int ReopenTimeoutMs() const {
        if (Device() >= 0) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTry - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }

    void Lose() {
        device.reset();
        retry = kFirstRetry;
        nextTry = std::chrono::steady_clock::now() + retry;
        log->Flush();
        log->Note("the port failed or hung up: frames are dropped until it can be opened again",
                  TraceLog::Clock::now());
    }

    // A device unplugged and plugged in again, or a simulator restarted on
    // the same link, comes back under the same name.
    void Reopen() {
        try {
            device = OpenDevice(port, settings);
            log->Note("the port is open again", TraceLog::Clock::now());
        } catch (const std::runtime_error&) {
            retry = std::min(retry * 2, kLongestRetry);
            nextTry = std::chrono::steady_clock::now() + retry;
        }
    }
};

WireTrace::WireTrace(const std::string& port, const LineSettings& settings, std::unique_ptr<TraceLog> log)
    : relay_(std::make_unique<Relay>()) {
    Relay& relay = *relay_;
    relay.log = std::move(log);
    relay.port = port;
    relay.settings = settings;
    relay.device = OpenDevice(port, settings);
    relay.driverPort = OpenDriverTerminal(relay.master, relay.slave, false, "--trace: ");
    OpenWakePipe(relay.wakeRead, relay.wakeWrite, "--trace: ");
    relay.thread = std::thread([&relay] { relay.Run(); });
}

WireTrace::~WireTrace() {
    const char stop = 0;
    WriteAll(relay_->wakeWrite.Get(), {&stop, 1});
    relay_->thread.join();
    relay_->log->Flush();
}

const std::string& WireTrace::DriverPort() const { return relay_->driverPort; }

void WireTrace::FreeDriverPort() const { ioctl(relay_->slave.Get(), TIOCNXCL); }

}  // namespace plexer
