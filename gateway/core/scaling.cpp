#include "scaling.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace plexer::gateway {

namespace {

bool Ranged(const PointSettings& settings) {
    return settings.euLow && settings.euHigh && *settings.euHigh != *settings.euLow;
}

}  // namespace

std::string EuNameOf(const PointSettings& settings, Family family) {
    if (!settings.euName.empty()) return settings.euName;
    if (family == Family::kTemperature) return "degC";
    if (IsAnalog(family)) return settings.euLow ? "" : "counts";
    return "";
}

std::string NumberText(double number) {
    std::ostringstream text;
    text << number;
    return text.str();
}

double EuOf(const PointSettings& settings, Family family, std::int16_t raw) {
    if (!IsAnalog(family) || !Ranged(settings)) return raw;
    return *settings.euLow + (*settings.euHigh - *settings.euLow) * raw / kAnalogCounts;
}

std::uint16_t ScaledRegister(const PointSettings& settings, double eu) {
    const double scaled = std::round(eu * settings.multiplier);
    const double bounded = std::fmax(-32768.0, std::fmin(32767.0, scaled));
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(bounded));
}

std::vector<std::uint16_t> FloatRegisters(float value, WordOrder order) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const auto high = static_cast<std::uint16_t>(bits >> 16);
    const auto low = static_cast<std::uint16_t>(bits & 0xFFFFu);
    if (order == WordOrder::kHighFirst) return {high, low};
    return {low, high};
}

float FloatOf(std::uint16_t first, std::uint16_t second, WordOrder order) {
    const std::uint32_t high = order == WordOrder::kHighFirst ? first : second;
    const std::uint32_t low = order == WordOrder::kHighFirst ? second : first;
    const std::uint32_t bits = high << 16 | low;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::optional<std::int16_t> CountsOf(const PointSettings& settings, double eu) {
    const double counts =
        Ranged(settings) ? (eu - *settings.euLow) / (*settings.euHigh - *settings.euLow) * kAnalogCounts : eu;
    // Half a count of slack, so that an EU value read back is written back whole.
    if (!std::isfinite(counts) || counts < -0.5 || counts > kAnalogCounts + 0.5) return std::nullopt;
    return static_cast<std::int16_t>(std::lround(std::fmax(0.0, std::fmin(kAnalogCounts, counts))));
}

}  // namespace plexer::gateway
