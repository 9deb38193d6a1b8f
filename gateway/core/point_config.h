// The config file's "engineering" section: each point's name, engineering
// range and how it is served, and the word order of float registers.
#pragma once

#include <nlohmann/json.hpp>

#include "scaling.h"

namespace plexer::gateway {

// Throws qsn::json_check::JsonError "engineering.points.05AI0.serve: reason".
Engineering ParseEngineering(const nlohmann::json& section);

}  // namespace plexer::gateway
