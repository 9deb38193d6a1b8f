// A scripted stand-in for the serial platform, for unit tests. It keeps a
// set of named devices, records every platform call in order, and runs a
// fake clock: a read that finds nothing waiting costs its time-out on the
// clock instead of real time, and sleeping only advances the clock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serial/platform.h"

namespace qsn::fake {

enum class Op {
    Open,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    SetupQueues,
    ClearErrors,
    Read,
    Write,
    Close,
    Sleep
};

struct Call {
    Op op;
    PortHandle port = 0;
    std::string data;          // name opened, bytes written or bytes read
    std::uint32_t asked = 0;   // read or write count asked; sleep milliseconds
    std::uint32_t done = 0;    // bytes read or written; bytes waiting
    bool ok = true;
};

struct Device {
    std::string name;
    platform::CommState state{};
    platform::CommTimeouts timeouts{};
    std::string input;          // bytes waiting to be read
    // Sent one character to each read that finds nothing waiting, just inside its time-out.
    std::string trickle;
    std::string written;        // every byte written, in order
    std::uint32_t inQueue = 0, outQueue = 0;
    PortHandle openAs = 0;      // the handle while open, else 0
    // What the peer sends back for each write; called after the bytes are recorded.
    std::function<void(Device&, const std::string& bytes)> respond;
};

// The whole fake platform. Tests reach it with Line().
class FakeLine {
public:
    void Reset();
    Device& AddDevice(const std::string& name);
    Device* Find(const std::string& name);
    Device* ByHandle(PortHandle port);

    // Which calls fail: the next call of each op in this set returns false.
    void FailNext(Op op) { failNext_.push_back(op); }
    bool TakeFailure(Op op);

    std::uint32_t readChunkLimit = 0xFFFFFFFFu;  // most bytes one read delivers
    std::uint32_t writeShortBy = 0;              // a write reports this many fewer bytes
    std::uint64_t nowMs = 0;                     // the fake clock
    std::vector<Call> calls;

    std::vector<Call> CallsOf(Op op) const;
    std::vector<std::uint32_t> Sleeps() const;

private:
    std::map<std::string, Device> devices_;
    std::vector<Op> failNext_;
    PortHandle nextHandle_ = 1;
    friend PortHandle platform::PortOpen(const char* name);
};

FakeLine& Line();

// A device's state as a freshly plugged device reports it.
platform::CommState FreshState();

}  // namespace qsn::fake
