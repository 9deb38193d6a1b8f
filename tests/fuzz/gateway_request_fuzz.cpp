// The gateway's request path as a client's bytes reach it: framing by the MBAP
// header, parsing, and the answer or write plan each request earns from a
// known cache. Every answer must match the request it answers.
#include <cstdint>
#include <cstdlib>
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
    gates.push_back(Gate{.gas = "06AO2", .unit = 6, .typeCode = 40});
    for (int i = 0; i < 4; ++i) gates.push_back(Gate{.gas = GasAt("01DI0", i), .unit = 1, .typeCode = 50});
    gates.push_back(Gate{.gas = "01DO4", .unit = 1, .typeCode = 60});
    gates.push_back(Gate{.gas = "0BCK0", .unit = 0x0B, .typeCode = 210});
    Engineering engineering;
    engineering.points["06AO2"] = PointSettings{"", 0.0, 100.0, "%", Serving::kFloat, 1};
    return PointMap(gates, UnitSettings{5s, false}, {{0x0B, UnitOverride{60s, true}}}, engineering);
}

std::vector<PointState> Points(const PointMap& map, PollClock::time_point now) {
    std::vector<PointState> points;
    for (const Gate& gate : map.Gates()) {
        PointState point;
        point.gate = gate;
        point.value = static_cast<std::int16_t>(PositionOf(gate.gas) * 257);
        point.lastGood = now - 1s;
        point.lastResult = points.size() % 5 == 3 ? QSN_NO_LINE : QSN_OK;
        points.push_back(point);
    }
    return points;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

void Answer(const Request& request, const PointMap& map, const std::vector<PointState>& points,
            PollClock::time_point now) {
    if (IsWrite(request.function)) {
        const WritePlan plan = PlanWrite(request, map, false);
        for (const auto& [index, value] : plan.writes) Check(index < map.Gates().size());
        if (plan.exception == kNone) Check(!plan.writes.empty());
        return;
    }
    UnitHealth health;
    health.unit = request.unit;
    const ReadAnswer answer = AnswerRead(request, map, points, ReadsHealth(request) ? &health : nullptr, now);
    if (answer.exception == kNone) Check(answer.values.size() == request.quantity);
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
        if (parsed.exception == kNone) Answer(parsed.request, map, points, now);
        const std::vector<std::uint8_t> refusal = ExceptionAdu(data, kIllegalFunction);
        Check(refusal.size() == kHeaderLength + 2 && (refusal[kHeaderLength] & 0x80u) != 0);
        data += *length;
        size -= *length;
    }
    return 0;
}
