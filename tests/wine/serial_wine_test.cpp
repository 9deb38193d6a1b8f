// The serial module over the Win32 backend, run under Wine against a
// pseudo-terminal mapped as a COM port, with the scripted peer on the far end.
// Only what Wine honours on a pseudo-terminal is asserted here: time-outs,
// queue counts, reads and writes. Line settings that Wine drops, the
// no-sharing open and RTS toggle are covered on the fake port.
//
//   serial_wine_tests.exe MAPPED_PORT UNMAPPED_PORT [gtest flags]

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "serial/pause_win32.h"
#include "serial/platform.h"
#include "serial/serial.h"

namespace {

using namespace qsn;

std::string mappedPort;
std::string unmappedPort;

constexpr LineSettings kSettings{9600, 8, 0, 0};

std::vector<std::uint8_t> Pattern(std::uint32_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint32_t i = 0; i < count; ++i) bytes[i] = peer::PatternByte(i);
    return bytes;
}

class WineSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SerialOpen(mappedPort.c_str(), kSettings, 8, &port_), kSerialOk) << mappedPort;
        // Nothing left over from an earlier test.
        SerialDiscardInput(port_);
    }
    void TearDown() override {
        if (port_ != 0) {
            EXPECT_EQ(SerialClose(port_), kSerialOk);
        }
    }

    void Request(const std::string& line) {
        std::int32_t written = 0;
        const auto count = static_cast<std::int32_t>(line.size());
        ASSERT_EQ(SerialWrite(port_, line.data(), count, &written), kSerialOk);
        ASSERT_EQ(written, count);
    }

    // Waits until the peer's answer is queued, so the test does not race it.
    std::uint32_t WaitForWaiting(std::uint32_t count) {
        std::uint32_t waiting = 0;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 3000; Sleep(10)) {
            if (!platform::PortClearErrors(port_, &waiting) || waiting >= count) break;
        }
        return waiting;
    }

    PortHandle port_ = 0;
};

// A read of `asked` bytes against a peer that sends `sent`, with a 300 ms total time-out.
struct ShortRead {
    const char* name;
    std::uint32_t sent;
    std::int32_t asked;
};

void PrintTo(const ShortRead& c, std::ostream* os) { *os << c.name; }

class WineSerialShortRead : public WineSerial, public ::testing::WithParamInterface<ShortRead> {};

std::string CaseName(const ::testing::TestParamInfo<ShortRead>& param) { return param.param.name; }

TEST_P(WineSerialShortRead, ReturnsSevenWithWhatArrivedAfterTheTotalTimeOut) {
    const ShortRead& c = GetParam();
    SerialSetReadTimeout(port_, 30);
    if (c.sent > 0) {
        Request("SEND " + std::to_string(c.sent) + " " + std::to_string(c.sent) + " 0\n");
        ASSERT_EQ(WaitForWaiting(c.sent), c.sent);
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.asked), 0);
    std::int32_t received = -1;
    const DWORD start = GetTickCount();
    EXPECT_EQ(SerialRead(port_, buffer.data(), c.asked, &received), kSerialIoFailed);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(received, static_cast<std::int32_t>(c.sent));
    buffer.resize(c.sent);
    EXPECT_EQ(buffer, Pattern(c.sent));
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 5000u);
}

INSTANTIATE_TEST_SUITE_P(Peer, WineSerialShortRead,
                         ::testing::Values(ShortRead{"Silent", 0, 1}, ShortRead{"Partial", 5, 10}),
                         CaseName);

TEST_F(WineSerial, ConfiguringSetsTheOneSecondReadTimeOut) {
    EXPECT_EQ(SerialSetReadTimeout(port_, 5), 100);
    EXPECT_EQ(SerialSetReadTimeout(port_, 100), 5);
}

// Of the line settings, Wine applies the rate to a pseudo-terminal.
TEST_F(WineSerial, ConfiguringAppliesTheBaudRate) {
    ASSERT_EQ(SerialClose(port_), kSerialOk);
    port_ = 0;
    ASSERT_EQ(SerialOpen(mappedPort.c_str(), LineSettings{19200, 8, 0, 0}, 8, &port_), kSerialOk);
    platform::CommState state{};
    ASSERT_TRUE(platform::PortGetState(port_, &state));
    EXPECT_EQ(state.baudRate, 19200u);
}

TEST_F(WineSerial, ExactCountArrivesAcrossChunks) {
    Request("SEND 300 100 50\n");
    std::vector<std::uint8_t> buffer(300, 0);
    std::int32_t received = 0;
    EXPECT_EQ(SerialRead(port_, buffer.data(), 300, &received), kSerialOk);
    EXPECT_EQ(received, 300);
    EXPECT_EQ(buffer, Pattern(300));
}

TEST_F(WineSerial, DiscardDropsEverythingWaitingAndRestoresTheTimeOut) {
    SerialSetReadTimeout(port_, 40);
    Request("SEND 1300 1300 0\n");
    ASSERT_EQ(WaitForWaiting(1300), 1300u);
    EXPECT_EQ(SerialDiscardInput(port_), 0);
    std::uint32_t waiting = 99;
    EXPECT_TRUE(platform::PortClearErrors(port_, &waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(SerialSetReadTimeout(port_, 40), 40);
}

// A peer that keeps sending for seconds cannot hold a discard: it ends after
// two queues' worth. The rest of the stream is drained for the next test.
TEST_F(WineSerial, DiscardOfABabblingLineIsBounded) {
    Request("SEND 60000 256 20\n");
    ASSERT_GE(WaitForWaiting(512), 512u);
    const DWORD start = GetTickCount();
    EXPECT_EQ(SerialDiscardInput(port_), 0);
    EXPECT_LT(GetTickCount() - start, 1000u);
    SerialSetReadTimeout(port_, 30);
    std::vector<std::uint8_t> rest(4096);
    std::uint32_t received = 0;
    std::uint32_t drained = 0;
    while (platform::PortRead(port_, rest.data(), 4096, &received) && received > 0) drained += received;
    EXPECT_GE(drained, 60000u - 5120u);  // nothing lost beyond what the discard dropped
}

// Every byte value crosses the line unchanged in both directions.
TEST_F(WineSerial, PeerReceivesTheExactBytesWritten) {
    std::vector<std::uint8_t> bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    Request("ECHO 256\n");
    std::int32_t written = 0;
    EXPECT_EQ(SerialWrite(port_, bytes.data(), 256, &written), kSerialOk);
    EXPECT_EQ(written, 256);
    std::vector<std::uint8_t> answer(256, 0);
    EXPECT_EQ(SerialRead(port_, answer.data(), 256), kSerialOk);
    for (auto& b : bytes) b = peer::Complement(b);
    EXPECT_EQ(answer, bytes);
}

TEST(WineSerialDevices, NulOpensUnconfiguredTakesWritesAndReadsNothing) {
    PortHandle port = 0;
    ASSERT_EQ(SerialOpen("NUL", kSettings, 8, &port), kSerialOk);
    std::int32_t written = 0;
    EXPECT_EQ(SerialWrite(port, "0123456789", 10, &written), kSerialOk);
    EXPECT_EQ(written, 10);
    char byte = 0;
    std::int32_t received = -1;
    EXPECT_EQ(SerialRead(port, &byte, 1, &received), kSerialIoFailed);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(WineSerialDevices, UnmappedPortFailsToOpenWithTheInvalidHandle) {
    PortHandle port = 0;
    EXPECT_EQ(SerialOpen(unmappedPort.c_str(), kSettings, 8, &port), kSerialOpenFailed);
    EXPECT_EQ(port, platform::kInvalidHandle);
}

// No port (0) and a failed open must never reach the system as a handle.
TEST(WineSerialDevices, EveryCallFailsWithoutAPort) {
    for (const PortHandle port : {PortHandle{0}, platform::kInvalidHandle}) {
        SCOPED_TRACE(port);
        platform::CommState state{};
        platform::CommTimeouts timeouts{};
        std::uint32_t count = 0;
        char byte = 'x';
        EXPECT_FALSE(platform::PortGetState(port, &state));
        EXPECT_FALSE(platform::PortSetState(port, state));
        EXPECT_FALSE(platform::PortGetTimeouts(port, &timeouts));
        EXPECT_FALSE(platform::PortSetTimeouts(port, timeouts));
        EXPECT_FALSE(platform::PortSetupQueues(port, 2500, 2500));
        EXPECT_FALSE(platform::PortClearErrors(port, &count));
        EXPECT_FALSE(platform::PortRead(port, &byte, 1, &count));
        EXPECT_FALSE(platform::PortWrite(port, &byte, 1, &count));
        EXPECT_FALSE(platform::PortClose(port));
    }
}

// How long each of 21 pauses lasted, in ms, sorted; the median, not the
// worst, decides, so that a busy machine's late wake-up does not.
template <typename PauseOnce>
std::vector<double> PauseLengths(PauseOnce pauseOnce) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    std::vector<double> lasted;
    for (int i = 0; i < 21; ++i) {
        LARGE_INTEGER start{}, end{};
        QueryPerformanceCounter(&start);
        pauseOnce();
        QueryPerformanceCounter(&end);
        lasted.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart));
    }
    std::sort(lasted.begin(), lasted.end());
    return lasted;
}

// The driver's closing pause lasts 4 ms, and both ways of keeping it run: the
// high-resolution timer, and the raised resolution that serves where no such
// timer can be created (and here, where Sleep is the precise clock). Wine's
// server keeps waitable timers only to the millisecond, so the timer's own
// length is held to that here; on Windows it is the precise one.
TEST(WinePause, FourMillisecondsLastFour) {
    using platform::win32::PauseClock;
    struct Case {
        const char* name;
        PauseClock clock;
        double within;
    };
    const PauseClock preferred = platform::win32::PreferredPauseClock();
    EXPECT_EQ(preferred, PauseClock::kRaisedResolution);
    for (const Case& c : {Case{"high-resolution timer", PauseClock::kHighResolutionTimer, 1.5},
                          Case{"raised resolution", PauseClock::kRaisedResolution, 0.5}}) {
        SCOPED_TRACE(c.name);
        const auto lasted = PauseLengths([&] { EXPECT_EQ(platform::win32::Pause(4, c.clock), c.clock); });
        EXPECT_GE(lasted.front(), 3.95);
        EXPECT_NEAR(lasted[lasted.size() / 2], 4.0, c.within);
    }
    const auto lasted = PauseLengths([] { platform::SleepMs(4); });
    EXPECT_GE(lasted.front(), 3.95);
    EXPECT_NEAR(lasted[lasted.size() / 2], 4.0, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::printf("usage: serial_wine_tests MAPPED_PORT UNMAPPED_PORT [gtest flags]\n");
        return 2;
    }
    mappedPort = argv[1];
    unmappedPort = argv[2];
    return RUN_ALL_TESTS();
}
