#pragma once

#include <string>

#include "descriptor.h"

namespace plexer {

// The raw pseudo-terminal a relay hands the driver in place of the real port,
// and the pipe that wakes the relay to stop. `packetMode` also reports the
// driver's flushes and settings on the master side. Failures throw, the
// message starting with `context`. Returns the driver's port name.
std::string OpenDriverTerminal(Descriptor& master, Descriptor& slave, bool packetMode, const std::string& context);
void OpenWakePipe(Descriptor& wakeRead, Descriptor& wakeWrite, const std::string& context);

}  // namespace plexer
