// The gateway's request path as a client's bytes reach it: framing by the MBAP
// header, parsing, and the answer or write plan each request earns from a
// known cache and the running settings. A model written apart from the gateway (where each gate sits,
// what it holds, what a request may ask) says which values, which writes and
// which exception every request must get.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "request.h"

namespace {

using namespace plexer;
using namespace plexer::gateway;
using namespace std::chrono_literals;

// One configured point as the model sees it: where it sits and how it is served.
struct Point {
    const char* gas;
    std::int32_t typeCode;
    std::uint8_t unit;
    std::uint8_t function;  // the read function of its table
    int position;
    Serving serving = Serving::kRaw;
    std::optional<double> low, high;  // the EU of 0 and of 4095 counts
    double multiplier = 1;
};

// Unit 5: analog inputs and outputs served raw, scaled (one saturating) and
// as floats; unit 1: digital inputs and an output; unit 0x0B: read-only
// temperatures, one as a float.
const std::vector<Point>& Points() {
    static const std::vector<Point> points = {
        {"05AI0", 30, 5, 4, 0, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"05AI1", 30, 5, 4, 1, Serving::kScaled, 0.0, 10.0, 100},
        {"05AI2", 30, 5, 4, 2, Serving::kFloat, 0.0, 50.0, 1},
        {"05AI3", 30, 5, 4, 3, Serving::kScaled, -1000.0, 1000.0, 100},
        {"05AI4", 30, 5, 4, 4, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"05AI5", 30, 5, 4, 5, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"05AI6", 30, 5, 4, 6, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"05AI7", 30, 5, 4, 7, Serving::kFloat, std::nullopt, std::nullopt, 1},
        {"05AO8", 40, 5, 3, 8, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"05AO9", 40, 5, 3, 9, Serving::kScaled, 0.0, 100.0, 10},
        {"05AOA", 40, 5, 3, 10, Serving::kFloat, 0.0, 100.0, 1},
        {"05AOB", 40, 5, 3, 11, Serving::kFloat, std::nullopt, std::nullopt, 1},
        {"05AOC", 40, 5, 3, 12, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DI0", 50, 1, 2, 0, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DI1", 50, 1, 2, 1, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DI2", 50, 1, 2, 2, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DI3", 50, 1, 2, 3, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DO4", 60, 1, 1, 4, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"01DO5", 60, 1, 1, 5, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"0BCK0", 210, 0x0B, 4, 0, Serving::kRaw, std::nullopt, std::nullopt, 1},
        {"0BCK1", 210, 0x0B, 4, 1, Serving::kFloat, std::nullopt, std::nullopt, 1},
    };
    return points;
}

PointMap Map() {
    std::vector<Gate> gates;
    Engineering engineering;
    for (const Point& p : Points()) {
        gates.push_back(Gate{.gas = p.gas, .unit = p.unit, .typeCode = p.typeCode});
        if (p.serving != Serving::kRaw) {
            engineering.points[p.gas] = PointSettings{"", p.low, p.high, "", p.serving, p.multiplier};
        }
    }
    return PointMap(gates, UnitSettings{5s, false}, {{0x0B, UnitOverride{60s, true}}}, engineering);
}

// --- The model. ---

// Distinct per gate, so that a neighbour's value shows; some are 0 (off) and some negative.
std::int16_t CachedValue(std::size_t index) {
    return static_cast<std::int16_t>(index % 4 == 1 ? 0 : (static_cast<int>(index) - 11) * 1021);
}
// What the polls made of each gate: some failed, some older than unit 5's
// 5 s (but within 0x0B's 60 s), one never read, some '?', some flagged.
bool Failed(std::size_t index) { return index % 6 == 3; }
bool Old(std::size_t index) { return index % 7 == 4; }
bool NeverRead(std::size_t index) { return index == 12; }
Quality QualityAt(std::size_t index) {
    if (index % 5 == 2) return Quality::kNotConfigured;
    if (index % 8 == 6) return Quality::kOutOfRange;
    if (index % 10 == 5) return Quality::kSuspect;
    return Quality::kGood;
}

std::uint8_t ReadFunctionOf(std::uint8_t function) {
    return function == 5 || function == 15 ? 1 : function == 6 || function == 16 ? 3 : function;
}

struct Expected {
    int exception = 0;
    std::vector<std::uint16_t> values;
    std::vector<std::pair<std::size_t, std::int16_t>> writes;
};

std::optional<std::size_t> GateAt(std::uint8_t unit, std::uint8_t function, int position) {
    for (std::size_t i = 0; i < Points().size(); ++i) {
        const Point& p = Points()[i];
        if (p.unit == unit && p.function == ReadFunctionOf(function) && p.position == position) return i;
    }
    return std::nullopt;
}

// A place in a register table: the raw register of a position, or one word of its float.
struct Place {
    std::size_t gate;
    int word = -1;  // 0 high, 1 low; -1 the raw register
};
std::optional<Place> PlaceAt(std::uint8_t unit, std::uint8_t function, int address) {
    if (address < 16) {
        const std::optional<std::size_t> gate = GateAt(unit, function, address);
        return gate ? std::optional<Place>(Place{*gate}) : std::nullopt;
    }
    const bool registers = ReadFunctionOf(function) >= 3;
    if (!registers || address < 2000 || address >= 2032) return std::nullopt;
    const std::optional<std::size_t> gate = GateAt(unit, function, (address - 2000) / 2);
    if (!gate || Points()[*gate].serving != Serving::kFloat) return std::nullopt;
    return Place{*gate, (address - 2000) % 2};
}

double Eu(const Point& p, std::int16_t counts) {
    const bool ranged = p.low && p.high;
    return ranged ? *p.low + (*p.high - *p.low) * counts / 4095 : counts;
}

std::uint16_t Served(const Place& place) {
    const Point& p = Points()[place.gate];
    const std::int16_t counts = CachedValue(place.gate);
    if (p.function <= 2) return counts != 0;
    if (place.word >= 0) {
        const float eu = static_cast<float>(Eu(p, counts));
        std::uint32_t bits = 0;
        std::memcpy(&bits, &eu, sizeof bits);
        return static_cast<std::uint16_t>(place.word == 0 ? bits >> 16 : bits & 0xFFFF);
    }
    if (p.serving == Serving::kScaled) {
        const double scaled = std::round(Eu(p, counts) * p.multiplier);
        return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0)));
    }
    return static_cast<std::uint16_t>(counts);
}

// Counts for a value in the point's unit: within half a count of 0-4095, or none.
std::optional<std::int16_t> Counts(const Point& p, double eu, bool raw) {
    const bool ranged = !raw && p.low && p.high;
    const double counts = ranged ? (eu - *p.low) / (*p.high - *p.low) * 4095 : eu;
    if (!(counts >= -0.5 && counts <= 4095.5)) return std::nullopt;
    return static_cast<std::int16_t>(std::lround(std::clamp(counts, 0.0, 4095.0)));
}

Expected ModelRegisterWrites(const Request& r) {
    Expected e;
    for (std::size_t i = 0; i < r.quantity; ++i) {
        const std::optional<Place> place = PlaceAt(r.unit, r.function, r.address + static_cast<int>(i));
        if (!place) return {0x02, {}, {}};
        const Point& p = Points()[place->gate];
        std::optional<std::int16_t> counts;
        if (place->word >= 0) {
            if (place->word != 0 || i + 1 >= r.quantity) return {0x03, {}, {}};  // half a float
            const std::uint32_t bits = static_cast<std::uint32_t>(r.values[i]) << 16 | r.values[i + 1];
            float eu = 0;
            std::memcpy(&eu, &bits, sizeof eu);
            counts = Counts(p, eu, false);
            ++i;
        } else if (p.serving == Serving::kScaled) {
            counts = Counts(p, static_cast<std::int16_t>(r.values[i]) / p.multiplier, false);
        } else {
            counts = Counts(p, r.values[i], true);
        }
        if (!counts) return {0x03, {}, {}};
        e.writes.emplace_back(place->gate, *counts);
    }
    return e;
}

Expected ModelWrite(const Request& r, bool readOnly) {
    if (r.unit != 1 && r.unit != 5 && r.unit != 0x0B) return {0x0A, {}, {}};
    if (readOnly || r.unit == 0x0B) return {0x01, {}, {}};
    if (ReadFunctionOf(r.function) == 3) return ModelRegisterWrites(r);
    Expected e;
    for (std::size_t i = 0; i < r.quantity; ++i) {
        const std::optional<std::size_t> gate = GateAt(r.unit, r.function, r.address + static_cast<int>(i));
        if (!gate) return {0x02, {}, {}};
        e.writes.emplace_back(*gate, static_cast<std::int16_t>(r.values[i]));
    }
    return e;
}

Expected ModelRead(const Request& r, bool lineUp) {
    if (r.unit != 1 && r.unit != 5 && r.unit != 0x0B) return {0x0A, {}, {}};
    if (r.function == 4 && r.address >= 1000 && r.address < 2000) {
        // Health of a unit never polled: no counts, no result, never good, not demoted; the line's state.
        const std::vector<std::uint16_t> health = {0, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0,
                                                   static_cast<std::uint16_t>(lineUp ? 0 : 1)};
        if (r.address - 1000 + r.quantity > 10) return {0x02, {}, {}};
        return {0, {health.begin() + (r.address - 1000), health.begin() + (r.address - 1000 + r.quantity)}, {}};
    }
    std::vector<Place> places;
    for (int address = r.address; address < r.address + r.quantity; ++address) {
        const std::optional<Place> place = PlaceAt(r.unit, r.function, address);
        if (!place) return {0x02, {}, {}};
        places.push_back(*place);
    }
    Expected e;
    for (const Place& place : places) {
        const bool fresh = lineUp && !Failed(place.gate) && !NeverRead(place.gate) && (r.unit == 0x0B || !Old(place.gate));
        if (!fresh) return {0x0B, {}, {}};
        if (QualityAt(place.gate) == Quality::kNotConfigured) return {0x02, {}, {}};
        if (QualityAt(place.gate) != Quality::kGood) return {0x0B, {}, {}};
        e.values.push_back(Served(place));
    }
    return e;
}

std::uint16_t Word(const std::uint8_t* b) { return static_cast<std::uint16_t>(b[0] << 8 | b[1]); }

// A request as its PDU states it, or the exception a malformed one earns.
std::pair<int, Request> ModelParse(const std::uint8_t* adu, std::size_t length) {
    Request r;
    r.unit = adu[6];
    r.function = adu[7];
    const std::uint8_t* pdu = adu + 7;
    const std::size_t n = length - 7;
    const std::uint16_t limits[17] = {0, 2000, 2000, 125, 125, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1968, 123};
    if (r.function > 16 || limits[r.function] == 0) return {0x01, r};
    if (n < 5) return {0x03, r};
    r.address = Word(pdu + 1);
    const bool single = r.function == 5 || r.function == 6;
    r.quantity = single ? 1 : Word(pdu + 3);
    if (r.quantity < 1 || r.quantity > limits[r.function]) return {0x03, r};
    if (r.function <= 6 && n != 5) return {0x03, r};
    if (r.function == 5 && Word(pdu + 3) != 0xFF00 && Word(pdu + 3) != 0) return {0x03, r};
    if (single) r.values = {static_cast<std::uint16_t>(r.function == 5 ? Word(pdu + 3) != 0 : Word(pdu + 3))};
    if (r.function >= 15) {
        const std::size_t bytes = r.function == 15 ? (r.quantity + 7) / 8 : 2 * r.quantity;
        if (n < 6 || pdu[5] != bytes || n != 6 + bytes) return {0x03, r};
        for (std::size_t i = 0; i < r.quantity; ++i) {
            r.values.push_back(r.function == 15 ? static_cast<std::uint16_t>(pdu[6 + i / 8] >> (i % 8) & 1)
                                                 : Word(pdu + 6 + 2 * i));
        }
    }
    return {0, r};
}

// --- The gateway under test, from the same cache. ---

std::vector<PointState> Cache(const PointMap& map, PollClock::time_point now) {
    std::vector<PointState> points;
    for (const Gate& gate : map.Gates()) {
        const std::size_t index = points.size();
        PointState point;
        point.gate = gate;
        if (!NeverRead(index)) {
            point.value = CachedValue(index);
            point.lastGood = now - (Old(index) ? 30s : 1s);
            point.lastResult = Failed(index) ? QSN_NO_LINE : QSN_OK;
        }
        point.quality = QualityAt(index);
        points.push_back(point);
    }
    return points;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

// An exception goes back as the request's header with a length of 3, its unit,
// its function with the top bit set (0x90 for 0x90) and the code.
void CheckExceptionFrame(const std::uint8_t* adu, int code) {
    if (code == 0) return;
    const std::vector<std::uint8_t> frame = ExceptionAdu(adu, static_cast<std::uint8_t>(code));
    const std::vector<std::uint8_t> expected = {adu[0], adu[1], adu[2], adu[3], 0, 3, adu[6],
                                                static_cast<std::uint8_t>(adu[7] | 0x80), static_cast<std::uint8_t>(code)};
    Check(frame == expected);
}

void CheckAnswer(const std::uint8_t* adu, const Request& request, const Running& running, bool lineUp,
                 const std::vector<PointState>& points, PollClock::time_point now) {
    const PointMap& map = running.map;
    if (IsWrite(request.function)) {
        const Expected expected = ModelWrite(request, running.config.readOnly);
        const WriteAnswer answer = AnswerWrite(request, running);
        Check(answer.exception == expected.exception && answer.plan.writes == expected.writes);
        CheckExceptionFrame(adu, answer.exception);
        return;
    }
    const Expected expected = ModelRead(request, lineUp);
    // As the core judges them: only the gates the read names, good values also in their unit.
    std::vector<PointVerdict> verdicts;
    for (const std::size_t gate : GatesRead(request, map)) {
        Check(gate < points.size());
        const UnitMap* unit = map.Unit(points[gate].gate.unit);
        PointVerdict point{Judge(points[gate], Standing{lineUp, false}, unit->settings.maxAge, now), {}, {}};
        if (point.verdict.counts) {
            point.eu = EuOf(map.Settings(gate), FamilyOf(points[gate].gate.typeCode), *point.verdict.counts);
        }
        verdicts.push_back(point);
    }
    HealthView health{UnitHealth{.unit = request.unit}, lineUp};
    const ReadAnswer answer = AnswerRead(request, map, verdicts, ReadsHealth(request) ? &health : nullptr, now);
    Check(answer.exception == expected.exception && answer.values == expected.values);
    CheckExceptionFrame(adu, answer.exception);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Running writable{GatewayConfig{}, Map()};
    static const Running readOnly{GatewayConfig{.readOnly = true}, Map()};
    const PollClock::time_point now = PollClock::now();
    const std::vector<PointState> points = Cache(writable.map, now);
    // A stream may hold several requests back to back, as one read off a socket can.
    while (size > 0) {
        const std::optional<std::size_t> length = FrameLength(data, size);
        if (!length || *length == 0) return 0;
        Check(*length <= size);
        const Parsed parsed = ParseRequest(data, *length);
        const auto [exception, request] = ModelParse(data, *length);
        Check(parsed.exception == exception);
        CheckExceptionFrame(data, exception);
        if (exception == 0) {
            Check(parsed.request.unit == request.unit && parsed.request.function == request.function &&
                  parsed.request.address == request.address && parsed.request.quantity == request.quantity &&
                  parsed.request.values == request.values);
            // The transaction id is the gateway's to ignore; its low bits say here whether it is
            // read-only and whether the line is lost.
            CheckAnswer(data, parsed.request, (data[1] & 1) != 0 ? readOnly : writable, (data[1] & 2) == 0, points,
                        now);
        }
        data += *length;
        size -= *length;
    }
    return 0;
}
