// What the frames on the line say, in words: the commands the driver sends
// and the replies units give. The wire trace speaks from here.
#pragma once

#include <string>

namespace plexer {

// A command frame as sent (">05L0008C4\r"): "unit 05: read analog inputs,
// mask 0008". "K" and "L" with one point's mask read analog points or switch a
// digital output: the reply (as received, "" when none came) tells which.
std::string DescribeCommand(const std::string& frame, const std::string& reply = "");

// A reply to `command` (the frame it answers, "" when unknown), as received,
// its carriage return included when it came: "acknowledged, data 0FFF,
// checksum ok", "error N02: checksum error", "no carriage return".
std::string DescribeReply(const std::string& reply, const std::string& command);

}  // namespace plexer
