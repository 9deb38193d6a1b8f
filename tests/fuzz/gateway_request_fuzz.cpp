// The gateway's request path as a client's bytes reach it: framing by the MBAP
// header, parsing, and the answer or write plan each request earns from a
// known cache. A model written apart from the gateway (where each gate sits,
// what it holds, what a request may ask) says which values, which writes and
// which exception every request must get.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "request.h"

namespace {

using namespace plexer;
using namespace plexer::gateway;
using namespace std::chrono_literals;

// Unit 5: sixteen analog inputs; unit 6: an output served as float; unit 1:
// digital inputs and outputs; unit 0x0B: a temperature, read-only.
PointMap Map() {
    std::vector<Gate> gates;
    for (int i = 0; i < 16; ++i) gates.push_back(Gate{.gas = GasAt("05AI0", i), .unit = 5, .typeCode = 30});
    gates.push_back(Gate{.gas = "05AO2", .unit = 5, .typeCode = 40});
    gates.push_back(Gate{.gas = "05AO3", .unit = 5, .typeCode = 40});
    for (int i = 0; i < 4; ++i) gates.push_back(Gate{.gas = GasAt("01DI0", i), .unit = 1, .typeCode = 50});
    gates.push_back(Gate{.gas = "01DO4", .unit = 1, .typeCode = 60});
    gates.push_back(Gate{.gas = "0BCK0", .unit = 0x0B, .typeCode = 210});
    Engineering engineering;
    engineering.points["06AO2"] = PointSettings{"", 0.0, 100.0, "%", Serving::kFloat, 1};
    return PointMap(gates, UnitSettings{5s, false}, {{0x0B, UnitOverride{60s, true}}}, engineering);
}

// --- The model. ---

// Where each gate of Map() sits, in the order of its list.
struct Place {
    std::uint8_t unit;
    std::uint8_t function;  // the read function of its table
    int position;
};
std::vector<Place> Places() {
    std::vector<Place> places;
    for (int i = 0; i < 16; ++i) places.push_back({5, 4, i});
    places.push_back({5, 3, 2});
    places.push_back({5, 3, 3});
    for (int i = 0; i < 4; ++i) places.push_back({1, 2, i});
    places.push_back({1, 1, 4});
    places.push_back({0x0B, 4, 0});
    return places;
}

// Distinct per gate, so that a neighbour's value shows; some are 0 (off) and some negative.
std::int16_t CachedValue(std::size_t index) {
    return static_cast<std::int16_t>(index % 4 == 1 ? 0 : (static_cast<int>(index) - 11) * 1021);
}
bool Stale(std::size_t index) { return index % 5 == 3; }

std::uint8_t ReadFunctionOf(std::uint8_t function) {
    return function == 5 || function == 15 ? 1 : function == 6 || function == 16 ? 3 : function;
}

struct Expected {
    int exception = 0;
    std::vector<std::uint16_t> values;
    std::vector<std::pair<std::size_t, std::int16_t>> writes;
};

std::optional<std::size_t> GateAt(std::uint8_t unit, std::uint8_t function, int position) {
    const std::vector<Place> places = Places();
    for (std::size_t i = 0; i < places.size(); ++i) {
        const Place& p = places[i];
        if (p.unit == unit && p.function == ReadFunctionOf(function) && p.position == position) return i;
    }
    return std::nullopt;
}

Expected ModelAnswer(const Request& r, bool readOnly) {
    Expected e;
    const bool write = r.function == 5 || r.function == 6 || r.function == 15 || r.function == 16;
    if (write && (readOnly || r.unit == 0x0B)) return {0x01, {}, {}};
    if (r.unit != 1 && r.unit != 5 && r.unit != 0x0B) return {0x0B, {}, {}};
    if (r.function == 4 && r.address >= 1000) {
        // Health of a unit never polled: no counts, no result, never good, not demoted.
        const std::vector<std::uint16_t> health = {0, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0};
        if (r.address - 1000 + r.quantity > 9) return {0x02, {}, {}};
        e.values.assign(health.begin() + (r.address - 1000), health.begin() + (r.address - 1000 + r.quantity));
        return e;
    }
    std::vector<std::size_t> gates;
    for (int position = r.address; position < r.address + r.quantity; ++position) {
        const std::optional<std::size_t> gate = GateAt(r.unit, r.function, position);
        if (!gate) return {0x02, {}, {}};
        gates.push_back(*gate);
    }
    const bool bits = ReadFunctionOf(r.function) <= 2;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (write && !bits && r.values[i] > 4095) return {0x03, {}, {}};
        if (write) e.writes.emplace_back(gates[i], static_cast<std::int16_t>(r.values[i]));
    }
    if (write) return e;
    for (const std::size_t gate : gates) {
        if (Stale(gate)) return {0x0B, {}, {}};
        const std::int16_t value = CachedValue(gate);
        e.values.push_back(static_cast<std::uint16_t>(bits ? value != 0 : value));
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

std::vector<PointState> Points(const PointMap& map, PollClock::time_point now) {
    std::vector<PointState> points;
    for (const Gate& gate : map.Gates()) {
        PointState point;
        point.gate = gate;
        point.value = CachedValue(points.size());
        point.lastGood = now - 1s;
        point.lastResult = Stale(points.size()) ? QSN_NO_LINE : QSN_OK;
        points.push_back(point);
    }
    return points;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckAnswer(const Request& request, bool readOnly, const PointMap& map, const std::vector<PointState>& points,
                 PollClock::time_point now) {
    const Expected expected = ModelAnswer(request, readOnly);
    if (IsWrite(request.function)) {
        const WritePlan plan = PlanWrite(request, map, readOnly);
        Check(plan.exception == expected.exception && plan.writes == expected.writes);
        return;
    }
    UnitHealth health;
    health.unit = request.unit;
    const ReadAnswer answer = AnswerRead(request, map, points, ReadsHealth(request) ? &health : nullptr, now);
    Check(answer.exception == expected.exception && answer.values == expected.values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const PointMap map = Map();
    const PollClock::time_point now = PollClock::now();
    const std::vector<PointState> points = Points(map, now);
    // A stream may hold several requests back to back, as one read off a socket can.
    while (size > 0) {
        const std::optional<std::size_t> length = FrameLength(data, size);
        if (!length || *length == 0) return 0;
        Check(*length <= size);
        const Parsed parsed = ParseRequest(data, *length);
        const auto [exception, request] = ModelParse(data, *length);
        Check(parsed.exception == exception);
        if (exception == 0) {
            Check(parsed.request.unit == request.unit && parsed.request.function == request.function &&
                  parsed.request.address == request.address && parsed.request.quantity == request.quantity &&
                  parsed.request.values == request.values);
            // The transaction id is the gateway's to ignore; its low bit says here whether it is read-only.
            CheckAnswer(parsed.request, (data[1] & 1) != 0, map, points, now);
        }
        data += *length;
        size -= *length;
    }
    return 0;
}
