// Checks of a JSON settings file, shared by the simulator's and the
// gateway's loaders: comments allowed, and every refusal names the field's
// path ("units[2].kind", "line.baud") in the same words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace qsn::json_check {

using nlohmann::json;

// what() is "path: reason".
class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& path, const std::string& reason);
std::string Member(const std::string& path, const std::string& key);
std::string Element(const std::string& path, std::size_t index);

// `text` with // and /* */ comments; a syntax error says its line and
// column, a number too large for a double says its path under `top`.
json Parse(const std::string& text, const std::string& top);
// The file's text; JsonError "path: cannot be read".
std::string ReadFile(const std::string& path);

// Unknown keys are most often misspelt ones: refusing them beats ignoring a setting.
void OnlyKeys(const json& value, const std::string& path, std::initializer_list<const char*> keys);
const json& Required(const json& object, const std::string& path, const char* key);

// Why `value` is not a number from `low` to `high` (whole, if asked); none when it is.
std::optional<std::string> RangeFault(const json& value, double low, double high, bool whole);
long long Whole(const json& value, const std::string& path, long long low, long long high);
std::uint64_t Unsigned(const json& value, const std::string& path, std::uint64_t high);
double Number(const json& value, const std::string& path, double low, double high);
bool Flag(const json& value, const std::string& path);
std::string Text(const json& value, const std::string& path);
std::string OneOf(const json& value, const std::string& path, std::initializer_list<const char*> allowed);

}  // namespace qsn::json_check
