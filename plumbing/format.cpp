#include "format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "terminal.h"
#include "cp437.h"

namespace plexer {

namespace {

constexpr double kAnalogSpan = 4095.0;
constexpr std::int16_t kAboveRange = 4096;

double RoundedPercent(std::int16_t value) { return std::round(value * 1000.0 / kAnalogSpan) / 10.0; }

template <std::size_t N>
const char* NameOf(const char* const (&names)[N], std::int16_t code) {
    return code >= 0 && static_cast<std::size_t>(code) < N ? names[code] : "?";
}

}  // namespace

std::string OneDecimal(double value, const char* unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

std::string ValueText(Family family, std::int16_t value) {
    switch (family) {
    case Family::kDigitalIn:
    case Family::kDigitalOut: return value != 0 ? "on" : "off";
    case Family::kTemperature: return std::to_string(value) + " °C";
    case Family::kAnalogIn:
        if (value >= kAboveRange) return std::to_string(value) + " counts  above range";
        [[fallthrough]];
    case Family::kAnalogOut: return std::to_string(value) + " counts  " + OneDecimal(value * 100.0 / kAnalogSpan, "%");
    case Family::kOther: break;
    }
    return std::to_string(value);
}

const char* UnitsOf(Family family) {
    if (family == Family::kTemperature) return "degC";
    return IsAnalog(family) ? "counts" : "";
}

nlohmann::ordered_json ValueJson(Family family, std::int16_t value) {
    nlohmann::ordered_json object = {{"value", value}};
    if (IsDigital(family)) object["state"] = value != 0 ? "on" : "off";
    if (*UnitsOf(family) != '\0') object["units"] = UnitsOf(family);
    if (IsAnalog(family)) {
        object["percent"] = RoundedPercent(value);
        if (family == Family::kAnalogIn && value >= kAboveRange) object["aboveRange"] = true;
    }
    return object;
}

std::string SettingsText(const LineSettings& settings) {
    const std::string stop = NameOf(kStopBitsNames, settings.stopBits);
    return std::to_string(settings.baudRate) + " baud, " + std::to_string(settings.dataBits) + " data bits, " + stop +
           (stop == "1" ? " stop bit, " : " stop bits, ") +
           (settings.parity == 0 ? std::string("no") : NameOf(kParityNames, settings.parity)) + " parity";
}

nlohmann::ordered_json SettingsJson(const LineSettings& settings) {
    // By value: the packed fields cannot be bound to the references json takes.
    return {{"baud", static_cast<int>(settings.baudRate)},
            {"dataBits", static_cast<int>(settings.dataBits)},
            {"stopBits", NameOf(kStopBitsNames, settings.stopBits)},
            {"parity", NameOf(kParityNames, settings.parity)}};
}

std::vector<std::string> BannerLines(const char* banner) {
    std::vector<std::string> lines;
    std::istringstream text(Cp437ToUtf8(banner == nullptr ? "" : banner));
    std::string line;
    while (std::getline(text, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::string Pad(const std::string& text, std::size_t width) {
    // UTF-8 continuation bytes (10xxxxxx) add no character.
    const auto shown = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

void Output::Text(const std::string& line) const {
    if (!json_) WriteWhole(stdout, line + "\n");
}

void Output::Object(const nlohmann::ordered_json& object) const {
    // Replaced, not thrown: a GAS typed on the command line need not be UTF-8.
    if (json_) WriteWhole(stdout, object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

}  // namespace plexer
