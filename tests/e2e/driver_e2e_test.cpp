// The driver as a host uses it (QsnMain of the shared library) against a
// simulated rack of units on the other end of a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host_calls.h"
#include "log_capture.h"
#include "qsnwndut.h"
#include "sim_fixture.h"

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

using qsn::sim::FaultSettings;
using qsn::sim::SimOptions;
using qsn::sim::UnitKind;
using qsn::sim::UnitOptions;

enum : uint8_t {
    kDigitalUnit = 0x01,
    kAnalogUnit = 0x02,
    kTemperatureUnit = 0x03,
    kSilentUnit = 0x05,
    kErrorUnit = 0x06,
};

UnitOptions Unit(uint8_t address, UnitKind kind) {
    UnitOptions unit;
    unit.address = address;
    unit.kind = kind;
    return unit;
}

SimOptions Rack() {
    SimOptions options;
    UnitOptions digital = Unit(kDigitalUnit, UnitKind::kDigital);
    digital.on = 0x0024;  // inputs 2 and 5 on
    UnitOptions analog = Unit(kAnalogUnit, UnitKind::kAnalog);
    for (int i = 0; i < 16; ++i) analog.inputs[static_cast<size_t>(i)] = static_cast<uint16_t>(100 * i + 7);
    UnitOptions temperature = Unit(kTemperatureUnit, UnitKind::kTemperature);
    temperature.temperatures.fill(21.5);
    temperature.temperatures[4] = -40.0;
    UnitOptions silent = Unit(kSilentUnit, UnitKind::kAnalog);
    silent.faults = FaultSettings{};
    silent.faults->silence = 1;
    UnitOptions failing = Unit(kErrorUnit, UnitKind::kAnalog);
    failing.faults = FaultSettings{};
    failing.faults->errorReply = 1;
    failing.faults->errorCode = "04";
    options.units = {digital, analog, temperature, silent, failing};
    return options;
}

struct Gate {
    std::string gas;
    GateBlock block{};
};

class DriverE2eTest : public ::testing::Test {
protected:
    void Start(const SimOptions& options, int32_t readTimeout = 20) {
        sim = std::make_unique<qsn::test::SimThread>(options);
        std::memset(context.get(), 0, sizeof(DriverContext));
        InitBlock init = qsn::test::InitFor(sim->SlavePath(), readTimeout);
        ASSERT_EQ(Request(QSN_START_UP, &init), 0) << sim->SlavePath();
        log.lines.clear();
    }
    void TearDown() override { Request(QSN_CLOSE_PORT, nullptr); }

    int32_t Request(int32_t command, void* params) {
        return qsn::test::CallDriver(context.get(), command, params);
    }

    // Validates as a host does; a digital gate is of kind 6, the others 1.
    Gate Validate(const std::string& gas) {
        Gate gate{gas, {}};
        gate.block.gas = gate.gas.c_str();
        const bool digital = gas.substr(2, 2) == "DI" || gas.substr(2, 2) == "DO";
        gate.block.dataKind = digital ? 6 : 1;
        gate.block.elementCount = 16;
        EXPECT_EQ(Request(QSN_VALIDATE_GATE, &gate.block), 0) << gas;
        return gate;
    }

    PointBlock Point(const Gate& gate, int32_t count) {
        PointBlock point{};
        point.gas = gate.gas.c_str();
        point.unit = gate.block.unit;
        point.typeCode = gate.block.typeCode;
        point.pointAddress = gate.block.pointAddress;
        point.bitNumber = gate.block.pointIndex;
        point.dataKind = gate.block.dataKind;
        point.count = count;
        point.values = values.data();
        return point;
    }

    int32_t Read(const std::string& gas, int32_t count = 1) {
        const Gate gate = Validate(gas);  // holds the text the block points to
        PointBlock point = Point(gate, count);
        return Request(QSN_READ, &point);
    }
    int32_t Write(const std::string& gas, int16_t value, int32_t count = 1) {
        values[count == 1 ? 1 : 0] = value;
        const Gate gate = Validate(gas);
        PointBlock point = Point(gate, count);
        return Request(QSN_WRITE, &point);
    }

    std::unique_ptr<qsn::test::SimThread> sim;
    std::unique_ptr<DriverContext> context = std::make_unique<DriverContext>();
    std::array<int16_t, 16> values{};
    LogCapture log;
};

TEST_F(DriverE2eTest, ReadsEveryFamilyThroughPowerUpState) {
    Start(Rack());
    struct Case {
        const char* gas;
        int32_t count;
        std::vector<std::pair<size_t, int16_t>> expected;
        size_t unconfigured;  // group positions without a probe: logged, read as 0
    };
    const Case cases[] = {
        {"02AI3", 1, {{1, 307}}, 0},
        {"02ai0", 16, {{0, 7}, {1, 107}, {9, 907}, {15, 1507}}, 0},
        {"01DI5", 1, {{1, 1}}, 0},
        {"01DI4", 1, {{1, 0}}, 0},
        {"01DI0", 16, {{0, 0x0024}}, 0},
        {"03CK0", 1, {{1, 21}}, 0},
        {"03K14", 1, {{1, -40}}, 0},
        {"03CK0", 16, {{0, 21}, {4, -40}, {1, 0}, {15, 0}}, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gas);
        values.fill(-1);
        log.lines.clear();
        ASSERT_EQ(Read(c.gas, c.count), 0);
        for (auto [element, value] : c.expected) EXPECT_EQ(values[element], value) << element;
        const LogLine unconfigured{8, "QSNDUT: Analog I/O not configured! Gate = " +
                                          Upper(c.gas)};
        EXPECT_EQ(log.lines, std::vector<LogLine>(c.unconfigured, unconfigured));
    }
}

TEST_F(DriverE2eTest, WritesAreReadBack) {
    Start(Rack());
    ASSERT_EQ(Write("02AO6", 2048), 0);
    values.fill(-1);
    ASSERT_EQ(Read("02AO6"), 0);
    EXPECT_EQ(values[1], 2048);

    ASSERT_EQ(Write("02AO0", 1234, 16), 0);
    values.fill(-1);
    log.lines.clear();
    ASSERT_EQ(Read("02AO0", 16), 0);
    EXPECT_EQ(values[0], 1234);  // configured outputs 0 and 6 both took the group value
    EXPECT_EQ(values[6], 1234);
    EXPECT_EQ(values[1], 0);  // not an output: "???"
    EXPECT_EQ(log.lines.size(), 14u);
    log.lines.clear();

    ASSERT_EQ(Write("01DOC", 1), 0);
    ASSERT_EQ(Read("01DOC"), 0);
    EXPECT_EQ(values[1], 1);
    ASSERT_EQ(Write("01DOC", 0), 0);
    ASSERT_EQ(Read("01DOC"), 0);
    EXPECT_EQ(values[1], 0);
    EXPECT_EQ(log.lines, std::vector<LogLine>{});
}

TEST_F(DriverE2eTest, RefusedWritesNeverReachTheLine) {
    Start(Rack());
    EXPECT_EQ(Write("02AI1", 5), 1);
    EXPECT_EQ(Write("02AO1", 4096), 1);
    EXPECT_EQ(log.lines, (std::vector<LogLine>{
                             {32, "QSNDUT: Write failed! Gate 02AI1 is read-only."},
                             {32, "QSNDUT: Write failed! Value out of range. Gate=02AO1"}}));
}

TEST_F(DriverE2eTest, SilentAndFailingUnitsReportTheirResults) {
    Start(Rack());
    values.fill(-1);
    EXPECT_EQ(Read("05AI0"), 2);
    EXPECT_EQ(Read("06AI0"), 1);
    EXPECT_EQ(values[1], -1);
    EXPECT_EQ(log.lines.back(), (LogLine{32, "QSNDUT: Single Read failed! GAS=06AI0"}));
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(),
                        LogLine{32, "QSNDUT:Gate 06AI0: Read failed! ErrorCode 04 H "}),
              log.lines.end());
    EXPECT_EQ(Write("06AO0", 10), 1);
    // The line still serves the healthy units.
    ASSERT_EQ(Read("02AI3"), 0);
    EXPECT_EQ(values[1], 307);
}

// Corrupted characters may cost retries or a failed read, never a wrong value.
TEST_F(DriverE2eTest, CorruptedLineNeverYieldsAWrongValue) {
    SimOptions options = Rack();
    options.line.faults.corruptRate = 0.01;
    options.line.seed = 7;
    Start(options);
    int succeeded = 0;
    for (int i = 0; i < 24; ++i) {
        values.fill(-1);
        const int32_t result = Read("02AI0", 16);
        ASSERT_TRUE(result == 0 || result == 1 || result == 2) << result;
        if (result != 0) continue;
        ++succeeded;
        for (size_t p = 0; p < 16; ++p) EXPECT_EQ(values[p], 100 * static_cast<int>(p) + 7) << p;
    }
    EXPECT_GT(succeeded, 12);
}

// Every unit of a long line keeps its reply's length: after one group read
// each, a paced group read wakes the driver's thread a few times (first
// character, the bulk, the last, the closing pause), not once a character.
TEST_F(DriverE2eTest, EveryUnitOfALongLineIsReadWithAFewWakes) {
    constexpr unsigned kUnits = 64;
    SimOptions options;
    options.line.baud = 38400;
    for (unsigned u = 1; u <= kUnits; ++u) {
        UnitOptions unit = Unit(static_cast<uint8_t>(u), UnitKind::kAnalog);
        unit.cleared = true;
        options.units.push_back(unit);
    }
    sim = std::make_unique<qsn::test::SimThread>(options);
    std::memset(context.get(), 0, sizeof(DriverContext));
    InitBlock init = qsn::test::InitFor(sim->SlavePath(), 20);
    init.settings.baudRate = 38400;
    ASSERT_EQ(Request(QSN_START_UP, &init), 0);
    auto gas = [](unsigned u) {
        char text[6];
        std::snprintf(text, sizeof text, "%02XAI0", u);
        return std::string(text);
    };
    for (unsigned u = 1; u <= kUnits; ++u) ASSERT_EQ(Read(gas(u), 16), 0);
    for (unsigned u = 1; u <= kUnits; ++u) {
        const Gate gate = Validate(gas(u));
        PointBlock point = Point(gate, 16);
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        ASSERT_EQ(Request(QSN_READ, &point), 0);
        getrusage(RUSAGE_THREAD, &after);
        EXPECT_LE(after.ru_nvcsw - before.ru_nvcsw, 8) << gas(u);
    }
}

}  // namespace
