#include "io/write.h"

#include <cstring>

#include "gate/gate.h"
#include "io/config.h"
#include "io/point.h"
#include "io/transaction.h"
#include "kaldor.h"
#include "optomux/reply.h"

namespace qsn {

namespace {

constexpr std::uint16_t kMaxAnalogValue = 4095;

bool IsReadOnly(std::uint16_t typeCode) {
    return typeCode == kAnalogIn || typeCode == kDigitalIn;
}

bool IsAnalogGroup(const PointBlock& block) { return Low16(block.count) >= 2; }

// The value the frame carries: 12 bits for an analog output, on (1) or off (0)
// for a digital one.
bool ValueFits(const PointBlock& block) {
    const std::uint16_t typeCode = Low16(block.typeCode);
    if (typeCode == kAnalogOut) {
        const std::int16_t value = block.values[IsAnalogGroup(block) ? 0 : 1];
        return static_cast<std::uint16_t>(value) <= kMaxAnalogValue;
    }
    return typeCode != kDigitalOut || block.values[1] == 0 || block.values[1] == 1;
}

std::int32_t Refuse(const GasCopy& gas) {
    err(32, "QSNDUT: Single Write failed! GAS=%s", gas.text);
    return QSN_FAILED;
}

}  // namespace

bool BuildWriteFrame(const RequestBlock& request, char (&frame)[kFrameCapacity]) {
    const PointBlock& block = PointBlockOf(request);
    const std::uint16_t typeCode = Low16(block.typeCode);
    const std::uint16_t count = Low16(block.count);
    char mask[5];
    PointToMaskHex(PointNumber(block, GasCopy(block.gas)), mask);
    if (typeCode == kAnalogOut) {
        char data[8];
        char value[4];
        const bool group = IsAnalogGroup(block);
        if (group) WordToAsciiHex(kAllPositions, mask);
        Val12ToAsciiHex(static_cast<std::uint16_t>(block.values[group ? 0 : 1]), value);
        std::memcpy(data, mask, 4);
        std::memcpy(data + 4, value, 4);
        BuildCommandFrame(Low16(block.unit), 'S', data, frame);
        return true;
    }
    // A digital output is one point: there is no group write for it.
    if (typeCode == kDigitalOut && count <= 1 && ValueFits(block)) {
        BuildCommandFrame(Low16(block.unit), block.values[1] == 1 ? 'K' : 'L', mask, frame);
        return true;
    }
    return false;
}

std::int32_t SingleWrite(const RequestBlock& request) {
    const PointBlock& block = PointBlockOf(request);
    DriverContext& context = *request.context;
    const GasCopy gas(block.gas);
    const std::uint16_t typeCode = Low16(block.typeCode);

    if (block.gas == nullptr || block.values == nullptr || !AddressFits(block)) return Refuse(gas);
    if (IsReadOnly(typeCode)) {
        err(32, "QSNDUT: Write failed! Gate %s is read-only.", gas.text);
        return QSN_FAILED;
    }
    if (!ValueFits(block)) {
        err(32, "QSNDUT: Write failed! Value out of range. Gate=%s", gas.text);
        return QSN_FAILED;
    }
    const std::uint16_t point = PointNumber(block, gas);
    char frame[kFrameCapacity];
    // An output configuration would turn a field input into an output: only
    // types with a write command of their own get one.
    if (!PointInRange(point) || !BuildWriteFrame(request, frame)) return Refuse(gas);

    const std::uint8_t unit = UnitOf(block);
    auto prepare = [&] {
        if (context.unitCleared[unit] == 0) PowerupClear(request);
        if (context.outputConfigured[unit][point] == 0) OutputConfig(request);
    };
    auto accept = [&](const char* reply) { return CheckReply(reply, true, gas.text); };
    const std::int32_t result = RunAttempts(request, frame, kConfigAckLimit, prepare, accept);
    if (result != QSN_OK) err(32, "QSNDUT: Single Write failed! GAS=%s", gas.text);
    platform::SleepMs(kClosingPauseMs);
    return result;
}

}  // namespace qsn
