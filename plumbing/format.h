// How plexer shows what the driver returned: values with their units, line
// settings, the banner; as text for people or JSON objects for scripts.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "results.h"
#include "qsnwndut.h"

namespace plexer {

// "2048 counts  50.0 %", "25 °C", "on".
std::string ValueText(Family family, std::int16_t value);
// `value` with one decimal and its unit: "50.0 %", "1.5 s".
std::string OneDecimal(double value, const char* unit);
// "counts" for analog values, "degC" for temperatures, "" for the rest.
const char* UnitsOf(Family family);
// {"value": 2048, "unit": "counts", "percent": 50.0} and the like.
nlohmann::ordered_json ValueJson(Family family, std::int16_t value);

// The names of the driver's stop-bit and parity codes, indexed by code.
inline constexpr const char* kStopBitsNames[] = {"1", "1.5", "2"};
inline constexpr const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};

// "9600 baud, 8 data bits, 1 stop bit, no parity".
std::string SettingsText(const LineSettings& settings);
nlohmann::ordered_json SettingsJson(const LineSettings& settings);

// The banner's lines in UTF-8, without the leading line feed.
std::vector<std::string> BannerLines(const char* banner);

// Columns padded to a width counted in characters, not bytes.
std::string Pad(const std::string& text, std::size_t width);

// Standard output: text lines, or one JSON object per line.
class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool Json() const { return json_; }
    void Text(const std::string& line) const;
    void Object(const nlohmann::ordered_json& object) const;

private:
    bool json_;
};

}  // namespace plexer
