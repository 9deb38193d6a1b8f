// The serial module's algorithms on the fake platform: the exact calls made,
// in order, and the codes returned.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/fake/fake_port.h"
#include "serial/serial.h"

namespace {

using qsn::fake::Call;
using qsn::fake::Device;
using qsn::fake::Line;
using qsn::fake::Op;
using qsn::platform::CommState;

constexpr LineSettings k9600{9600, 8, 0, 0};

class SerialTest : public ::testing::Test {
protected:
    SerialTest() { Line().Reset(); }

    std::vector<Op> Ops() const {
        std::vector<Op> ops;
        for (const Call& c : Line().calls) ops.push_back(c.op);
        return ops;
    }

    qsn::PortHandle OpenConfigured(const char* name = "COM1") {
        Line().AddDevice(name);
        qsn::PortHandle handle = 0;
        EXPECT_EQ(qsn::SerialOpen(name, k9600, 8, &handle), qsn::kSerialOk);
        Line().calls.clear();
        return handle;
    }
};

TEST_F(SerialTest, ConfiguringSetsTimeoutsBeforeTheControlBlock) {
    Device& device = Line().AddDevice("COM1");
    qsn::PortHandle handle = 0;
    ASSERT_EQ(qsn::SerialOpen("COM1", {19200, 7, 2, 1}, 8, &handle), qsn::kSerialOk);
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState,
                                      Op::SetupQueues}));
    EXPECT_EQ(device.timeouts.readIntervalTimeout, 0u);
    EXPECT_EQ(device.timeouts.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(device.timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(device.timeouts.writeTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(device.timeouts.writeTotalTimeoutConstant, 0u);
    EXPECT_EQ(device.state.baudRate, 19200u);
    EXPECT_EQ(device.state.byteSize, 7);
    EXPECT_EQ(device.state.stopBits, 2);
    EXPECT_EQ(device.state.parity, 1);
    EXPECT_TRUE(device.state.parityCheck);
    EXPECT_EQ(device.state.errorChar, static_cast<char>(0xFC));
    EXPECT_FALSE(device.state.errorCharReplace);
    // Flag 8 selects none of the optional controls: they stay as read.
    EXPECT_EQ(device.state.dtrControl, qsn::fake::FreshState().dtrControl);
    EXPECT_EQ(device.state.rtsControl, qsn::fake::FreshState().rtsControl);
    EXPECT_EQ(device.inQueue, 2500u);
    EXPECT_EQ(device.outQueue, 2500u);
}

TEST_F(SerialTest, BaudRateIsReadAsUnsigned16Bits) {
    Device& device = Line().AddDevice("COM1");
    qsn::PortHandle handle = 0;
    ASSERT_EQ(qsn::SerialOpen("COM1", {static_cast<uint16_t>(57600), 8, 0, 0}, 8, &handle), 0);
    EXPECT_EQ(device.state.baudRate, 57600u);
}

TEST_F(SerialTest, ZeroParityLeavesParityCheckAsRead) {
    for (bool asRead : {false, true}) {
        Line().Reset();
        Device& device = Line().AddDevice("COM1");
        device.state.parityCheck = asRead;
        qsn::PortHandle handle = 0;
        ASSERT_EQ(qsn::SerialOpen("COM1", k9600, 8, &handle), 0);
        EXPECT_EQ(device.state.parityCheck, asRead);
    }
}

TEST_F(SerialTest, NullDeviceAndZeroFlagsAreNotConfigured) {
    Device& nul = Line().AddDevice("NUL");
    qsn::PortHandle handle = 0;
    ASSERT_EQ(qsn::SerialOpen("NUL", k9600, 8, &handle), qsn::kSerialOk);
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::Open}));
    EXPECT_EQ(nul.state.baudRate, qsn::fake::FreshState().baudRate);

    Line().calls.clear();
    Device& com = Line().AddDevice("COM2");
    ASSERT_EQ(qsn::SerialOpen("COM2", k9600, 0, &handle), qsn::kSerialOk);
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::Open, Op::GetState}));
    EXPECT_EQ(com.state.baudRate, qsn::fake::FreshState().baudRate);
    EXPECT_EQ(com.timeouts.readTotalTimeoutConstant, 0u);
}

// Every failure after the device opened closes it again.
TEST_F(SerialTest, OpenFailuresCloseTheDeviceAndReportTheirCode) {
    struct Case {
        Op failing;
        int32_t code;
        std::vector<Op> ops;
    };
    const Case cases[] = {
        {Op::Open, 1, {Op::Open}},
        {Op::GetState, 4, {Op::Open, Op::GetState, Op::Close}},
        {Op::SetTimeouts, 1, {Op::Open, Op::GetState, Op::SetTimeouts, Op::Close}},
        {Op::SetState, 5, {Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState, Op::Close}},
    };
    for (const Case& c : cases) {
        Line().Reset();
        Device& device = Line().AddDevice("COM1");
        Line().FailNext(c.failing);
        qsn::PortHandle handle = 0;
        EXPECT_EQ(qsn::SerialOpen("COM1", k9600, 8, &handle), c.code);
        EXPECT_EQ(Ops(), c.ops);
        EXPECT_EQ(device.openAs, 0u);
    }
    Line().Reset();
    qsn::PortHandle handle = 0;
    EXPECT_EQ(qsn::SerialOpen("COM7", k9600, 8, &handle), 1);  // no such device
    EXPECT_EQ(handle, qsn::platform::kInvalidHandle);
}

TEST_F(SerialTest, OpenFlagsSelectControlsFirstMatchWinsPerGroup) {
    using namespace qsn::platform;
    struct Case {
        uint16_t flags;
        uint8_t dtr, rts;
        bool cts, dsr, dsrSensitivity;
    };
    const CommState fresh = qsn::fake::FreshState();
    const Case cases[] = {
        {0x0001, kDtrEnable, fresh.rtsControl, false, false, false},
        {0x0101, kDtrEnable, fresh.rtsControl, false, false, false},
        {0x8001, kDtrEnable, fresh.rtsControl, false, false, false},
        {0x8000, kDtrHandshake, fresh.rtsControl, false, false, false},
        {0x0200, fresh.dtrControl, kRtsEnable, false, false, false},
        {0x3002, fresh.dtrControl, kRtsEnable, false, false, false},
        {0x3000, fresh.dtrControl, kRtsHandshake, false, false, false},
        {0x2000, fresh.dtrControl, kRtsToggle, false, false, false},
        {0x4030, fresh.dtrControl, fresh.rtsControl, true, false, false},
        {0x4020, fresh.dtrControl, fresh.rtsControl, false, true, false},
        {0x4000, fresh.dtrControl, fresh.rtsControl, false, false, true},
        {0x0CC4, fresh.dtrControl, fresh.rtsControl, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "openFlags 0x" << std::hex << c.flags);
        CommState state = fresh;
        qsn::ApplyLineSettings(&state, k9600, c.flags);
        EXPECT_EQ(state.dtrControl, c.dtr);
        EXPECT_EQ(state.rtsControl, c.rts);
        EXPECT_EQ(state.outxCtsFlow, c.cts);
        EXPECT_EQ(state.outxDsrFlow, c.dsr);
        EXPECT_EQ(state.dsrSensitivity, c.dsrSensitivity);
    }
}

TEST_F(SerialTest, ReadTimeoutIsSetOnlyWhenItChanges) {
    const qsn::PortHandle handle = OpenConfigured();
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 100), 100);
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::GetTimeouts}));
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 5), 100);
    EXPECT_EQ(Line().Find("COM1")->timeouts.readTotalTimeoutConstant, 50u);
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 7), 5);

    Line().FailNext(Op::GetTimeouts);
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 9), 0);
    Line().FailNext(Op::SetTimeouts);
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 9), 0);
    EXPECT_EQ(qsn::SerialSetReadTimeout(0, 9), 0);
}

TEST_F(SerialTest, DiscardReadsWaitingInputInChunksAndRestoresTheTimeout) {
    const qsn::PortHandle handle = OpenConfigured();
    Device& device = *Line().Find("COM1");

    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::ClearErrors}));

    Line().calls.clear();
    device.input.assign(1300, 'x');
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    std::vector<uint32_t> reads;
    for (const Call& c : Line().CallsOf(Op::Read)) reads.push_back(c.done);
    EXPECT_EQ(reads, (std::vector<uint32_t>{512, 512, 276}));
    std::vector<uint32_t> timeouts;
    for (const Call& c : Line().CallsOf(Op::SetTimeouts)) timeouts.push_back(c.asked);
    EXPECT_EQ(timeouts, (std::vector<uint32_t>{50, 1000}));
    EXPECT_TRUE(device.input.empty());

    // A device that never stops sending: the discard ends after two queues' worth.
    Line().calls.clear();
    device.input.assign(100000, 'b');
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    EXPECT_EQ(Line().CallsOf(Op::Read).size(), 10u);
    EXPECT_EQ(device.input.size(), 100000u - 10 * 512);
    EXPECT_EQ(device.timeouts.readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, DiscardAfterAFailedStatusStillDrainsAndReportsTheLastRead) {
    const qsn::PortHandle handle = OpenConfigured();
    Line().Find("COM1")->input = "abc";
    Line().FailNext(Op::ClearErrors);
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    EXPECT_TRUE(Line().Find("COM1")->input.empty());
    EXPECT_EQ(qsn::SerialDiscardInput(0), 1);  // no port: the read fails
}

TEST_F(SerialTest, WriteReportsShortAndFailedWrites) {
    const qsn::PortHandle handle = OpenConfigured();
    int32_t written = -1;
    EXPECT_EQ(qsn::SerialWrite(handle, "hello", 5, &written), qsn::kSerialOk);
    EXPECT_EQ(written, 5);
    Line().writeShortBy = 2;
    EXPECT_EQ(qsn::SerialWrite(handle, "hello", 5, &written), qsn::kSerialShortWrite);
    EXPECT_EQ(written, 3);
    Line().FailNext(Op::Write);
    written = -1;
    EXPECT_EQ(qsn::SerialWrite(handle, "hello", 5, &written), qsn::kSerialIoFailed);
    EXPECT_EQ(written, -1);
    EXPECT_EQ(Line().Find("COM1")->written, "hellohel");
}

TEST_F(SerialTest, ReadAsksForTheRestUntilTheCountArrives) {
    const qsn::PortHandle handle = OpenConfigured();
    Line().Find("COM1")->input = "AB";
    Line().readChunkLimit = 1;
    char buffer[4] = {};
    int32_t received = -1;
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 2, &received), qsn::kSerialOk);
    EXPECT_EQ(received, 2);
    EXPECT_EQ(std::string(buffer), "AB");
    std::vector<uint32_t> asked;
    for (const Call& c : Line().CallsOf(Op::Read)) asked.push_back(c.asked);
    EXPECT_EQ(asked, (std::vector<uint32_t>{2, 1}));
}

TEST_F(SerialTest, ReadThatRunsOutOfTimeReportsWhatArrived) {
    const qsn::PortHandle handle = OpenConfigured();
    Line().Find("COM1")->input = "A";
    char buffer[4] = {};
    int32_t received = -1;
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 3, &received), qsn::kSerialIoFailed);
    EXPECT_EQ(received, 1);
    // Each platform read waited out the whole time-out: one got "A", one nothing.
    EXPECT_EQ(Line().nowMs, 2000u);
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 1, &received), qsn::kSerialIoFailed);
    EXPECT_EQ(received, 0);
    Line().FailNext(Op::Read);
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 1, &received), qsn::kSerialIoFailed);
}

// Counts the 16-bit platform read cannot take would overrun the buffer.
TEST_F(SerialTest, ReadRefusesCountsOutsideOneTo65535WithoutReading) {
    const qsn::PortHandle handle = OpenConfigured();
    Line().Find("COM1")->input.assign(70000, 'z');
    char buffer[4];
    for (int32_t count : {0, -1, -65536, 65536, 70000}) {
        int32_t received = -1;
        EXPECT_EQ(qsn::SerialRead(handle, buffer, count, &received), qsn::kSerialIoFailed);
        EXPECT_EQ(received, 0);
    }
    EXPECT_TRUE(Line().CallsOf(Op::Read).empty());
    EXPECT_EQ(qsn::SerialWrite(handle, "x", -1), qsn::kSerialIoFailed);
}

TEST_F(SerialTest, CloseReportsFailure) {
    const qsn::PortHandle handle = OpenConfigured();
    Line().FailNext(Op::Close);
    EXPECT_EQ(qsn::SerialClose(handle), qsn::kSerialIoFailed);
    EXPECT_EQ(qsn::SerialClose(handle), qsn::kSerialOk);
    EXPECT_EQ(qsn::SerialClose(handle), qsn::kSerialIoFailed);  // no longer open
}

TEST_F(SerialTest, SendFrameDiscardsStaleInputBeforeWriting) {
    DriverContext context{};
    context.port = OpenConfigured();
    RequestBlock request{};
    request.context = &context;
    Line().Find("COM1")->input = "stale";
    EXPECT_TRUE(qsn::SendFrame(request, ">05AA6\r", 7));
    EXPECT_EQ(Line().Find("COM1")->written, ">05AA6\r");
    EXPECT_TRUE(Line().Find("COM1")->input.empty());
    EXPECT_EQ(Line().calls.back().op, Op::Write);

    Line().writeShortBy = 1;
    EXPECT_FALSE(qsn::SendFrame(request, ">05AA6\r", 7));

    Line().Find("COM1")->input = "A\r";
    char buffer[3] = {};
    EXPECT_TRUE(qsn::ReceiveExact(request, buffer, 2));
    EXPECT_FALSE(qsn::ReceiveExact(request, buffer, 1));

    context.port = 0;  // no port: both simply fail
    EXPECT_FALSE(qsn::SendFrame(request, ">05AA6\r", 7));
    EXPECT_FALSE(qsn::ReceiveExact(request, buffer, 1));
}

}  // namespace
