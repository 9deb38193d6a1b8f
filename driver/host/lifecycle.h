// The line's lifecycle: start-up, warm start, close, open, re-open.
#pragma once

#include <cstdint>

#include "qsnwndut.h"
#include "serial/platform.h"

namespace qsn {

// openFlags that start-up stores: configure the port with no optional control.
inline constexpr std::uint16_t kStartUpOpenFlags = 8;
// Lower bound of the stored read time-out, in units of 10 ms.
inline constexpr std::int32_t kMinReadTimeout = 100;

std::int32_t StartUp(const RequestBlock& request);
std::int32_t WarmStart(const RequestBlock& request);
std::int32_t ClosePort(const RequestBlock& request);
std::int32_t OpenPort(const RequestBlock& request);
std::int32_t ReopenPort(const RequestBlock& request);

// The handle of the opened (and, unless openFlags is 0, configured) port, or 0.
PortHandle OpenWithDescriptor(const PortDescriptor& descriptor);

}  // namespace qsn
