#include "point_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <stdexcept>

namespace plexer::gateway {

namespace {

using nlohmann::json;

[[noreturn]] void Fault(const std::string& path, const std::string& reason) {
    throw std::invalid_argument(path + ": " + reason);
}

void OnlyKeys(const json& object, const std::string& path, const std::set<std::string>& known) {
    if (!object.is_object()) Fault(path, "expected an object");
    for (const auto& [key, value] : object.items()) {
        if (known.count(key) == 0) Fault(path + "." + key, "unknown setting");
    }
}

std::string OneOf(const json& value, const std::string& path, const std::set<std::string>& allowed) {
    if (!value.is_string() || allowed.count(value.get<std::string>()) == 0) {
        std::string list;
        for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
        Fault(path, "expected one of " + list);
    }
    return value.get<std::string>();
}

double Finite(const json& value, const std::string& path) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) Fault(path, "expected a number");
    return value.get<double>();
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return text;
}

PointSettings ParsePoint(const json& point, const std::string& path) {
    OnlyKeys(point, path, {"name", "euLow", "euHigh", "unit", "serve", "multiplier"});
    PointSettings settings;
    for (const auto& [key, field] : {std::pair{"name", &settings.name}, std::pair{"unit", &settings.euName}}) {
        if (!point.contains(key)) continue;
        if (!point.at(key).is_string()) Fault(path + "." + key, "expected a string");
        *field = point.at(key).get<std::string>();
    }
    if (point.contains("euLow") != point.contains("euHigh")) Fault(path, "euLow and euHigh go together");
    if (point.contains("euLow")) {
        settings.euLow = Finite(point.at("euLow"), path + ".euLow");
        settings.euHigh = Finite(point.at("euHigh"), path + ".euHigh");
        if (*settings.euLow == *settings.euHigh) Fault(path + ".euHigh", "must differ from euLow");
    }
    if (point.contains("serve")) {
        const std::string serve = OneOf(point.at("serve"), path + ".serve", {"raw", "scaled", "float"});
        settings.serving = serve == "raw" ? Serving::kRaw : serve == "scaled" ? Serving::kScaled : Serving::kFloat;
    }
    if (point.contains("multiplier")) {
        settings.multiplier = Finite(point.at("multiplier"), path + ".multiplier");
        if (settings.multiplier == 0) Fault(path + ".multiplier", "must not be 0");
    }
    return settings;
}

}  // namespace

Engineering ParseEngineering(const json& section) {
    const std::string path = "engineering";
    OnlyKeys(section, path, {"wordOrder", "points"});
    Engineering engineering;
    if (section.contains("wordOrder")) {
        const std::string order = OneOf(section.at("wordOrder"), path + ".wordOrder", {"highFirst", "lowFirst"});
        engineering.wordOrder = order == "highFirst" ? WordOrder::kHighFirst : WordOrder::kLowFirst;
    }
    if (section.contains("points")) {
        const json& points = section.at("points");
        if (!points.is_object()) Fault(path + ".points", "expected an object of gate addresses");
        for (const auto& [gas, point] : points.items()) {
            engineering.points[Upper(gas)] = ParsePoint(point, path + ".points." + gas);
        }
    }
    return engineering;
}

}  // namespace plexer::gateway
