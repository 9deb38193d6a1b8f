// Engineering units: how each point's value is served. Raw counts by default;
// a scaled 16-bit register in the raw register's place; or an IEEE-754 float32
// in two registers of a block of its own, so that raw registers keep their addresses.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gate_types.h"

namespace plexer::gateway {

enum class Serving { kRaw, kScaled, kFloat };
enum class WordOrder { kHighFirst, kLowFirst };

// The float32 block: position p of a unit at kFloatBase + 2 p of its table.
inline constexpr std::uint16_t kFloatBase = 2000;
inline constexpr int kAnalogCounts = 4095;

struct PointSettings {
    std::string name;
    std::optional<double> euLow, euHigh;  // the EU of 0 and of 4095 counts, analog points only
    std::string euName;                   // "bar", "degC"
    Serving serving = Serving::kRaw;
    double multiplier = 1;  // a scaled register holds round(EU * multiplier)
};

struct Engineering {
    WordOrder wordOrder = WordOrder::kHighFirst;
    std::map<std::string, PointSettings> points;  // by upper-case GAS
};

// A number as a stream writes it, to six digits: "0.5", "86400", "1e+06".
std::string NumberText(double number);

// The name of that unit: its own, degC for temperatures, counts for an analog point without a range.
std::string EuNameOf(const PointSettings& settings, Family family);

// The point's value in its engineering unit: counts through its range, degrees as they are.
double EuOf(const PointSettings& settings, Family family, std::int16_t raw);

// The scaled register of a value, saturated to int16, as it goes on the wire.
std::uint16_t ScaledRegister(const PointSettings& settings, double eu);

// The two registers of a float32 in the configured word order.
std::vector<std::uint16_t> FloatRegisters(float value, WordOrder order);
float FloatOf(std::uint16_t first, std::uint16_t second, WordOrder order);

// The counts an output gets for a value in its engineering unit; none when it
// falls outside 0-4095 counts (or is not a number).
std::optional<std::int16_t> CountsOf(const PointSettings& settings, double eu);

}  // namespace plexer::gateway
