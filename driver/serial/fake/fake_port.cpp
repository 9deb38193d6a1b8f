#include "serial/fake/fake_port.h"

#include <algorithm>
#include <cstring>

namespace qsn::fake {

FakeLine& Line() {
    static FakeLine line;
    return line;
}

platform::CommState FreshState() {
    platform::CommState state{};
    state.baudRate = 1200;
    state.byteSize = 7;
    state.parity = platform::kEvenParity;
    state.parityCheck = false;
    state.stopBits = platform::kTwoStopBits;
    state.dtrControl = platform::kDtrDisable;
    state.rtsControl = platform::kRtsDisable;
    state.errorChar = '?';
    state.errorCharReplace = true;
    return state;
}

void FakeLine::Reset() {
    devices_.clear();
    failNext_.clear();
    calls.clear();
    readChunkLimit = 0xFFFFFFFFu;
    writeShortBy = 0;
    nowMs = 0;
    nextHandle_ = 1;
}

Device& FakeLine::AddDevice(const std::string& name) {
    Device& device = devices_[name];
    device.name = name;
    device.state = FreshState();
    device.timeouts = platform::CommTimeouts{10, 0, 0, 0, 0};
    return device;
}

Device* FakeLine::Find(const std::string& name) {
    auto it = devices_.find(name);
    return it == devices_.end() ? nullptr : &it->second;
}

Device* FakeLine::ByHandle(PortHandle port) {
    if (port == 0) return nullptr;
    for (auto& [name, device] : devices_) {
        if (device.openAs == port) return &device;
    }
    return nullptr;
}

bool FakeLine::TakeFailure(Op op) {
    auto it = std::find(failNext_.begin(), failNext_.end(), op);
    if (it == failNext_.end()) return false;
    failNext_.erase(it);
    return true;
}

std::vector<Call> FakeLine::CallsOf(Op op) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [op](const Call& c) { return c.op == op; });
    return out;
}

std::vector<std::uint32_t> FakeLine::Sleeps() const {
    std::vector<std::uint32_t> out;
    for (const Call& c : CallsOf(Op::Sleep)) out.push_back(c.asked);
    return out;
}

}  // namespace qsn::fake

namespace qsn::platform {

using fake::Call;
using fake::Line;
using fake::Op;

namespace {

// Records the call and finds its open device; null when the call must fail.
fake::Device* Begin(Op op, PortHandle port, Call& call) {
    call.op = op;
    call.port = port;
    fake::Device* device = Line().ByHandle(port);
    if (device == nullptr || Line().TakeFailure(op)) {
        call.ok = false;
        return nullptr;
    }
    return device;
}

bool Finish(Call& call) {
    Line().calls.push_back(call);
    return call.ok;
}

}  // namespace

PortHandle PortOpen(const char* name) {
    Call call{Op::Open, 0, name};
    fake::Device* device = Line().Find(name);
    // Like a no-sharing open: a device that is open cannot be opened again.
    if (device == nullptr || device->openAs != 0 || Line().TakeFailure(Op::Open)) {
        call.ok = false;
        Finish(call);
        return kInvalidHandle;
    }
    device->openAs = Line().nextHandle_++;
    call.port = device->openAs;
    Finish(call);
    return device->openAs;
}

bool PortGetState(PortHandle port, CommState* state) {
    Call call{};
    if (fake::Device* device = Begin(Op::GetState, port, call)) *state = device->state;
    return Finish(call);
}

bool PortSetState(PortHandle port, const CommState& state) {
    Call call{};
    if (fake::Device* device = Begin(Op::SetState, port, call)) device->state = state;
    return Finish(call);
}

bool PortGetTimeouts(PortHandle port, CommTimeouts* timeouts) {
    Call call{};
    if (fake::Device* device = Begin(Op::GetTimeouts, port, call)) *timeouts = device->timeouts;
    return Finish(call);
}

bool PortSetTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    Call call{};
    if (fake::Device* device = Begin(Op::SetTimeouts, port, call)) {
        device->timeouts = timeouts;
        call.asked = timeouts.readTotalTimeoutConstant;
    }
    return Finish(call);
}

bool PortSetupQueues(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    Call call{};
    if (fake::Device* device = Begin(Op::SetupQueues, port, call)) {
        device->inQueue = inQueue;
        device->outQueue = outQueue;
        call.asked = inQueue;
    }
    return Finish(call);
}

bool PortClearErrors(PortHandle port, std::uint32_t* bytesWaiting) {
    Call call{};
    if (fake::Device* device = Begin(Op::ClearErrors, port, call)) {
        *bytesWaiting = static_cast<std::uint32_t>(device->input.size());
        call.done = *bytesWaiting;
    }
    return Finish(call);
}

bool PortRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    Call call{};
    call.asked = count;
    *received = 0;
    if (fake::Device* device = Begin(Op::Read, port, call)) {
        if (device->input.empty() && !device->trickle.empty() && count > 0) {
            device->input += device->trickle.front();
            device->trickle.erase(0, 1);
            Line().nowMs += device->timeouts.readTotalTimeoutConstant - 1;
        }
        const std::size_t n =
            std::min<std::size_t>({count, device->input.size(), Line().readChunkLimit});
        std::memcpy(buffer, device->input.data(), n);
        call.data = device->input.substr(0, n);
        device->input.erase(0, n);
        *received = static_cast<std::uint32_t>(n);
        call.done = *received;
        // A read that ends short waited out its total time-out.
        if (n < count) Line().nowMs += device->timeouts.readTotalTimeoutConstant;
    }
    return Finish(call);
}

bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    Call call{};
    call.asked = count;
    if (fake::Device* device = Begin(Op::Write, port, call)) {
        const std::uint32_t n = count > Line().writeShortBy ? count - Line().writeShortBy : 0;
        call.data.assign(static_cast<const char*>(bytes), n);
        device->written += call.data;
        *written = n;
        call.done = n;
        Finish(call);
        if (device->respond) device->respond(*device, call.data);
        return true;
    }
    return Finish(call);
}

bool PortClose(PortHandle port) {
    Call call{};
    if (fake::Device* device = Begin(Op::Close, port, call)) device->openAs = 0;
    return Finish(call);
}

void SleepMs(std::uint32_t milliseconds) {
    Line().nowMs += milliseconds;
    Line().calls.push_back(Call{Op::Sleep, 0, {}, milliseconds, 0, true});
}

}  // namespace qsn::platform
