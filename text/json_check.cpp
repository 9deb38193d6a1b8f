#include "json_check.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace qsn::json_check {

namespace {

// Builds the document as the library's own parser does, keeping the path of
// the value being read, so that a number too large for a double (1e400) is
// reported at its field like every other bad value.
class PathTrackingSax {
public:
    PathTrackingSax(json& result, std::string top) : dom_(result), top_(std::move(top)) {}

    bool null() { return Value() && dom_.null(); }
    bool boolean(bool value) { return Value() && dom_.boolean(value); }
    bool number_integer(json::number_integer_t value) { return Value() && dom_.number_integer(value); }
    bool number_unsigned(json::number_unsigned_t value) { return Value() && dom_.number_unsigned(value); }
    bool number_float(json::number_float_t value, const std::string& text) {
        return Value() && dom_.number_float(value, text);
    }
    bool string(std::string& value) { return Value() && dom_.string(value); }
    bool binary(json::binary_t& value) { return Value() && dom_.binary(value); }
    bool start_object(std::size_t length) {
        Value();
        levels_.push_back({false, {}, 0});
        return dom_.start_object(length);
    }
    bool key(std::string& name) {
        levels_.back().key = name;
        return dom_.key(name);
    }
    bool end_object() {
        levels_.pop_back();
        return dom_.end_object();
    }
    bool start_array(std::size_t length) {
        Value();
        levels_.push_back({true, {}, 0});
        return dom_.start_array(length);
    }
    bool end_array() {
        levels_.pop_back();
        return dom_.end_array();
    }
    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
        constexpr int kNumberOverflow = 406;
        if (error.id == kNumberOverflow) Fail(Path(), token + " is too large a number");
        return dom_.parse_error(position, token, error);
    }

private:
    struct Level {
        bool array;
        std::string key;
        std::size_t elements;  // started so far
    };

    // A value begins: in an array it is the next element.
    bool Value() {
        if (!levels_.empty() && levels_.back().array) ++levels_.back().elements;
        return true;
    }

    // Where the value now being read sits; a failed element has not been counted.
    std::string Path() const {
        std::string path = top_;
        for (std::size_t i = 0; i < levels_.size(); ++i) {
            const Level& level = levels_[i];
            if (!level.array) {
                path = i == 0 ? level.key : Member(path, level.key);
            } else {
                const bool innermost = i + 1 == levels_.size();
                path = Element(path, innermost ? level.elements : level.elements - 1);
            }
        }
        return path;
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    std::string top_;
    std::vector<Level> levels_;
};

// 0.001 as "0.001", 86400000 as "86400000".
std::string Shown(double number) {
    std::ostringstream text;
    text.precision(15);
    text << number;
    return text.str();
}

}  // namespace

void Fail(const std::string& path, const std::string& reason) { throw JsonError(path + ": " + reason); }

std::string Member(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }

std::string Element(const std::string& path, std::size_t index) { return path + "[" + std::to_string(index) + "]"; }

json Parse(const std::string& text, const std::string& top) {
    json document;
    PathTrackingSax sax(document, top);
    try {
        json::sax_parse(text, &sax, json::input_format_t::json, true, true);
        return document;
    } catch (const json::parse_error& e) {
        // Its text already says "parse error at line L, column C"; drop the library's tag.
        const std::string what = e.what();
        const std::size_t tagEnd = what.find("] ");
        throw JsonError(tagEnd == std::string::npos ? what : what.substr(tagEnd + 2));
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, "cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void OnlyKeys(const json& value, const std::string& path, std::initializer_list<const char*> keys) {
    if (!value.is_object()) Fail(path, "must be an object");
    for (const auto& item : value.items()) {
        const bool known = std::any_of(keys.begin(), keys.end(), [&](const char* k) { return item.key() == k; });
        if (!known) Fail(Member(path, item.key()), "unknown field");
    }
}

const json& Required(const json& object, const std::string& path, const char* key) {
    if (!object.contains(key)) Fail(Member(path, key), "missing");
    return object.at(key);
}

std::optional<std::string> RangeFault(const json& value, double low, double high, bool whole) {
    const std::string range = "from " + Shown(low) + " to " + Shown(high);
    if (whole ? !value.is_number_integer() : !value.is_number()) {
        return std::string(whole ? "must be a whole number " : "must be a number ") + range;
    }
    const double number = value.get<double>();
    if (!(number >= low && number <= high)) return value.dump() + " is not " + range;
    return std::nullopt;
}

long long Whole(const json& value, const std::string& path, long long low, long long high) {
    // Compared as doubles, exact for the bounds asked for (all far below 2^53).
    if (auto fault = RangeFault(value, static_cast<double>(low), static_cast<double>(high), true)) Fail(path, *fault);
    return value.get<long long>();
}

std::uint64_t Unsigned(const json& value, const std::string& path, std::uint64_t high) {
    const std::string range = "from 0 to " + std::to_string(high);
    if (!value.is_number_unsigned()) Fail(path, "must be a whole number " + range);
    if (value.get<std::uint64_t>() > high) Fail(path, value.dump() + " is not " + range);
    return value.get<std::uint64_t>();
}

double Number(const json& value, const std::string& path, double low, double high) {
    if (auto fault = RangeFault(value, low, high, false)) Fail(path, *fault);
    return value.get<double>();
}

bool Flag(const json& value, const std::string& path) {
    if (!value.is_boolean()) Fail(path, "must be true or false");
    return value.get<bool>();
}

std::string Text(const json& value, const std::string& path) {
    if (!value.is_string()) Fail(path, "must be text");
    return value.get<std::string>();
}

std::string OneOf(const json& value, const std::string& path, std::initializer_list<const char*> allowed) {
    const std::string text = Text(value, path);
    std::string list;
    for (const char* a : allowed) {
        if (text == a) return text;
        list += (list.empty() ? "" : ", ") + std::string(a);
    }
    Fail(path, "must be one of " + list);
}

}  // namespace qsn::json_check
