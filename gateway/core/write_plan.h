// One plan for every write, whichever face asks: points and values in neutral
// terms (counts, or the point's engineering unit), checked whole before any of
// it reaches the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "running.h"

namespace plexer::gateway {

struct WriteItem {
    std::size_t point = 0;  // index into the map's gates
    double value = 0;       // counts, or 0/1 for a digital output
    bool inEu = false;      // the value is in the point's engineering unit
};

enum class Refusal : std::uint8_t {
    kNone,
    kReadOnly,     // the gateway or the point's unit is read-only
    kNoSuchPoint,  // not a configured point
    kNotAnOutput,
    kOutOfRange,  // outside 0-4095 counts, or not 0/1 for a digital output
};

// "read-only", "no such point", "not an output", "value out of range".
const char* RefusalText(Refusal refusal);

struct WritePlan {
    Refusal refusal = Refusal::kNone;
    std::size_t refusedItem = 0;                                  // the first item at fault
    std::vector<std::pair<std::size_t, std::int16_t>> writes;     // point and counts, in order
};

// Refused whole at the first item at fault; writes to one point merged to the
// last value given, in the place of the first.
WritePlan PlanWrites(const Running& running, std::span<const WriteItem> items);

}  // namespace plexer::gateway
