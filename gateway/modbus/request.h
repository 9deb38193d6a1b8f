// A Modbus request as the gateway reads it, and the answer it earns from the
// core's verdicts: values, the writes to queue, or an exception code. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "line_core.h"
#include "point_map.h"
#include "poller.h"
#include "running.h"
#include "write_plan.h"

namespace plexer::gateway {

// The MBAP header: transaction, protocol, length, unit id.
inline constexpr std::size_t kHeaderLength = 7;

enum Exception : std::uint8_t {
    kNone = 0,
    kIllegalFunction = 0x01,
    kIllegalAddress = 0x02,
    kIllegalValue = 0x03,
    kDeviceFailure = 0x04,
    kPathUnavailable = 0x0A,  // a unit id the gateway does not serve
    kTargetFailed = 0x0B,     // a served unit that does not answer, or a stale or flagged value
};

// The length of the complete request at the front of `bytes`: 0 while it is
// still arriving, none when the header cannot be a Modbus TCP header.
std::optional<std::size_t> FrameLength(const std::uint8_t* bytes, std::size_t count);

enum class Cut { kRequest, kWaiting, kBroken };

// Moves the complete request at the front of a client's `input` into `adu`;
// waiting while it is still arriving, broken when the header cannot be a
// Modbus TCP header (nothing after it can be trusted).
Cut CutRequest(std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& adu);

struct Request {
    std::uint8_t unit = 0;
    std::uint8_t function = 0;
    std::uint16_t address = 0;
    std::uint16_t quantity = 0;
    std::vector<std::uint16_t> values;  // a write's: 0 or 1 per coil, or register values
};

struct Parsed {
    Request request;
    Exception exception = kNone;  // an unknown function, a length or quantity out of range
};

// `adu` is one complete request as FrameLength measured it.
Parsed ParseRequest(const std::uint8_t* adu, std::size_t length);

bool IsWrite(std::uint8_t function);
Table TableOfFunction(std::uint8_t function);

struct ReadAnswer {
    Exception exception = kNone;
    std::vector<std::uint16_t> values;  // one per address; 0 or 1 for bits
};

// What the health registers of a unit tell: its own health and the line's state.
struct HealthView {
    UnitHealth unit;
    bool lineUp = true;
};

// Whether a read reaches the health registers, and so needs the unit's health.
bool ReadsHealth(const Request& request);

// The gate of each address a read of points asks for, in address order (a
// float's two words name its gate twice), so that only those are fetched;
// empty for a health read, a unit not served, or an address with no point.
std::vector<std::size_t> GatesRead(const Request& request, const PointMap& map);

// `verdicts` one per gate GatesRead named, in its order; `health` the unit's,
// when known, for a health read.
ReadAnswer AnswerRead(const Request& request, const PointMap& map, std::span<const PointVerdict> verdicts,
                      const HealthView* health, PollClock::time_point now);

struct WriteAnswer {
    Exception exception = kNone;
    WritePlan plan;  // without a refusal when there is no exception
};

// The request as neutral items, planned whole: a unit not served, a read-only
// gateway or unit, an address with no point, half a float or a value out of
// range refuses all of it, the first fault in address order deciding.
WriteAnswer AnswerWrite(const Request& request, const Running& running);

// The exception a refused plan answers.
Exception ExceptionOfRefusal(Refusal refusal);

// The exception answer to `adu` (a complete request): its header with the
// length set, the function with its top bit set, and `code`.
std::vector<std::uint8_t> ExceptionAdu(const std::uint8_t* adu, std::uint8_t code);

}  // namespace plexer::gateway
