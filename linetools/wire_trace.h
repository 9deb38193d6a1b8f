// The wire trace: every frame between the driver and the units, timed and
// told in words. On Linux the driver is handed a pseudo-terminal in place of
// the port, and a relay thread copies bytes between it and the real device,
// unchanged, telling each complete frame to the trace as it passes. The driver
// cannot be asked for its frames (it only logs through err), and its serial
// calls cannot be hooked from the host without interposing on libc; a relay
// needs neither and works for every subcommand and for the gateway alike.
// It costs each transaction one extra pseudo-terminal hop each way.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "poller.h"
#include "qsnwndut.h"

namespace plexer {

// Writes the trace lines: "  12.345 ms  -> >05L0008C4\r  unit 05: read analog
// inputs, mask 0008". Frames are cut at their carriage return; what is left
// when the other side starts talking, or at the end, is shown as it came. A
// command is shown once its reply is complete (or the next command goes out),
// since only the reply tells a read from a switch with the same letter.
class TraceLog {
public:
    using Clock = std::chrono::steady_clock;

    TraceLog(std::FILE* out, Clock::time_point start) : out_(out), start_(start) {}
    ~TraceLog() { Flush(); }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    void Sent(const char* bytes, std::size_t count, Clock::time_point at) { Take(true, bytes, count, at); }
    void Received(const char* bytes, std::size_t count, Clock::time_point at) { Take(false, bytes, count, at); }
    // Shows the frames still incomplete.
    void Flush();
    // A remark of the relay's own, such as a port that stopped answering reads.
    void Note(const std::string& text, Clock::time_point at);

private:
    struct Pending {
        std::string bytes;
        Clock::time_point first;
    };
    void Take(bool sent, const char* bytes, std::size_t count, Clock::time_point at);
    void Complete(Pending& pending, bool sent);
    void ShowCommand(const std::string& reply);
    void Line(Clock::time_point at, bool sent, const std::string& bytes, const std::string& meaning);

    std::FILE* out_;
    Clock::time_point start_;
    Pending sent_;
    Pending received_;
    Pending command_;       // the last command, not yet shown while it waits for its reply
    std::string answered_;  // the last command shown, that replies answer
};

// Why this platform cannot trace the wire; "" where it can.
std::string WhyNoTrace();
inline bool WireTraceAvailable() { return WhyNoTrace().empty(); }

// The relay: the real port opened and set up as the driver would, a
// pseudo-terminal for the driver, and the thread between them. Throws
// std::runtime_error when the port or the pseudo-terminal cannot be had.
// A port that fails later (unplugged, its simulator gone) is opened again
// by its name once it can be; meanwhile the driver's frames are dropped and
// it hears no replies. The trace notes both moments.
class WireTrace {
public:
    WireTrace(const std::string& port, const LineSettings& settings, std::unique_ptr<TraceLog> log);
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    // The name to hand the driver in place of the port.
    const std::string& DriverPort() const;
    // The port as the relay holds it: gone from the relay's loss of it until
    // the relay has it open again, so that a traced line is seen lost too.
    std::unique_ptr<LineDevice> WatchDevice() const;

private:
    struct Relay;
    std::unique_ptr<Relay> relay_;
};

}  // namespace plexer
