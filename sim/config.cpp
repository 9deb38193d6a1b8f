#include "sim/config.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <sstream>
#include <vector>

#include "display_text.h"

namespace qsn::sim {

namespace {

using nlohmann::json;
using json_check::Element;
using json_check::Fail;
using json_check::Member;
using json_check::Number;
using json_check::Required;
using json_check::Text;

constexpr unsigned kMaxBaud = 1000000;
constexpr double kMaxTurnaroundMs = 60000;
// Sixteenths of a degree in a signed 16-bit field.
constexpr double kMinDegrees = -2048.0;
constexpr double kMaxDegrees = 2047.9375;

// "0x1F" or "1f" style text, for masks and addresses.
std::uint64_t HexText(const std::string& text, const std::string& path, std::uint64_t max) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    const bool hex =
        !digits.empty() && digits.size() <= 4 &&
        std::all_of(digits.begin(), digits.end(), plexer::IsHexDigit);
    if (!hex) Fail(path, "\"" + text + "\" is not a hexadecimal number");
    const auto number = std::stoull(digits, nullptr, 16);
    if (number > max) Fail(path, "\"" + text + "\" is above " + std::to_string(max));
    return number;
}

// A position mask: a number, or four hexadecimal digits as on the wire.
std::uint16_t Mask(const json& value, const std::string& path) {
    if (value.is_string()) {
        return static_cast<std::uint16_t>(HexText(value.get<std::string>(), path, 0xFFFF));
    }
    return static_cast<std::uint16_t>(json_check::Unsigned(value, path, 0xFFFF));
}

// A number, or text: hexadecimal with "0x", else decimal, as units are named on the command line.
std::uint8_t Address(const json& value, const std::string& path) {
    if (!value.is_string()) return static_cast<std::uint8_t>(json_check::Unsigned(value, path, 255));
    const std::string text = value.get<std::string>();
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        return static_cast<std::uint8_t>(HexText(text, path, 255));
    }
    const bool decimal =
        !text.empty() && text.size() <= 3 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!decimal) Fail(path, "\"" + text + "\" is not a unit address (0 to 255, or 0x00 to 0xFF)");
    const auto number = std::stoul(text);
    if (number > 255) Fail(path, text + " is above 255");
    return static_cast<std::uint8_t>(number);
}

double Probability(const json& value, const std::string& path) {
    if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
    return Number(value, path, 0.0, 1.0);
}

// Up to one entry per position, position 0 first.
template <typename T, typename Read>
void PerPosition(const json& value, const std::string& path, std::array<T, kPositions>& out,
                 Read read) {
    if (!value.is_array()) Fail(path, "must be a list of up to 16 values, position 0 first");
    if (value.size() > kPositions) {
        Fail(path, "has " + std::to_string(value.size()) + " values, at most 16");
    }
    for (std::size_t i = 0; i < value.size(); ++i) out[i] = read(value[i], Element(path, i));
}

std::optional<std::uint8_t> ProbeCode(const json& value, const std::string& path) {
    if (value.is_null()) return std::nullopt;
    const std::string code = Text(value, path);
    if (code.size() != 2) Fail(path, "\"" + code + "\" is not a two-digit probe code");
    return static_cast<std::uint8_t>(HexText(code, path, 0xFF));
}

FaultSettings Faults(const json& value, const std::string& path, FaultSettings faults) {
    json_check::OnlyKeys(value, path,
                {"silence", "errorReply", "badChecksum", "lowercaseChecksum", "truncate", "babble",
                 "dropRate", "corruptRate", "errorCode"});
    const std::pair<const char*, double*> rates[] = {
        {"silence", &faults.silence},         {"errorReply", &faults.errorReply},
        {"badChecksum", &faults.badChecksum}, {"lowercaseChecksum", &faults.lowercaseChecksum},
        {"truncate", &faults.truncate},       {"babble", &faults.babble},
        {"dropRate", &faults.dropRate},       {"corruptRate", &faults.corruptRate}};
    for (const auto& [key, rate] : rates) {
        if (value.contains(key)) *rate = Probability(value.at(key), Member(path, key));
    }
    if (value.contains("errorCode")) {
        const std::string where = Member(path, "errorCode");
        faults.errorCode = Text(value.at("errorCode"), where);
        const bool printable = std::all_of(faults.errorCode.begin(), faults.errorCode.end(),
                                           [](unsigned char c) { return std::isgraph(c); });
        if (faults.errorCode.empty() || faults.errorCode.size() > 4 || !printable) {
            Fail(where, "must be 1 to 4 printable characters, such as \"06\"");
        }
    }
    return faults;
}

UnitKind Kind(const json& value, const std::string& path) {
    const std::string name = Text(value, path);
    for (UnitKind kind : {UnitKind::kDigital, UnitKind::kAnalog, UnitKind::kTemperature}) {
        if (name == KindName(kind)) return kind;
    }
    Fail(path, "\"" + name + "\" is not a unit kind (digital, analog or temperature)");
}

Animation Animate(const json& value, const std::string& path, UnitKind kind) {
    json_check::OnlyKeys(value, path, {"shape", "periodS", "amplitude"});
    Animation animation;
    const std::string where = Member(path, "shape");
    const std::string shape = Text(Required(value, path, "shape"), where);
    const bool digital = kind == UnitKind::kDigital;
    if (shape == "toggle" && digital) {
        animation.shape = Shape::kToggle;
    } else if (shape == "ramp" && !digital) {
        animation.shape = Shape::kRamp;
    } else if (shape == "sine" && !digital) {
        animation.shape = Shape::kSine;
    } else if (shape != "none") {
        Fail(where, "\"" + shape + "\" does not suit a " + KindName(kind) + " unit (" +
                        (digital ? "toggle" : "ramp or sine") + ", or none)");
    }
    if (value.contains("periodS")) {
        animation.periodS = Number(value.at("periodS"), Member(path, "periodS"), 0.1, 86400);
    }
    if (value.contains("amplitude")) {
        animation.amplitude = Number(value.at("amplitude"), Member(path, "amplitude"), 0, 2048);
    }
    return animation;
}

void KindValues(const json& value, const std::string& path, UnitOptions& unit) {
    auto check = [&](const char* key, UnitKind owner) {
        if (value.contains(key) && unit.kind != owner) {
            Fail(Member(path, key), std::string("belongs to a ") + KindName(owner) +
                                        " unit, not a " + KindName(unit.kind) + " one");
        }
        return value.contains(key);
    };
    auto twelveBits = [](const json& v, const std::string& p) {
        return static_cast<std::uint16_t>(json_check::Unsigned(v, p, 4095));
    };
    if (check("on", UnitKind::kDigital)) unit.on = Mask(value.at("on"), Member(path, "on"));
    if (check("inputs", UnitKind::kAnalog)) {
        PerPosition(value.at("inputs"), Member(path, "inputs"), unit.inputs, twelveBits);
    }
    if (check("overRange", UnitKind::kAnalog)) unit.overRange = Mask(value.at("overRange"), Member(path, "overRange"));
    if (check("outputValues", UnitKind::kAnalog)) {
        PerPosition(value.at("outputValues"), Member(path, "outputValues"), unit.outputValues,
                    twelveBits);
    }
    if (check("temperatures", UnitKind::kTemperature)) {
        PerPosition(value.at("temperatures"), Member(path, "temperatures"), unit.temperatures,
                    [](const json& v, const std::string& p) {
                        return Number(v, p, kMinDegrees, kMaxDegrees);
                    });
    }
    if (check("probes", UnitKind::kTemperature)) {
        const json& probes = value.at("probes");
        const std::string where = Member(path, "probes");
        if (probes.is_string()) {
            unit.probes.fill(ProbeCode(probes, where));
        } else {
            PerPosition(probes, where, unit.probes, ProbeCode);
        }
    }
    if (value.contains("outputs") && unit.kind == UnitKind::kTemperature) {
        Fail(Member(path, "outputs"), "a temperature unit has no outputs");
    }
}

UnitOptions Unit(const json& value, const std::string& path, const FaultSettings& lineFaults) {
    json_check::OnlyKeys(value, path,
                {"address", "kind", "outputs", "on", "inputs", "outputValues", "overRange", "probes",
                 "temperatures", "cleared", "animate", "faults"});
    UnitOptions unit;
    unit.address = Address(Required(value, path, "address"), Member(path, "address"));
    unit.kind = Kind(Required(value, path, "kind"), Member(path, "kind"));
    KindValues(value, path, unit);
    if (value.contains("outputs")) {
        unit.outputs = Mask(value.at("outputs"), Member(path, "outputs"));
    }
    if (value.contains("cleared")) {
        if (!value.at("cleared").is_boolean()) {
            Fail(Member(path, "cleared"), "must be true or false");
        }
        unit.cleared = value.at("cleared").get<bool>();
    }
    if (value.contains("animate")) {
        unit.animation = Animate(value.at("animate"), Member(path, "animate"), unit.kind);
    }
    if (value.contains("faults")) {
        unit.faults = Faults(value.at("faults"), Member(path, "faults"), lineFaults);
    }
    return unit;
}

LineOptions Line(const json& value, const std::string& path) {
    json_check::OnlyKeys(value, path, {"baud", "turnaroundMs", "seed", "faults"});
    LineOptions line;
    if (value.contains("baud")) {
        line.baud =
            static_cast<unsigned>(json_check::Unsigned(value.at("baud"), Member(path, "baud"), kMaxBaud));
    }
    if (value.contains("turnaroundMs")) {
        line.turnaroundMs =
            Number(value.at("turnaroundMs"), Member(path, "turnaroundMs"), 0, kMaxTurnaroundMs);
    }
    if (value.contains("seed")) {
        line.seed = json_check::Unsigned(value.at("seed"), Member(path, "seed"), UINT64_MAX);
    }
    if (value.contains("faults")) {
        line.faults = Faults(value.at("faults"), Member(path, "faults"), line.faults);
    }
    return line;
}

}  // namespace

json ParseConfigText(const std::string& text) { return json_check::Parse(text, "config"); }

json ReadConfigFile(const std::string& path) {
    const std::string text = json_check::ReadFile(path);
    try {
        return ParseConfigText(text);
    } catch (const ConfigError& e) {
        throw ConfigError(path + ": " + e.what());
    }
}

SimOptions ConfigToOptions(const json& config) {
    json_check::OnlyKeys(config, "config", {"line", "units"});
    SimOptions options;
    if (config.contains("line")) options.line = Line(config.at("line"), "line");
    if (!config.contains("units")) return options;
    const json& units = config.at("units");
    if (!units.is_array()) Fail("units", "must be a list of units");
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string path = Element("units", i);
        options.units.push_back(Unit(units[i], path, options.line.faults));
        for (std::size_t j = 0; j < i; ++j) {
            if (options.units[j].address == options.units[i].address) {
                Fail(Member(path, "address"), "unit " + std::to_string(options.units[i].address) +
                                                  " is already " + Element("units", j));
            }
        }
    }
    return options;
}

}  // namespace qsn::sim
