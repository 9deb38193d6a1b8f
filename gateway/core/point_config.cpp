#include "point_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "json_check.h"

namespace plexer::gateway {

namespace {

using nlohmann::json;
using namespace qsn::json_check;  // the config file's checks, in their shared words

double Finite(const json& value, const std::string& path) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) Fail(path, "must be a number");
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
    if (point.contains("name")) settings.name = Text(point.at("name"), Member(path, "name"));
    if (point.contains("unit")) settings.euName = Text(point.at("unit"), Member(path, "unit"));
    if (point.contains("euLow") != point.contains("euHigh")) Fail(path, "euLow and euHigh go together");
    if (point.contains("euLow")) {
        settings.euLow = Finite(point.at("euLow"), Member(path, "euLow"));
        settings.euHigh = Finite(point.at("euHigh"), Member(path, "euHigh"));
        if (*settings.euLow == *settings.euHigh) Fail(Member(path, "euHigh"), "must differ from euLow");
    }
    if (point.contains("serve")) {
        const std::string serve = OneOf(point.at("serve"), Member(path, "serve"), {"raw", "scaled", "float"});
        settings.serving = serve == "raw" ? Serving::kRaw : serve == "scaled" ? Serving::kScaled : Serving::kFloat;
    }
    if (point.contains("multiplier")) {
        settings.multiplier = Finite(point.at("multiplier"), Member(path, "multiplier"));
        if (settings.multiplier == 0) Fail(Member(path, "multiplier"), "must not be 0");
    }
    return settings;
}

}  // namespace

Engineering ParseEngineering(const json& section) {
    const std::string path = "engineering";
    OnlyKeys(section, path, {"wordOrder", "points"});
    Engineering engineering;
    if (section.contains("wordOrder")) {
        const std::string order = OneOf(section.at("wordOrder"), Member(path, "wordOrder"), {"highFirst", "lowFirst"});
        engineering.wordOrder = order == "highFirst" ? WordOrder::kHighFirst : WordOrder::kLowFirst;
    }
    if (section.contains("points")) {
        const json& points = section.at("points");
        if (!points.is_object()) Fail(Member(path, "points"), "must be an object of gate addresses");
        for (const auto& [gas, point] : points.items()) {
            engineering.points[Upper(gas)] = ParsePoint(point, Member(path, "points." + gas));
        }
    }
    return engineering;
}

}  // namespace plexer::gateway
