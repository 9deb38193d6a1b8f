#include "quality.h"

#include <algorithm>

namespace plexer {

namespace {

constexpr const char* kNotConfigured = "Analog I/O not configured!";
constexpr const char* kOutOfRange = "Analog Input out of range";
constexpr const char* kBeyondScale[] = {"Temperature below Scale", "Temperature above Scale"};

bool Says(const LogLine& line, const char* text) { return line.text.find(text) != std::string::npos; }

bool SaysBeyondScale(const LogLine& line) {
    return std::ranges::any_of(kBeyondScale, [&](const char* text) { return Says(line, text); });
}

constexpr std::int16_t kAnalogClampHigh = 4096;
constexpr std::int16_t kBelowScale = -273;
constexpr std::int16_t kAboveScale = 2047;

}  // namespace

const char* QualityName(Quality quality) {
    switch (quality) {
    case Quality::kGood: return "good";
    case Quality::kNotConfigured: return "not configured";
    case Quality::kOutOfRange: return "out of range";
    case Quality::kBeyondScale: return "beyond scale";
    case Quality::kSuspect: return "suspect";
    }
    return "";
}

Quality QualityOf(const std::vector<LogLine>& log) {
    if (std::ranges::any_of(log, [](const LogLine& line) { return Says(line, kNotConfigured); })) {
        return Quality::kNotConfigured;
    }
    if (std::ranges::any_of(log, [](const LogLine& line) { return Says(line, kOutOfRange); })) {
        return Quality::kOutOfRange;
    }
    return std::ranges::any_of(log, SaysBeyondScale) ? Quality::kBeyondScale : Quality::kGood;
}

bool MayBeFlagged(Family family, std::int16_t value) {
    switch (family) {
    case Family::kAnalogIn:
    case Family::kAnalogOut: return value == 0 || value == kAnalogClampHigh;
    case Family::kTemperature: return value == 0 || value <= kBelowScale || value >= kAboveScale;
    case Family::kDigitalIn:
    case Family::kDigitalOut:
    case Family::kOther: break;
    }
    return false;
}

std::string BadValueText(const Gate& gate, Quality quality) {
    if (quality == Quality::kOutOfRange) return "the unit's value is out of range";
    if (quality == Quality::kBeyondScale) return "the unit's temperature is beyond its probe's scale";
    if (quality == Quality::kSuspect) {
        return "suspect: the unit answered '?' or out of range for a position of this read (read it alone to know)";
    }
    const int position = gate.gas.empty() ? 0 : std::stoi(gate.gas.substr(gate.gas.size() - 1), nullptr, 16);
    const bool output = FamilyOf(gate.typeCode) == Family::kAnalogOut;
    return "position " + std::to_string(position) + " of unit " + std::to_string(gate.unit) + " is not an " +
           (output ? "output" : "input") + " (the unit answered '?')";
}

}  // namespace plexer
