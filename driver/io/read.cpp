#include "io/read.h"

#include <algorithm>
#include <cstring>

#include "gate/gate.h"
#include "io/config.h"
#include "io/point.h"
#include "io/transaction.h"
#include "kaldor.h"
#include "optomux/reply.h"

namespace qsn {

namespace {

constexpr std::int32_t kAnalogOffset = 4096;
constexpr std::int32_t kAnalogTop = 8192;
constexpr int kBelowScale = -273;
constexpr int kAboveScale = 2047;
constexpr std::size_t kMaxGroup = 16;
constexpr std::uint16_t kLastBit = 15;

struct ReadCommand {
    std::uint16_t typeCode;
    char letter;
    bool masked;  // carries a position mask
};

constexpr ReadCommand kReadCommands[] = {
    {kAnalogIn, 'L', true},
    {kAnalogOut, 'K', true},
    {kDigitalIn, 'M', false},
    {kDigitalOut, 'M', false},
};
constexpr ReadCommand kTemperatureRead = {0, 'l', true};

// Null for the types that have no read command of their own.
const ReadCommand* ReadCommandFor(std::uint16_t typeCode) {
    if (GateTypeClass(typeCode) == TypeClass::kTemperature) return &kTemperatureRead;
    for (const ReadCommand& command : kReadCommands) {
        if (command.typeCode == typeCode) return &command;
    }
    return nullptr;
}

bool IsDigital(std::uint16_t typeCode) {
    return typeCode == kDigitalIn || typeCode == kDigitalOut;
}

bool IsSingle(const PointBlock& block) { return Low16(block.count) == 1; }

std::size_t FieldWidth(std::uint16_t typeCode) { return typeCode == kAnalogOut ? 3 : 4; }

std::int16_t DecodeChunk(const char* gas, const char* chunk, std::size_t width,
                         std::uint16_t typeCode) {
    char text[5] = {};
    std::memcpy(text, chunk, width);
    if (GateTypeClass(typeCode) == TypeClass::kTemperature) return DecodeTemperature(gas, text);
    return DecodeAnalogValue(gas, text, typeCode);
}

// Group data holds one fixed-width value per position, the last being position 0.
void DecodeGroup(const PointBlock& block, const char* gas, const char* data,
                 std::uint16_t typeCode) {
    const std::size_t width = FieldWidth(typeCode);
    const std::size_t length = std::strlen(data);
    for (std::size_t i = 0; i < kMaxGroup && (i + 1) * width <= length; ++i) {
        const char* chunk = data + length - (i + 1) * width;
        block.values[i] = DecodeChunk(gas, chunk, width, typeCode);
    }
}

// Refusals before anything is sent: what the host's block cannot be read as.
bool Readable(const PointBlock& block, std::uint16_t point) {
    if (block.gas == nullptr || block.values == nullptr || !AddressFits(block)) return false;
    const std::uint16_t typeCode = Low16(block.typeCode);
    if (ReadCommandFor(typeCode) == nullptr || !PointInRange(point)) return false;
    const bool bitFits = block.bitNumber >= 0 && block.bitNumber <= kLastBit;
    return !(IsDigital(typeCode) && IsSingle(block) && !bitFits);
}

bool IsUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A field of upper-case hexadecimal digits, or of question marks where the
// unit reports a point it cannot read.
bool FieldFits(const char* field, std::size_t width, bool unreadableAllowed) {
    bool digits = true;
    bool marks = unreadableAllowed;
    for (std::size_t i = 0; i < width; ++i) {
        digits = digits && IsUpperHexDigit(field[i]);
        marks = marks && field[i] == '?';
    }
    return digits || marks;
}

std::size_t FieldCount(const PointBlock& block) {
    return IsDigital(Low16(block.typeCode)) || IsSingle(block) ? 1 : kMaxGroup;
}

// The longest answer to the request's frame, CR included: "A", the data and
// two checksum digits, or an error reply as long as an acknowledgement may be.
std::size_t ReplyLimit(const PointBlock& block) {
    const std::size_t data = FieldWidth(Low16(block.typeCode)) * FieldCount(block);
    return std::max(1 + data + 2 + 1, kConfigAckLimit);
}

// The data a unit sends for the request: one field per position asked for,
// each of its type's width. The checksum cannot be relied on to catch the rest.
bool DataFits(const PointBlock& block, const char* data) {
    const std::uint16_t typeCode = Low16(block.typeCode);
    if (ReadCommandFor(typeCode) == nullptr) return false;
    const bool digital = IsDigital(typeCode);
    const std::size_t width = FieldWidth(typeCode);
    const std::size_t fields = FieldCount(block);
    if (std::strlen(data) != width * fields) return false;
    for (std::size_t i = 0; i < fields; ++i) {
        if (!FieldFits(data + i * width, width, !digital)) return false;
    }
    return true;
}

}  // namespace

std::int16_t DecodeAnalogValue(const char* gas, const char* text, std::uint16_t typeCode) {
    if (text[0] == '?') {
        err(8, "QSNDUT: Analog I/O not configured! Gate = %s", gas);
        return 0;
    }
    const std::int32_t value = AsciiHexToVal(text);
    if (typeCode != kAnalogIn) return static_cast<std::int16_t>(value);
    if (value >= kAnalogOffset && value <= kAnalogTop) {
        return static_cast<std::int16_t>(value - kAnalogOffset);
    }
    err(8, "QSNDUT: Analog Input out of range. Gate = %s Value = %d", gas, value - kAnalogOffset);
    return static_cast<std::int16_t>(value < kAnalogOffset ? 0 : kAnalogOffset);
}

std::int16_t DecodeTemperature(const char* gas, const char* text) {
    if (text[0] == '?') {
        err(8, "QSNDUT: Analog I/O not configured! Gate = %s", gas);
        return 0;
    }
    const auto sixteenths = static_cast<std::int16_t>(AsciiHexToVal(text));
    const int degrees = sixteenths / 16;
    if (degrees <= kBelowScale) {
        err(8, "QSNDUT: Temperature below Scale. Gate = %s Temp = %d", gas, degrees);
    } else if (degrees >= kAboveScale) {
        err(8, "QSNDUT: Temperature above Scale. Gate = %s Temp = %d", gas, degrees);
    }
    return static_cast<std::int16_t>(degrees);
}

bool DecodeReadData(const PointBlock& block, const char* gas, const char* data) {
    if (!DataFits(block, data)) return false;
    const std::uint16_t typeCode = Low16(block.typeCode);
    const bool single = IsSingle(block);
    if (IsDigital(typeCode)) {
        const std::uint16_t status = AsciiHexToVal(data);
        if (single) {
            block.values[1] = static_cast<std::int16_t>((status >> Low16(block.bitNumber)) & 1u);
        } else {
            block.values[0] = static_cast<std::int16_t>(status);
        }
    } else if (single) {
        block.values[1] = GateTypeClass(typeCode) == TypeClass::kTemperature
                              ? DecodeTemperature(gas, data)
                              : DecodeAnalogValue(gas, data, typeCode);
    } else {
        DecodeGroup(block, gas, data, typeCode);
    }
    return true;
}

bool BuildReadFrame(const RequestBlock& request, char (&frame)[kFrameCapacity]) {
    const PointBlock& block = PointBlockOf(request);
    const ReadCommand* command = ReadCommandFor(Low16(block.typeCode));
    if (command == nullptr) return false;
    char data[5] = {};
    if (command->masked && IsSingle(block)) {
        PointToMaskHex(PointNumber(block, GasCopy(block.gas)), data);
    } else if (command->masked) {
        WordToAsciiHex(kAllPositions, data);
    }
    BuildCommandFrame(Low16(block.unit), command->letter, data, frame);
    return true;
}

std::int32_t SingleRead(const RequestBlock& request) {
    const PointBlock& block = PointBlockOf(request);
    DriverContext& context = *request.context;
    const GasCopy gas(block.gas);
    const std::uint16_t point = PointNumber(block, gas);
    const std::uint8_t unit = UnitOf(block);
    const TypeClass typeClass = GateTypeClass(Low16(block.typeCode));

    char frame[kFrameCapacity];
    if (!Readable(block, point) || !BuildReadFrame(request, frame)) {
        err(32, "QSNDUT: Single Read failed! GAS=%s", gas.text);
        return QSN_FAILED;
    }
    auto prepare = [&] {
        if (context.unitCleared[unit] == 0) PowerupClear(request);
        if (typeClass == TypeClass::kOutput && context.outputConfigured[unit][point] == 0) {
            OutputConfig(request);
        }
        if (typeClass == TypeClass::kTemperature && context.tempConfigured[unit][point] == 0) {
            TcConfigure(request);
        }
    };
    auto accept = [&](char* reply) {
        if (!CheckReply(reply, false, gas.text) || !VerifyReplyChecksum(reply)) return false;
        const std::size_t checksumAt = std::strlen(reply) - 2;
        const char checksum = reply[checksumAt];
        reply[checksumAt] = '\0';
        if (DecodeReadData(block, gas.text, reply + 1)) return true;
        reply[checksumAt] = checksum;
        err(32, "QSNDUT: Data Error. Plc String %s ", reply);
        return false;
    };
    const std::int32_t result = RunAttempts(request, frame, ReplyLimit(block), prepare, accept);
    if (result != QSN_OK) err(32, "QSNDUT: Single Read failed! GAS=%s", gas.text);
    platform::SleepMs(kClosingPauseMs);
    return result;
}

}  // namespace qsn
