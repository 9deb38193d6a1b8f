// Code page 437 to UTF-8, for showing the driver's banner on a terminal.
#pragma once

#include <string>

namespace plexer {

std::string Cp437ToUtf8(const char* text);

}  // namespace plexer
