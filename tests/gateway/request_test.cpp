// The gateway's request handling without a socket: framing by the MBAP
// header, the answer each request earns from a known cache, and the config
// file's errors with their field paths.
#include "request.h"

#include <gtest/gtest.h>

#include "config.h"
#include "http_server.h"

namespace plexer::gateway {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Gate MakeGate(const std::string& gas, std::int32_t unit, std::int32_t typeCode) {
    Gate gate;
    gate.gas = gas;
    gate.unit = unit;
    gate.typeCode = typeCode;
    return gate;
}

Bytes Adu(std::uint8_t unit, Bytes pdu) {
    const auto length = static_cast<std::uint8_t>(pdu.size() + 1);
    pdu.insert(pdu.begin(), {0x12, 0x34, 0, 0, 0, length, unit});
    return pdu;
}

class RequestTest : public ::testing::Test {
protected:
    RequestTest() : map_(Gates(), UnitSettings{5s, false}, {{0x0B, UnitOverride{60s, true}}}, Scaling()) {
        for (const Gate& gate : map_.Gates()) {
            PointState point;
            point.gate = gate;
            point.value = static_cast<std::int16_t>(PositionOf(gate.gas) * 257);
            point.lastGood = now_ - 1s;
            point.lastResult = QSN_OK;
            points_.push_back(point);
        }
        points_[7].lastGood = now_ - 6s;      // 05AI7: older than the unit's 5 s
        points_[8].lastResult = QSN_NO_LINE;  // 05AI8: its last poll failed
        points_[16].value = 0;                // 01DI0..3: off, on, off, on
        points_[18].value = 0;
        points_[21].value = -1;             // 0BCK0: a degree below zero
        points_[21].lastGood = now_ - 30s;  // within the unit's own 60 s
        points_[9].quality = Quality::kNotConfigured;  // 05AI9: the unit answered '?'
        points_[10].quality = Quality::kOutOfRange;    // 05AIA: the driver clamped it
        health_.unit = 5;
        health_.counters = {70000, 3, 2};
        health_.lastResult = QSN_OK;
        health_.lastGood = now_ - 1500ms;
    }

    // 05AI3 scaled x100 over 0-10, 06AO2 a float over 0-100.
    static Engineering Scaling() {
        Engineering engineering;
        engineering.points["05AI3"] = PointSettings{"", 0.0, 10.0, "bar", Serving::kScaled, 100};
        engineering.points["06AO2"] = PointSettings{"", 0.0, 100.0, "%", Serving::kFloat, 1};
        return engineering;
    }

    static std::vector<Gate> Gates() {
        std::vector<Gate> gates;
        for (int i = 0; i < 16; ++i) gates.push_back(MakeGate(GasAt("05AI0", i), 5, 30));
        for (int i = 0; i < 4; ++i) gates.push_back(MakeGate(GasAt("01DI0", i), 1, 50));
        gates.push_back(MakeGate("06AO2", 6, 40));
        gates.push_back(MakeGate("0BCK0", 0x0B, 210));
        gates.push_back(MakeGate("01DO4", 1, 60));
        gates.push_back(MakeGate("01DO5", 1, 60));
        gates.push_back(MakeGate("06AO3", 6, 40));
        return gates;
    }

    // The exception, or the values read, or the writes planned as gate index then value.
    std::pair<int, std::vector<int>> Evaluate(const Bytes& adu, bool readOnly = false) {
        const std::optional<std::size_t> length = FrameLength(adu.data(), adu.size());
        EXPECT_EQ(length, adu.size());
        const Parsed parsed = ParseRequest(adu.data(), adu.size());
        if (parsed.exception != kNone) return {parsed.exception, {}};
        std::vector<int> result;
        if (IsWrite(parsed.request.function)) {
            GatewayConfig config;
            config.readOnly = readOnly;
            const WriteAnswer answer = AnswerWrite(parsed.request, Running{config, map_});
            for (const auto& [index, value] : answer.plan.writes)
                result.insert(result.end(), {static_cast<int>(index), value});
            return {answer.exception, result};
        }
        // As the core judges them, with the value in the point's unit.
        std::vector<PointVerdict> verdicts;
        for (const std::size_t gate : GatesRead(parsed.request, map_)) {
            const UnitMap* unit = map_.Unit(points_[gate].gate.unit);
            const Verdict verdict = Judge(points_[gate], Standing{true, false}, unit->settings.maxAge, now_);
            const Family family = FamilyOf(points_[gate].gate.typeCode);
            const auto eu = [&](std::optional<std::int16_t> counts) -> std::optional<double> {
                if (!counts) return std::nullopt;
                return EuOf(map_.Settings(gate), family, *counts);
            };
            verdicts.push_back({verdict, eu(verdict.counts), eu(verdict.last)});
        }
        const HealthView health{health_, true};
        const ReadAnswer answer = AnswerRead(parsed.request, map_, verdicts, &health, now_);
        for (const std::uint16_t value : answer.values) result.push_back(value);
        return {answer.exception, result};
    }

    PollClock::time_point now_ = PollClock::now();
    PointMap map_;
    std::vector<PointState> points_;
    UnitHealth health_;
};

TEST_F(RequestTest, FrameLengthWaitsForTheWholeRequestAndRefusesBadHeaders) {
    const Bytes read = Adu(5, {4, 0, 0, 0, 1});
    EXPECT_EQ(FrameLength(read.data(), 6), 0u);
    EXPECT_EQ(FrameLength(read.data(), read.size() - 1), 0u);
    EXPECT_EQ(FrameLength(read.data(), read.size()), read.size());
    Bytes twoAtOnce = read;
    twoAtOnce.insert(twoAtOnce.end(), read.begin(), read.end());
    EXPECT_EQ(FrameLength(twoAtOnce.data(), twoAtOnce.size()), read.size());
    for (const Bytes& bad : {Bytes{0, 1, 0, 1, 0, 6, 5}, Bytes{0, 1, 0, 0, 0, 1, 5}, Bytes{0, 1, 0, 0, 0, 0, 5},
                             Bytes{0, 1, 0, 0, 0, 255, 5}, Bytes{0, 1, 0, 0, 1, 0, 5}}) {
        EXPECT_EQ(FrameLength(bad.data(), bad.size()), std::nullopt);
    }
}

TEST_F(RequestTest, EachRequestGetsItsValuesOrItsException) {
    struct Case {
        const char* what;
        Bytes adu;
        int exception;
        std::vector<int> result;
        bool readOnly = false;
    };
    const Case cases[] = {
        {"input registers", Adu(5, {4, 0, 0, 0, 3}), kNone, {0, 257, 514}},
        {"negative degrees as signed 16 bits", Adu(0x0B, {4, 0, 0, 0, 1}), kNone, {0xFFFF}},
        {"discrete inputs", Adu(1, {2, 0, 0, 0, 4}), kNone, {0, 1, 0, 1}},
        {"coils", Adu(1, {1, 0, 4, 0, 2}), kNone, {1, 1}},
        {"holding register", Adu(6, {3, 0, 2, 0, 1}), kNone, {514}},
        {"scaled: 771 counts of 0-10 bar x100", Adu(5, {4, 0, 3, 0, 1}), kNone, {188}},
        {"float: 514 counts of 0-100 %", Adu(6, {3, 0x07, 0xD4, 0, 2}), kNone, {0x4148, 0xD48D}},
        {"no float block for a raw point", Adu(5, {4, 0x07, 0xD0, 0, 2}), kIllegalAddress, {}},
        {"health", Adu(5, {4, 0x03, 0xE8, 0, 9}), kNone, {1, 4464, 0, 3, 0, 2, 0, 15, 0}},
        {"unit not configured", Adu(9, {4, 0, 0, 0, 1}), kPathUnavailable, {}},
        {"past position 15", Adu(5, {4, 0, 15, 0, 2}), kIllegalAddress, {}},
        {"position not configured", Adu(5, {3, 0, 0, 0, 1}), kIllegalAddress, {}},
        {"between points and health", Adu(5, {4, 0, 16, 0, 1}), kIllegalAddress, {}},
        {"past the health registers", Adu(5, {4, 0x03, 0xED, 0, 6}), kIllegalAddress, {}},
        {"last poll failed", Adu(5, {4, 0, 8, 0, 1}), kTargetFailed, {}},
        {"no registers", Adu(5, {4, 0, 0, 0, 0}), kIllegalValue, {}},
        {"126 registers", Adu(5, {4, 0, 0, 0, 126}), kIllegalValue, {}},
        {"2001 bits", Adu(1, {2, 0, 0, 0x07, 0xD1}), kIllegalValue, {}},
        {"read too short", Adu(5, {3, 0, 0}), kIllegalValue, {}},
        {"read too long", Adu(5, {3, 0, 0, 0, 1, 0}), kIllegalValue, {}},
        {"report server id", Adu(5, {0x11}), kIllegalFunction, {}},
        {"read/write registers", Adu(5, {0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0}), kIllegalFunction, {}},
        {"write analog output", Adu(6, {6, 0, 2, 0x0B, 0xFF}), kNone, {20, 3071}},
        {"write many registers", Adu(6, {16, 0, 2, 0, 1, 2, 0, 100}), kNone, {20, 100}},
        {"write above 4095 counts", Adu(6, {6, 0, 2, 0x10, 0}), kIllegalValue, {}},
        {"write float 50 %", Adu(6, {16, 0x07, 0xD4, 0, 2, 4, 0x42, 0x48, 0, 0}), kNone, {20, 2048}},
        {"write float 150 %", Adu(6, {16, 0x07, 0xD4, 0, 2, 4, 0x43, 0x16, 0, 0}), kIllegalValue, {}},
        {"write half a float", Adu(6, {6, 0x07, 0xD4, 0x42, 0x48}), kIllegalValue, {}},
        {"switch coil on", Adu(1, {5, 0, 5, 0xFF, 0}), kNone, {23, 1}},
        {"switch coils", Adu(1, {15, 0, 4, 0, 2, 1, 0b10}), kNone, {22, 0, 23, 1}},
        {"coil neither on nor off", Adu(1, {5, 0, 5, 0x12, 0x34}), kIllegalValue, {}},
        {"byte count disagrees", Adu(1, {15, 0, 4, 0, 2, 2, 1, 0}), kIllegalValue, {}},
        {"registers cut short", Adu(6, {16, 0, 2, 0, 2, 4, 0, 1}), kIllegalValue, {}},
        {"write to an input", Adu(5, {6, 0, 0, 0, 1}), kIllegalAddress, {}},
        {"write a discrete input", Adu(1, {5, 0, 0, 0xFF, 0}), kIllegalAddress, {}},
        {"write an unconfigured unit", Adu(9, {6, 0, 0, 0, 1}), kPathUnavailable, {}},
        {"read-only gateway", Adu(6, {6, 0, 2, 0, 1}), kIllegalFunction, {}, true},
        {"read-only unit", Adu(0x0B, {6, 0, 0, 0, 1}), kIllegalFunction, {}},
        // A multiple write is checked whole: nothing of it is planned when any part fails.
        {"analog output at its top", Adu(6, {6, 0, 2, 0x0F, 0xFF}), kNone, {20, 4095}},
        {"two registers", Adu(6, {16, 0, 2, 0, 2, 4, 0, 1, 0x0F, 0xFF}), kNone, {20, 1, 24, 4095}},
        {"two registers, the second out of range", Adu(6, {16, 0, 2, 0, 2, 4, 0, 1, 0xFF, 0xFF}), kIllegalValue, {}},
        {"registers, the last unconfigured", Adu(6, {16, 0, 2, 0, 3, 6, 0, 1, 0, 1, 0, 1}), kIllegalAddress, {}},
        {"coils, the last unconfigured", Adu(1, {15, 0, 4, 0, 3, 1, 0b111}), kIllegalAddress, {}},
        {"read-only unit, many registers", Adu(0x0B, {16, 0, 0, 0, 1, 2, 0, 1}), kIllegalFunction, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto [exception, result] = Evaluate(c.adu, c.readOnly);
        EXPECT_EQ(exception, c.exception);
        EXPECT_EQ(result, c.result);
    }
}

// libmodbus adds 0x80 to the function, which overflows from 0x80 up.
TEST(ExceptionTest, EveryFunctionGetsAnExceptionFrame) {
    for (const int function : {0x07, 0x2B, 0x80, 0x90, 0xFF}) {
        const Bytes adu = Adu(5, {static_cast<std::uint8_t>(function)});
        EXPECT_EQ(ExceptionAdu(adu.data(), 1), (Bytes{0x12, 0x34, 0, 0, 0, 3, 5, static_cast<std::uint8_t>(function | 0x80), 1}));
    }
}

TEST(GatewayConfigTest, PointsExpandStarsOnceEach) {
    const std::vector<std::string> gases = ExpandPoints(SplitList(" 01ai*, 05DO3,01AI4 ,,0bck2"));
    ASSERT_EQ(gases.size(), 18u);
    EXPECT_EQ(gases[0], "01AI0");
    EXPECT_EQ(gases[15], "01AIF");
    EXPECT_EQ(gases[16], "05DO3");
    EXPECT_EQ(gases[17], "0BCK2");
}

TEST(GatewayConfigTest, AFileIsReadOrItsFaultNamedByFieldPath) {
    GatewayConfig config;
    ApplyConfigText(R"({"line": {"port": "/dev/ttyS1", "baud": 38400, "parity": "even"}, "listen": "0.0.0.0:1502",
                        "pollIntervalMs": 250, "demoteAfter": 2, "demoteForS": 1.5, "points": ["05AI*", "01DO4"],
                        "units": {"0x05": {"maxAgeMs": 900}, "1": {"readOnly": true}}})",
                    config);
    EXPECT_EQ(config.line.port, "/dev/ttyS1");
    EXPECT_EQ(config.line.baud, 38400u);
    EXPECT_EQ(config.host, "0.0.0.0");
    EXPECT_EQ(config.port, 1502);
    EXPECT_EQ(config.poller.interval, 250ms);
    EXPECT_EQ(config.poller.demotedFor, 1500ms);
    EXPECT_EQ(config.gases.size(), 17u);
    EXPECT_EQ(config.perUnit.at(5).maxAge, 900ms);
    EXPECT_EQ(config.perUnit.at(1).readOnly, true);

    const std::pair<const char*, const char*> faults[] = {
        {R"({"line": {"baud": "fast"}})", "line.baud: must be a whole number from 1 to 65535"},
        {R"({"line": {"parity": "odd-ish"}})", "line.parity: must be one of none, odd, even, mark, space"},
        {R"({"line": {"speed": 9600}})", "line.speed: unknown field"},
        {R"({"points": ["05AI1", 7]})", "points[1]: must be a gate address string"},
        {R"({"units": {"5G": {}}})", "units.5G: a unit address is one or two hexadecimal digits"},
        {R"({"units": {"05": {"maxAgeMs": -1}}})", "units.05.maxAgeMs: -1 is not from 0"},
        {R"({"listen": "nowhere:80"})", "listen: nowhere is not an IPv4 address"},
        {R"({"pollIntervall": 5})", "pollIntervall: unknown field"},
        {R"([1, 2])", "config: must be an object"},
        {R"({"points": )", "parse error at line 1"},
        {R"({"engineering": {"points": {"05AI1": {"serve": "double"}}}})",
         "engineering.points.05AI1.serve: must be one of raw, scaled, float"},
        {R"({"engineering": {"points": {"05AI1": {"euLow": 0}}}})", "euLow and euHigh go together"},
    };
    for (const auto& [text, reason] : faults) {
        SCOPED_TRACE(text);
        GatewayConfig ignored;
        try {
            ApplyConfigText(text, ignored);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace plexer::gateway

// A page's query as a browser or a script sends it, and bytes no browser would.
TEST(QueryFieldsTest, DecodedAsSentAndMalformedKeptAsItCame) {
    using Fields = std::map<std::string, std::string>;
    const std::pair<const char*, Fields> cases[] = {
        {"points=05AI*,05AO2&from=-1h", {{"points", "05AI*,05AO2"}, {"from", "-1h"}}},
        {"points=05AI%2A%2c05ao2&to=2026-12-08+15%3A04", {{"points", "05AI*,05ao2"}, {"to", "2026-12-08 15:04"}}},
        {"from=-1h&from=-2h", {{"from", "-2h"}}},
        {"a=%&b=%4&c=%zz&d=%41", {{"a", "%"}, {"b", "%4"}, {"c", "%zz"}, {"d", "A"}}},
        {"&&=x&flag&e=", {{"flag", ""}, {"e", ""}}},
        {"", {}},
    };
    for (const auto& [query, expected] : cases) EXPECT_EQ(plexer::gateway::QueryFields(query), expected) << query;
}
