#include "io/config.h"

#include "io/point.h"
#include "kaldor.h"
#include "optomux/frame.h"
#include "optomux/reply.h"
#include "serial/serial.h"

namespace qsn {

constinit const std::array<ProbeCode, 16> kProbeCodes = {{
    {180, "09"}, {190, "04"}, {200, "14"}, {210, "05"}, {220, "15"}, {230, "06"},
    {240, "16"}, {250, "07"}, {260, "17"}, {270, "08"}, {280, "18"}, {290, "28"},
    {300, "03"}, {310, "13"}, {320, "01"}, {330, "11"},
}};

const char* ProbeCodeFor(std::uint16_t typeCode) {
    for (const ProbeCode& probe : kProbeCodes) {
        if (probe.typeCode == typeCode) return probe.code;
    }
    return "00";
}

namespace {

// Sends the frame and reads the acknowledgement; true when it was "A" CR.
// A failed read also fails the comparison, so it is reported twice.
template <typename LogFailure>
void SendConfiguration(const RequestBlock& request, std::uint8_t unit, char letter,
                       const char* data, LogFailure logFailure) {
    char frame[kFrameCapacity];
    const std::size_t length = BuildCommandFrame(unit, letter, data, frame);
    SendFrame(request, frame, static_cast<std::int32_t>(length));
    const ConfigAck ack = ReadConfigAck(request);
    if (!ack.received) logFailure();
    if (!ack.acknowledged) logFailure();
}

}  // namespace

void PowerupClear(const RequestBlock& request) {
    const std::uint8_t unit = UnitOf(PointBlockOf(request));
    SendConfiguration(request, unit, 'A', "", [unit] {
        err(8, "QSNDUT: Powerup Clear Failed. Addr = %x", unit);
    });
    request.context->unitCleared[unit] = 1;
}

void OutputConfig(const RequestBlock& request) {
    const PointBlock& block = PointBlockOf(request);
    const GasCopy gas(block.gas);
    const std::uint8_t unit = UnitOf(block);
    const std::uint16_t point = PointNumber(block, gas);
    auto logFailure = [&gas] { err(8, "QSNDUT: Output config Failed. Gate = %s", gas.text); };
    // A point outside the unit has no flag and no position: nothing to configure.
    if (!PointInRange(point)) {
        logFailure();
        return;
    }
    char mask[5];
    PointToMaskHex(point, mask);
    SendConfiguration(request, unit, 'I', mask, logFailure);
    request.context->outputConfigured[unit][point] = 1;
}

void TcConfigure(const RequestBlock& request) {
    const PointBlock& block = PointBlockOf(request);
    const std::uint8_t unit = UnitOf(block);
    const std::uint16_t point = PointFromAddress(block);
    auto logFailure = [unit] { err(8, "QSNDUT: Tc configure Failed. Addr = %x", unit); };
    if (!PointInRange(point)) {
        logFailure();
        return;
    }
    char data[7];
    char mask[5];
    PointToMaskHex(point, mask);
    const char* probe = ProbeCodeFor(Low16(block.typeCode));
    for (std::size_t i = 0; i < 4; ++i) data[i] = mask[i];
    data[4] = probe[0];
    data[5] = probe[1];
    data[6] = '\0';
    SendConfiguration(request, unit, 'k', data, logFailure);
    request.context->tempConfigured[unit][point] = 1;
}

}  // namespace qsn
