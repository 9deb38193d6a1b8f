// The exit statuses of plexer and of the simulator that `plexer simulate` runs.
#pragma once

namespace plexer {

inline constexpr int kExitFailed = 1;        // a GAS that does not validate, a failed transaction
inline constexpr int kExitUsage = 2;         // bad arguments or a bad config
inline constexpr int kExitNoLine = 3;        // no driver, or a port or pseudo-terminal that does not open
inline constexpr int kExitInterrupted = 130;  // as a shell reports a program ended by Ctrl-C

}  // namespace plexer
