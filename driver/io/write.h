// The write transaction (command 7): one analog output, all analog outputs
// of a unit, or one digital output.
#pragma once

#include <cstdint>

#include "optomux/frame.h"
#include "qsnwndut.h"

namespace qsn {

std::int32_t SingleWrite(const RequestBlock& request);

// The write frame of the request's point; false for a type with no write command.
bool BuildWriteFrame(const RequestBlock& request, char (&frame)[kFrameCapacity]);

}  // namespace qsn
