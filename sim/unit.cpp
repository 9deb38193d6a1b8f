#include "sim/unit.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace qsn::sim {

namespace {

constexpr std::uint16_t kInputOffset = 4096;
constexpr double kAnalogFullScale = 4095.0;
// A module past its range, on request: the first reading the driver flags (it takes up to 4096).
constexpr std::uint16_t kOverRange = 4097;

const std::string kUndefinedCommand = ErrorReply("01");
const std::string kDataFieldError = ErrorReply("05");

bool Selected(std::uint16_t mask, int position) { return ((mask >> position) & 1) != 0; }

// Runs `action` with the 4-digit position mask that is the whole data field.
template <typename Action>
std::string WithMask(std::string_view data, Action action) {
    if (data.size() != 4 || !IsHexText(data)) return kDataFieldError;
    return action(HexValue(data));
}

// Group replies list the selected positions highest first, so that position 0
// is the last field: the driver decodes from the end of the data.
template <typename Field>
std::string SelectedFields(std::uint16_t mask, Field field) {
    std::string data;
    for (int position = kPositions - 1; position >= 0; --position) {
        if (Selected(mask, position)) data += field(position);
    }
    return DataReply(data);
}

std::uint16_t Sixteenths(double degrees) {
    const double clamped = std::clamp(std::round(degrees * 16.0), -32768.0, 32767.0);
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(clamped));
}

}  // namespace

const char* KindName(UnitKind kind) {
    switch (kind) {
    case UnitKind::kDigital: return "digital";
    case UnitKind::kAnalog: return "analog";
    case UnitKind::kTemperature: return "temperature";
    }
    return "?";
}

Unit::Unit(const UnitOptions& options) : options_(options), cleared_(options.cleared) {}

std::string Unit::Answer(const Frame& frame, double elapsedS) {
    if (!frame.ChecksumOk()) return ErrorReply("02");
    // Until its power-up clear a unit refuses, and ignores, everything else.
    if (!cleared_ && frame.letter != 'A') return ErrorReply("00");
    return Execute(frame.letter, frame.data, elapsedS);
}

std::string Unit::Execute(char letter, std::string_view data, double elapsedS) {
    if (letter == 'A') {
        if (!data.empty()) return kDataFieldError;
        cleared_ = true;
        return AckReply();
    }
    switch (options_.kind) {
    case UnitKind::kDigital: return Digital(letter, data, elapsedS);
    case UnitKind::kAnalog: return Analog(letter, data, elapsedS);
    case UnitKind::kTemperature: return Temperature(letter, data, elapsedS);
    }
    return kUndefinedCommand;
}

std::string Unit::Digital(char letter, std::string_view data, double elapsedS) {
    switch (letter) {
    case 'I':
        return WithMask(data, [&](std::uint16_t mask) {
            options_.outputs |= mask;
            return AckReply();
        });
    case 'K':  // only outputs switch; input positions in the mask are left alone
        return WithMask(data, [&](std::uint16_t mask) {
            options_.on |= static_cast<std::uint16_t>(mask & options_.outputs);
            return AckReply();
        });
    case 'L':
        return WithMask(data, [&](std::uint16_t mask) {
            options_.on &= static_cast<std::uint16_t>(~(mask & options_.outputs));
            return AckReply();
        });
    case 'M':
        if (!data.empty()) return kDataFieldError;
        return DataReply(Hex4(DigitalLevels(elapsedS)));
    default: return kUndefinedCommand;
    }
}

std::string Unit::Analog(char letter, std::string_view data, double elapsedS) {
    switch (letter) {
    case 'I':
        return WithMask(data, [&](std::uint16_t mask) {
            options_.outputs |= mask;
            return AckReply();
        });
    case 'L':
        return WithMask(data, [&](std::uint16_t mask) { return ReadAnalogInputs(mask, elapsedS); });
    case 'K': return WithMask(data, [&](std::uint16_t mask) { return ReadAnalogOutputs(mask); });
    case 'S': return WriteAnalogOutputs(data);
    default: return kUndefinedCommand;
    }
}

std::string Unit::Temperature(char letter, std::string_view data, double elapsedS) {
    switch (letter) {
    case 'k': return SetProbes(data);
    case 'l':
        return WithMask(data, [&](std::uint16_t mask) { return ReadTemperatures(mask, elapsedS); });
    default: return kUndefinedCommand;
    }
}

std::string Unit::ReadAnalogInputs(std::uint16_t mask, double elapsedS) const {
    return SelectedFields(mask, [&](int position) -> std::string {
        if (Selected(options_.outputs, position)) return "????";
        if (Selected(options_.overRange, position)) return Hex4(static_cast<std::uint16_t>(kInputOffset + kOverRange));
        return Hex4(static_cast<std::uint16_t>(kInputOffset + AnalogInput(position, elapsedS)));
    });
}

std::string Unit::ReadAnalogOutputs(std::uint16_t mask) const {
    return SelectedFields(mask, [&](int position) -> std::string {
        if (!Selected(options_.outputs, position)) return "???";
        return Hex3(options_.outputValues[static_cast<std::size_t>(position)]);
    });
}

// Either one value for every selected position, or one per selected position,
// highest position first as in the replies.
std::string Unit::WriteAnalogOutputs(std::string_view data) {
    if (data.size() < 7 || !IsHexText(data)) return kDataFieldError;
    const std::uint16_t mask = HexValue(data.substr(0, 4));
    const std::string_view values = data.substr(4);
    const std::size_t selected = static_cast<std::size_t>(std::popcount(mask));
    const bool oneForAll = values.size() == 3;
    if (!oneForAll && values.size() != 3 * selected) return kDataFieldError;
    std::size_t next = 0;
    for (int position = kPositions - 1; position >= 0; --position) {
        if (!Selected(mask, position)) continue;
        const std::uint16_t value = HexValue(values.substr(oneForAll ? 0 : 3 * next++, 3));
        // A position without an output module keeps nothing.
        if (Selected(options_.outputs, position)) {
            options_.outputValues[static_cast<std::size_t>(position)] = value;
        }
    }
    return AckReply();
}

std::string Unit::ReadTemperatures(std::uint16_t mask, double elapsedS) const {
    return SelectedFields(mask, [&](int position) -> std::string {
        if (!options_.probes[static_cast<std::size_t>(position)]) return "????";
        return Hex4(Sixteenths(TemperatureAt(position, elapsedS)));
    });
}

std::string Unit::SetProbes(std::string_view data) {
    if (data.size() != 6 || !IsHexText(data)) return kDataFieldError;
    const std::uint16_t mask = HexValue(data.substr(0, 4));
    const auto code = static_cast<std::uint8_t>(HexValue(data.substr(4, 2)));
    for (int position = 0; position < kPositions; ++position) {
        if (Selected(mask, position)) options_.probes[static_cast<std::size_t>(position)] = code;
    }
    return AckReply();
}

double Unit::Phase(int position, double elapsedS) const {
    const double cycles = elapsedS / options_.animation.periodS + position / double{kPositions};
    return cycles - std::floor(cycles);
}

std::uint16_t Unit::DigitalLevels(double elapsedS) const {
    if (options_.animation.shape != Shape::kToggle) return options_.on;
    std::uint16_t flipped = 0;
    for (int position = 0; position < kPositions; ++position) {
        if (!Selected(options_.outputs, position) && Phase(position, elapsedS) >= 0.5) {
            flipped = static_cast<std::uint16_t>(flipped | (1u << position));
        }
    }
    return static_cast<std::uint16_t>(options_.on ^ flipped);
}

std::uint16_t Unit::AnalogInput(int position, double elapsedS) const {
    const double phase = Phase(position, elapsedS);
    switch (options_.animation.shape) {
    case Shape::kRamp: return static_cast<std::uint16_t>(std::lround(phase * kAnalogFullScale));
    case Shape::kSine:
        return static_cast<std::uint16_t>(
            std::lround(kAnalogFullScale / 2 * (1 + std::sin(2 * std::numbers::pi * phase))));
    default: return options_.inputs[static_cast<std::size_t>(position)];
    }
}

double Unit::TemperatureAt(int position, double elapsedS) const {
    const double base = options_.temperatures[static_cast<std::size_t>(position)];
    const double phase = Phase(position, elapsedS);
    const double amplitude = options_.animation.amplitude;
    switch (options_.animation.shape) {
    case Shape::kRamp: return base + amplitude * (2 * phase - 1);
    case Shape::kSine: return base + amplitude * std::sin(2 * std::numbers::pi * phase);
    default: return base;
    }
}

}  // namespace qsn::sim
