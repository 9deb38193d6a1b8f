// The line's lifecycle through QsnMain, on the fake port: every transition,
// the port's time-out, the stored state and the log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver_fixture.h"

namespace {

using qsn::fake::Call;
using qsn::fake::Device;
using qsn::fake::Op;

class LifecycleTest : public DriverTest {
protected:
    void FillFlags(uint8_t value) {
        std::memset(context->unitCleared, value, sizeof context->unitCleared);
        std::memset(context->outputConfigured, value, sizeof context->outputConfigured);
        std::memset(context->tempConfigured, value, sizeof context->tempConfigured);
    }
    bool FlagsAre(uint8_t value) const {
        const auto* first = context->unitCleared;
        const auto* last = first + sizeof context->unitCleared + sizeof context->outputConfigured +
                           sizeof context->tempConfigured;
        return std::all_of(first, last, [value](uint8_t f) { return f == value; });
    }
    int32_t StartOn(const char* port, int32_t readTimeout = 150) {
        InitBlock init = MakeInit(port, readTimeout);
        return Call(QSN_START_UP, &init);
    }
    PortBlock MakePortBlock(const char* port, int32_t readTimeout, LineSettings settings) {
        PortBlock block{};
        std::strncpy(block.portName, port, sizeof block.portName - 1);
        block.readTimeout = readTimeout;
        block.settings = settings;
        return block;
    }
};

const LogLine kLoaded{32, "QSNDUT: duTec Driver, loaded successfully."};
const LogLine kWarm{32, "QSNDUT: Warm Start."};

TEST_F(LifecycleTest, StartUpOpensConfiguresAndClearsFlags) {
    Device& device = line.AddDevice("COM1");
    FillFlags(1);
    ASSERT_EQ(StartOn("COM1"), 0);
    EXPECT_NE(context->port, 0u);
    EXPECT_EQ(device.openAs, context->port);
    EXPECT_EQ(context->active, 1);
    EXPECT_STREQ(context->portDesc.portName, "COM1");
    EXPECT_EQ(context->portDesc.openFlags, 8);
    EXPECT_EQ(context->portDesc.settings.baudRate, 9600);
    EXPECT_EQ(device.state.baudRate, 9600u);
    EXPECT_EQ(device.state.byteSize, 8);
    EXPECT_TRUE(FlagsAre(0));
    EXPECT_EQ(log.lines, std::vector<LogLine>{kLoaded});
}

// The stored value has a floor of 100; the port gets the host's value, and
// the same floor when the host's value would give it no time-out at all.
TEST_F(LifecycleTest, StartUpTimeoutsStoredAndApplied) {
    struct Case {
        int32_t given;
        int32_t stored;
        uint32_t portMs;
    };
    const Case cases[] = {
        {20, 100, 200}, {150, 150, 1500}, {100, 100, 1000}, {0, 100, 1000}, {-5, 100, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        line.Reset();
        Device& device = line.AddDevice("COM1");
        context->port = 0;
        ASSERT_EQ(StartOn("COM1", c.given), 0);
        EXPECT_EQ(context->readTimeout, c.stored);
        EXPECT_EQ(device.timeouts.readTotalTimeoutConstant, c.portMs);
    }
}

TEST_F(LifecycleTest, StartUpDisabledTouchesNothingButActive) {
    line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    const uint32_t port = context->port;
    FillFlags(1);
    log.lines.clear();
    line.calls.clear();

    InitBlock init = MakeInit("COM2", 300);
    init.enabled = 0;
    EXPECT_EQ(Call(QSN_START_UP, &init), 0);
    EXPECT_EQ(context->active, 0);
    EXPECT_EQ(context->port, port);
    EXPECT_EQ(context->readTimeout, 150);
    EXPECT_STREQ(context->portDesc.portName, "COM1");
    EXPECT_TRUE(FlagsAre(1));
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(LifecycleTest, StartUpThatCannotOpenKeepsThePreviousLine) {
    line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    FillFlags(1);
    log.lines.clear();

    InitBlock init = MakeInit("COM9", 300);
    init.enabled = 7;
    EXPECT_EQ(Call(QSN_START_UP, &init), 2);
    EXPECT_EQ(context->active, 7);
    EXPECT_NE(context->port, 0u);
    EXPECT_EQ(context->readTimeout, 150);
    EXPECT_STREQ(context->portDesc.portName, "COM1");
    EXPECT_TRUE(FlagsAre(1));
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{32, "QSNDUT: Fail to open COM9"}}));
}

// A host name field without its terminator is cut at 11 characters.
TEST_F(LifecycleTest, PortNameWithoutTerminatorIsCut) {
    line.AddDevice("ABCDEFGHIJK");
    InitBlock init = MakeInit("");
    std::memcpy(init.portName, "ABCDEFGHIJKL", 12);
    EXPECT_EQ(Call(QSN_START_UP, &init), 0);
    EXPECT_STREQ(context->portDesc.portName, "ABCDEFGHIJK");
}

TEST_F(LifecycleTest, WarmStartDiscardsInputOnlyWhenOpen) {
    FillFlags(1);
    EXPECT_EQ(Call(QSN_WARM_START), 0);
    EXPECT_TRUE(FlagsAre(0));
    EXPECT_TRUE(line.calls.empty());
    EXPECT_EQ(log.lines, std::vector<LogLine>{kWarm});

    Device& device = line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    FillFlags(1);
    device.input = "leftover";
    log.lines.clear();
    EXPECT_EQ(Call(QSN_WARM_START), 0);
    EXPECT_TRUE(FlagsAre(0));
    EXPECT_TRUE(device.input.empty());
    EXPECT_EQ(device.openAs, context->port);
    EXPECT_EQ(log.lines, std::vector<LogLine>{kWarm});
}

TEST_F(LifecycleTest, CloseAcrossItsThreeTransitions) {
    Device& device = line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    const uint32_t port = context->port;

    line.FailNext(Op::Close);
    EXPECT_EQ(Call(QSN_CLOSE_PORT), 2);
    EXPECT_EQ(context->port, port);

    EXPECT_EQ(Call(QSN_CLOSE_PORT_ALT), 0);
    EXPECT_EQ(context->port, 0u);
    EXPECT_EQ(device.openAs, 0u);
    EXPECT_EQ(Call(QSN_CLOSE_PORT), 0);
    EXPECT_EQ(Call(QSN_CLOSE_PORT_ALT), 0);
    EXPECT_EQ(log.lines, std::vector<LogLine>{kLoaded});
}

TEST_F(LifecycleTest, OpenUsesTheStoredDescriptorAndKeepsFlags) {
    Device& device = line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1", 300), 0);
    ASSERT_EQ(Call(QSN_CLOSE_PORT), 0);
    FillFlags(1);
    context->active = 0;
    log.lines.clear();

    EXPECT_EQ(Call(QSN_OPEN_PORT), 0);
    EXPECT_EQ(context->active, 1);
    EXPECT_EQ(device.openAs, context->port);
    // Configuring set 1000 ms; the stored 3000 ms is not applied.
    EXPECT_EQ(device.timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(context->readTimeout, 300);
    EXPECT_TRUE(FlagsAre(1));
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(LifecycleTest, OpenFailsWithAnEmptyOrUnknownName) {
    context->active = 5;
    EXPECT_EQ(Call(QSN_OPEN_PORT), 2);
    EXPECT_EQ(context->active, 5);
    EXPECT_EQ(context->port, 0u);
}

TEST_F(LifecycleTest, ReopenWithAnotherNameClosesFirstAndKeepsOpenFlags) {
    Device& first = line.AddDevice("COM1");
    Device& second = line.AddDevice("COM2");
    ASSERT_EQ(StartOn("COM1"), 0);
    FillFlags(1);
    context->active = 3;
    log.lines.clear();

    PortBlock block = MakePortBlock("COM2", 20, {19200, 7, 2, 2});
    EXPECT_EQ(Call(QSN_REOPEN_PORT, &block), 0);
    EXPECT_EQ(first.openAs, 0u);
    EXPECT_EQ(second.openAs, context->port);
    EXPECT_EQ(second.state.baudRate, 19200u);
    EXPECT_EQ(second.state.parity, 2);
    EXPECT_EQ(second.timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(context->readTimeout, 20);  // no floor here
    EXPECT_STREQ(context->portDesc.portName, "COM2");
    EXPECT_EQ(context->portDesc.openFlags, 8);
    EXPECT_EQ(context->active, 3);
    EXPECT_TRUE(FlagsAre(1));
    EXPECT_TRUE(log.lines.empty());

    block = MakePortBlock("COM1", 0, {9600, 8, 0, 0});
    EXPECT_EQ(Call(QSN_REOPEN_PORT, &block), 0);
    EXPECT_EQ(context->readTimeout, 20);  // 0 keeps the stored value
}

// The same name is not closed first, so an exclusive device refuses the
// second open: result 2, and the line stays on the handle it had.
TEST_F(LifecycleTest, ReopenWithTheSameNameDoesNotClose) {
    Device& device = line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    const uint32_t port = context->port;
    line.calls.clear();
    PortBlock block = MakePortBlock("COM1", 0, {9600, 8, 0, 0});
    EXPECT_EQ(Call(QSN_REOPEN_PORT, &block), 2);
    EXPECT_TRUE(line.CallsOf(Op::Close).empty());
    EXPECT_EQ(context->port, port);
    EXPECT_EQ(device.openAs, port);
}

TEST_F(LifecycleTest, ReopenWithZeroOpenFlagsOpensWithoutConfiguring) {
    Device& device = line.AddDevice("COM3");
    PortBlock block = MakePortBlock("COM3", 0, {19200, 8, 0, 0});
    EXPECT_EQ(Call(QSN_REOPEN_PORT, &block), 0);
    EXPECT_EQ(device.openAs, context->port);
    EXPECT_EQ(device.state.baudRate, qsn::fake::FreshState().baudRate);
    EXPECT_TRUE(line.CallsOf(Op::SetState).empty());
}

TEST_F(LifecycleTest, ReopenThatFailsLeavesTheLineClosedIfItClosedIt) {
    Device& device = line.AddDevice("COM1");
    ASSERT_EQ(StartOn("COM1"), 0);
    PortBlock block = MakePortBlock("COM8", 0, {9600, 8, 0, 0});
    EXPECT_EQ(Call(QSN_REOPEN_PORT, &block), 2);
    EXPECT_EQ(device.openAs, 0u);
    EXPECT_EQ(context->port, 0u);
    EXPECT_STREQ(context->portDesc.portName, "COM8");
}

}  // namespace
