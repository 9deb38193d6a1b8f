// The read transaction (commands 5 and 6): one point or a whole unit.
#pragma once

#include <cstdint>

#include "optomux/frame.h"
#include "qsnwndut.h"

namespace qsn {

std::int32_t SingleRead(const RequestBlock& request);

// The read frame of the request's point; false for a type with no read command.
bool BuildReadFrame(const RequestBlock& request, char (&frame)[kFrameCapacity]);
// Decodes the reply's data field into the host's values; false, with nothing
// stored, when the data do not have the form a unit sends for the request.
bool DecodeReadData(const PointBlock& block, const char* gas, const char* data);
std::int16_t DecodeAnalogValue(const char* gas, const char* text, std::uint16_t typeCode);
std::int16_t DecodeTemperature(const char* gas, const char* text);

}  // namespace qsn
