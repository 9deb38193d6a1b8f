#include "host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace plexer {

namespace {

constexpr std::int32_t kOnePoint = 1;
constexpr std::int32_t kWholeUnit = 16;

const char* CommandName(std::int32_t command) {
    switch (command) {
    case QSN_START_UP: return "start-up";
    case QSN_VALIDATE_GATE: return "validate";
    case QSN_READ: return "read";
    case QSN_WRITE: return "write";
    case QSN_CLOSE_PORT: return "close";
    case QSN_OPEN_PORT: return "open";
    case QSN_REOPEN_PORT: return "reopen";
    case QSN_IDENTIFY: return "identify";
    default: return "command";
    }
}

// Failed attempts show as one reply fault each; all but the last are retried,
// and a success follows every failed attempt it had.
long Retries(std::int32_t result, const std::vector<LogLine>& log) {
    const long faults = std::count_if(log.begin(), log.end(), IsReplyFault);
    return result == QSN_OK ? faults : std::max(faults - 1, 0L);
}

}  // namespace

Host::Host(QsnMainFn entry, LogView& log, bool verbose) : entry_(entry), log_(log), verbose_(verbose) {
    Call(QSN_IDENTIFY, &ident_);
    // Copied out first: a packed field cannot be bound to std::max's references.
    const std::int32_t reported = ident_.contextSize;
    const std::size_t size = reported > 0 ? static_cast<std::size_t>(reported) : 0;
    context_.assign(std::max(size, sizeof(DriverContext)), 0);
}

Host::~Host() { Close(); }

// The driver's context is a plain byte block of the size it asked for.
DriverContext* Host::Context() { return reinterpret_cast<DriverContext*>(context_.data()); }

std::int32_t Host::Call(std::int32_t command, void* params) {
    RequestBlock request{};
    request.context = context_.empty() ? nullptr : Context();
    request.command = command;
    request.params = params;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = entry_(&request);
    if (verbose_) {
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", took.count());
        log_.Note("QsnMain(" + std::to_string(command) + " " + CommandName(command) + ") = " + std::to_string(result) +
                  " in " + ms + " ms");
    }
    return result;
}

std::int32_t Host::Start(const LineConfig& line) {
    InitBlock init{};
    std::strncpy(init.portName, line.portName.c_str(), sizeof init.portName - 1);
    init.enabled = 1;
    init.readTimeout = line.readTimeout;
    init.settings = line.settings;
    const std::int32_t result = Call(QSN_START_UP, &init);
    started_ = result == QSN_OK;
    line_ = line;
    return result;
}

std::int32_t Host::ClosePort() { return Call(QSN_CLOSE_PORT, nullptr); }

std::int32_t Host::Restart(const std::string& portName) {
    LineConfig line = line_;
    line.portName = portName;
    return Start(line);
}

void Host::Close() {
    if (started_) ClosePort();
    started_ = false;
}

std::int32_t Host::Reopen() {
    const std::int32_t result = Call(QSN_OPEN_PORT, nullptr);
    started_ = result == QSN_OK;
    return result;
}

Validation Host::Validate(const std::string& gas) {
    Validation validation;
    Gate& gate = validation.gate;
    gate.gas = gas;
    gate.dataKind = DataKindFor(gas);
    GateBlock block{};
    block.gas = gate.gas.c_str();
    block.dataKind = gate.dataKind;
    block.elementCount = kWholeUnit;
    log_.BeginCall();
    validation.result = Call(QSN_VALIDATE_GATE, &block);
    validation.log = log_.EndCall();
    gate.unit = block.unit;
    gate.typeCode = block.typeCode;
    gate.pointAddress = block.pointAddress;
    gate.pointIndex = block.pointIndex;
    gate.pointCount = block.pointCount;
    return validation;
}

Transfer Host::Transact(std::int32_t command, const Gate& gate, std::int32_t count, Transfer transfer) {
    PointBlock block{};
    block.gas = gate.gas.c_str();
    block.unit = gate.unit;
    block.typeCode = gate.typeCode;
    block.pointAddress = gate.pointAddress;
    block.bitNumber = gate.pointIndex;
    block.notUsed18 = gate.pointCount;
    block.dataKind = gate.dataKind;
    block.count = count;
    block.values = transfer.values.data();
    log_.BeginCall();
    transfer.result = Call(command, &block);
    transfer.log = log_.EndCall();
    ++totals_.transactions;
    if (transfer.result != QSN_OK) ++totals_.failures;
    totals_.retries += Retries(transfer.result, transfer.log);
    return transfer;
}

Transfer Host::Read(const Gate& gate, bool wholeUnit) {
    return Transact(QSN_READ, gate, wholeUnit ? kWholeUnit : kOnePoint, Transfer{});
}

Transfer Host::Write(const Gate& gate, std::int16_t value) {
    Transfer transfer;
    transfer.values[1] = value;
    return Transact(QSN_WRITE, gate, kOnePoint, transfer);
}

std::string ResultMeaning(std::int32_t command, std::int32_t result) {
    const std::string code = " (driver result " + std::to_string(result) + ")";
    if (result == QSN_OK) return "done" + code;
    switch (command) {
    case QSN_START_UP: return "port not opened" + code;
    case QSN_VALIDATE_GATE: return "GAS invalid" + code;
    case QSN_READ:
    case QSN_WRITE: return (result == QSN_NO_LINE ? "no complete reply" : "refused, or every reply rejected") + code;
    default: return "failed" + code;
    }
}

}  // namespace plexer
