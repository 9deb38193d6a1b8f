// The simulator's JSON config. Errors name where the fault is: the line and
// column of a syntax error, the field path (units[2].kind) of a bad value.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "json_check.h"
#include "sim/options.h"

namespace qsn::sim {

using ConfigError = json_check::JsonError;

nlohmann::json ParseConfigText(const std::string& text);
nlohmann::json ReadConfigFile(const std::string& path);
// Everything but linkPath and tracePath, which belong to the command line.
SimOptions ConfigToOptions(const nlohmann::json& config);

}  // namespace qsn::sim
