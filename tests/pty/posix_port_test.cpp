// The POSIX backend on real pseudo-terminals: the serial module's calls as the
// driver makes them, with a peer on the master side.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial/serial.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr LineSettings k9600{9600, 8, 0, 0};

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qsn::SerialOpen(pty.PortName().c_str(), k9600, 8, &handle), qsn::kSerialOk);
    }
    void TearDown() override {
        if (handle != 0) qsn::SerialClose(handle);
    }
    // Waits until the driver's side has `count` bytes waiting.
    // Some may be there already, so the slave's readiness alone does not
    // wait for the rest: a busy machine gets up to 5 s to deliver it.
    void AwaitWaiting(uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            uint32_t waiting = 0;
            ASSERT_TRUE(qsn::platform::PortClearErrors(handle, &waiting));
            if (waiting >= count) return;
            pollfd p{pty.Slave(), POLLIN, 0};
            if (poll(&p, 1, 10) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FAIL() << "input never arrived";
    }
    // What the peer received, waiting for `count` bytes.
    std::string PeerReads(size_t count) {
        std::string got;
        while (got.size() < count) {
            pollfd p{pty.Master(), POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            char buffer[256];
            const ssize_t n = read(pty.Master(), buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    PtyPair pty;
    qsn::PortHandle handle = 0;
};

TEST_F(PosixPortTest, ConfiguringMakesTheLineRawAtTheRate) {
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    // A CR from the peer arrives as CR, and a CR sent arrives as CR.
    pty.Send("A\r");
    char reply[2] = {};
    int32_t received = 0;
    ASSERT_EQ(qsn::SerialRead(handle, reply, 2, &received), qsn::kSerialOk);
    EXPECT_EQ(std::string(reply, 2), "A\r");
    ASSERT_EQ(qsn::SerialWrite(handle, ">05AA6\r", 7), qsn::kSerialOk);
    EXPECT_EQ(PeerReads(7), ">05AA6\r");
}

// The total time-out bounds the whole read, not the gap between bytes.
TEST_F(PosixPortTest, TotalTimeoutBoundsTheWholeRead) {
    ASSERT_EQ(qsn::SerialSetReadTimeout(handle, 30), 100);
    char buffer[100];
    int32_t received = -1;

    auto start = Clock::now();
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 1, &received), qsn::kSerialIoFailed);
    auto waited = Clock::now() - start;
    EXPECT_EQ(received, 0);
    EXPECT_GE(waited, milliseconds(290));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // A peer that sends part of the count, then keeps trickling: the read
    // still ends when its 300 ms are over.
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            pty.Send("x");
            std::this_thread::sleep_for(milliseconds(50));
        }
    });
    start = Clock::now();
    std::uint32_t got = 0;
    EXPECT_TRUE(qsn::platform::PortRead(handle, buffer, 100, &got));
    waited = Clock::now() - start;
    stop = true;
    trickle.join();
    EXPECT_GT(got, 0u);
    EXPECT_LT(got, 100u);
    EXPECT_GE(waited, milliseconds(290));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_F(PosixPortTest, PartialCountReportsWhatArrived) {
    qsn::SerialSetReadTimeout(handle, 20);
    pty.Send("abc");
    char buffer[8] = {};
    int32_t received = -1;
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 5, &received), qsn::kSerialIoFailed);
    EXPECT_EQ(received, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(PosixPortTest, ExactCountArrivesAcrossChunks) {
    std::thread peer([&] {
        for (const char* piece : {"012", "3456", "789"}) {
            pty.Send(piece);
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    char buffer[10] = {};
    int32_t received = 0;
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 10, &received), qsn::kSerialOk);
    peer.join();
    EXPECT_EQ(received, 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST_F(PosixPortTest, DiscardDropsWaitingInputAndRestoresTheTimeout) {
    pty.Send(std::string(1300, 'q'));
    AwaitWaiting(1300);
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    uint32_t waiting = 99;
    ASSERT_TRUE(qsn::platform::PortClearErrors(handle, &waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(qsn::SerialSetReadTimeout(handle, 100), 100);
}

// A peer that never stops sending cannot hold a discard: it ends after two
// queues' worth, long before the peer does.
TEST_F(PosixPortTest, DiscardOfABabblingLineIsBounded) {
    std::atomic<bool> stop{false};
    std::thread babble([&] {
        const std::string chunk(256, 'b');
        while (!stop) {
            pollfd p{pty.Master(), POLLOUT, 0};
            if (poll(&p, 1, 50) > 0 && write(pty.Master(), chunk.data(), chunk.size()) < 0) break;
        }
    });
    AwaitWaiting(512);
    const auto start = Clock::now();
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    const auto waited = Clock::now() - start;
    stop = true;
    babble.join();
    EXPECT_LT(waited, std::chrono::seconds(5));
}

// One read system call takes all that arrived; later reads are served from it,
// it counts as waiting input, and a discard drops it with the rest.
TEST_F(PosixPortTest, ReadAheadServesLaterReadsAndIsDiscarded) {
    pty.Send("A1\r");
    AwaitWaiting(3);
    char c = 0;
    ASSERT_EQ(qsn::SerialRead(handle, &c, 1), qsn::kSerialOk);
    EXPECT_EQ(c, 'A');
    int inKernel = -1;
    ASSERT_EQ(ioctl(pty.Slave(), FIONREAD, &inKernel), 0);
    EXPECT_EQ(inKernel, 0);
    uint32_t waiting = 0;
    ASSERT_TRUE(qsn::platform::PortClearErrors(handle, &waiting));
    EXPECT_EQ(waiting, 2u);
    ASSERT_EQ(qsn::SerialRead(handle, &c, 1), qsn::kSerialOk);
    EXPECT_EQ(c, '1');

    pty.Send("xyz");
    AwaitWaiting(4);
    EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
    ASSERT_TRUE(qsn::platform::PortClearErrors(handle, &waiting));
    EXPECT_EQ(waiting, 0u);
    qsn::SerialSetReadTimeout(handle, 5);
    EXPECT_EQ(qsn::SerialRead(handle, &c, 1), qsn::kSerialIoFailed);
}

// Replies read a character a call, as the driver does, from a peer that paces
// them four times as fast as a configured 110 baud: the same frame answered in
// full, then with an error reply, then not at all. Every reply arrives whole
// and in order, its CR read soon after it is sent: a sleep through the learned
// length at the configured pace would read it more than 2 s late, a read that
// sat out its time-out 10 s late. A missing reply ends at the time-out.
TEST_F(PosixPortTest, PacedRepliesReadACharacterACallArriveWhole) {
    ASSERT_EQ(qsn::SerialClose(handle), qsn::kSerialOk);
    handle = 0;
    ASSERT_EQ(qsn::SerialOpen(pty.PortName().c_str(), {110, 8, 0, 0}, 8, &handle), qsn::kSerialOk);
    ASSERT_EQ(qsn::SerialSetReadTimeout(handle, 1000), 100);
    const auto characterTime = std::chrono::microseconds(1000000 * 10 / 110);
    const std::string full = "A" + std::string(40, '7') + "\r";
    for (const std::string& reply : {full, full, std::string("N06\r"), full}) {
        ASSERT_EQ(qsn::SerialWrite(handle, ">02L0008D1\r", 11), qsn::kSerialOk);
        ASSERT_EQ(PeerReads(11), ">02L0008D1\r");
        Clock::time_point sentLast{};
        std::thread peer([&] {
            // Clocked like a UART: a late character does not delay the ones after it.
            const auto start = Clock::now();
            for (size_t i = 0; i < reply.size(); ++i) {
                std::this_thread::sleep_until(start + characterTime / 4 * (i + 1));
                sentLast = Clock::now();
                pty.Send(std::string(1, reply[i]));
            }
        });
        std::string got;
        char c = 0;
        while (got.size() < reply.size() && qsn::SerialRead(handle, &c, 1) == qsn::kSerialOk) {
            got += c;
        }
        const auto ended = Clock::now();
        peer.join();
        EXPECT_EQ(got, reply);
        EXPECT_LT(ended - sentLast, milliseconds(1500)) << reply;
    }
    ASSERT_EQ(qsn::SerialSetReadTimeout(handle, 30), 1000);
    const auto start = Clock::now();
    char c = 0;
    EXPECT_EQ(qsn::SerialRead(handle, &c, 1), qsn::kSerialIoFailed);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LT(took, std::chrono::seconds(5));
}

// Read system calls this thread has made (the kernel counts every one,
// those that come back empty too); -1 where the kernel keeps no count.
long ReadCallsOfThisThread() {
    const int fd = open("/proc/thread-self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[512] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char* at = n > 0 ? std::strstr(text, "syscr: ") : nullptr;
    return at == nullptr ? -1 : std::atol(at + 7);
}

// A reply read a character a call, as the driver does, from a peer that sends
// it in parts 30 ms apart: no read system call comes back empty, so there are
// no more of them than parts (fewer when parts arrive together). At 1200 baud
// a reply of known length is slept through for over half a second, long after
// its parts have come.
TEST_F(PosixPortTest, RepliesAreReadWithoutEmptyReads) {
    if (ReadCallsOfThisThread() < 0) GTEST_SKIP() << "the kernel keeps no per-thread read count";
    ASSERT_EQ(qsn::SerialClose(handle), qsn::kSerialOk);
    ASSERT_EQ(qsn::SerialOpen(pty.PortName().c_str(), {1200, 8, 0, 0}, 8, &handle), qsn::kSerialOk);
    const std::string data = std::string(64, '7') + "C0";
    const struct {
        const char* name;
        std::vector<std::string> parts;
        bool lengthKnown;  // the same frame was answered whole before
    } cases[] = {
        {"nothing arrives", {}, false},
        {"whole reply", {"A0FFF02\r"}, false},
        {"reply in three parts", {"A", "0FFF", "02\r"}, false},
        {"error reply", {"N06\r"}, false},
        {"group reply of known length", {"A", data + "\r"}, true},
    };
    int frameNumber = 0;
    // The frame is sent and the peer answers with `parts`; the reads of the reply are counted.
    const auto exchange = [&](const std::vector<std::string>& parts, std::string* got) {
        const std::string frame = ">frame " + std::to_string(frameNumber) + "\r";
        qsn::SerialSetReadTimeout(handle, parts.empty() ? 5 : 100);
        EXPECT_EQ(qsn::SerialDiscardInput(handle), 0);
        EXPECT_EQ(qsn::SerialWrite(handle, frame.data(), static_cast<int32_t>(frame.size())), qsn::kSerialOk);
        EXPECT_EQ(PeerReads(frame.size()), frame);
        std::thread peer([&] {
            for (const std::string& part : parts) {
                std::this_thread::sleep_for(milliseconds(30));
                pty.Send(part);
            }
        });
        const long before = ReadCallsOfThisThread();
        char c = 0;
        while ((got->empty() || got->back() != '\r') && qsn::SerialRead(handle, &c, 1) == qsn::kSerialOk) {
            *got += c;
        }
        const long reads = ReadCallsOfThisThread() - before - 1;  // less the count's own read
        peer.join();
        return reads;
    };
    for (const auto& c : cases) {
        ++frameNumber;
        std::string reply, got;
        for (const std::string& part : c.parts) reply += part;
        if (c.lengthKnown) exchange({reply}, &got);
        got.clear();
        EXPECT_LE(exchange(c.parts, &got), static_cast<long>(c.parts.size())) << c.name;
        EXPECT_EQ(got, reply) << c.name;
    }
}

// Times the reading thread has blocked (slept or waited in poll).
long WaitsOfThisThread() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// A frame answered before, a character every 0.5 ms from 3 ms after it was
// sent, as a UART clocks it: its reply is read whole in one wake-up (the old
// way, woken by the first character, sleeping through, woken by the last,
// took three). An error reply in its place is still read whole.
TEST_F(PosixPortTest, ARepliedFrameIsReadInOneWakeUp) {
    const std::string data = "A" + std::string(16, '5') + "80\r";
    const auto exchange = [&](const std::string& reply) {
        EXPECT_EQ(qsn::SerialWrite(handle, ">02L0008D1\r", 11), qsn::kSerialOk);
        const auto sent = Clock::now();
        EXPECT_EQ(PeerReads(11), ">02L0008D1\r");
        std::thread peer([&] {
            for (size_t i = 0; i < reply.size(); ++i) {
                std::this_thread::sleep_until(sent + milliseconds(3) + std::chrono::microseconds(500) * i);
                pty.Send(std::string(1, reply[i]));
            }
        });
        const long before = WaitsOfThisThread();
        std::string got;
        char c = 0;
        while (got.size() < reply.size() && qsn::SerialRead(handle, &c, 1) == qsn::kSerialOk) got += c;
        const long waits = WaitsOfThisThread() - before;
        peer.join();
        EXPECT_EQ(got, reply);
        return waits;
    };
    exchange(data);
    std::vector<long> waits;
    for (int i = 0; i < 9; ++i) waits.push_back(exchange(data));
    std::nth_element(waits.begin(), waits.begin() + 4, waits.end());
    EXPECT_EQ(waits[4], 1) << "median wake-ups a reply";
    exchange("N06\r");
    exchange(data);
}

TEST_F(PosixPortTest, SecondOpenOfAnOpenDeviceFails) {
    qsn::PortHandle second = 0;
    EXPECT_EQ(qsn::SerialOpen(pty.SlavePath().c_str(), k9600, 8, &second), qsn::kSerialOpenFailed);
    ASSERT_EQ(qsn::SerialClose(handle), qsn::kSerialOk);
    handle = 0;
    EXPECT_EQ(qsn::SerialOpen(pty.SlavePath().c_str(), k9600, 8, &second), qsn::kSerialOk);
    qsn::SerialClose(second);
}

TEST_F(PosixPortTest, SettingsTermiosCannotHonourFailTheOpen) {
    PtyPair other;
    qsn::PortHandle h = 0;
    EXPECT_EQ(qsn::SerialOpen(other.PortName().c_str(), {12345, 8, 0, 0}, 8, &h),
              qsn::kSerialSetStateFailed);
    // A pseudo-terminal has no RS-485 mode, so RTS toggle is refused.
    EXPECT_EQ(qsn::SerialOpen(other.PortName().c_str(), k9600, 0x2000, &h),
              qsn::kSerialSetStateFailed);
    // Failed opens closed the device: it opens again.
    EXPECT_EQ(qsn::SerialOpen(other.PortName().c_str(), k9600, 0x0303, &h), qsn::kSerialOk);
    qsn::SerialClose(h);
}

TEST(PosixNullDevice, OpensUnconfiguredWritesAllAndReadsNothing) {
    qsn::PortHandle handle = 0;
    ASSERT_EQ(qsn::SerialOpen("NUL", k9600, 8, &handle), qsn::kSerialOk);
    qsn::PortHandle again = 0;
    ASSERT_EQ(qsn::SerialOpen("NUL", k9600, 8, &again), qsn::kSerialOk);
    int32_t written = 0;
    EXPECT_EQ(qsn::SerialWrite(handle, "hello", 5, &written), qsn::kSerialOk);
    EXPECT_EQ(written, 5);
    char buffer[4];
    int32_t received = -1;
    EXPECT_EQ(qsn::SerialRead(handle, buffer, 4, &received), qsn::kSerialIoFailed);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(qsn::SerialClose(handle), qsn::kSerialOk);
    EXPECT_EQ(qsn::SerialClose(again), qsn::kSerialOk);
}

// The pause lasts its time and leaves the thread's timer slack as the host set it.
TEST(PosixPause, LastsItsTimeAndGivesTheTimerSlackBack) {
    const int hosts = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
    const auto start = Clock::now();
    qsn::platform::SleepMs(4);
    EXPECT_GE(Clock::now() - start, milliseconds(4));
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(hosts), 0, 0, 0);
}

TEST(PosixMissingDevice, OpenFailsAndNullHandleFailsEveryCall) {
    qsn::PortHandle handle = 0;
    EXPECT_EQ(qsn::SerialOpen("ttyNOPE9", k9600, 8, &handle), qsn::kSerialOpenFailed);
    EXPECT_EQ(qsn::SerialWrite(0, "x", 1), qsn::kSerialIoFailed);
    char c;
    EXPECT_EQ(qsn::SerialRead(0, &c, 1), qsn::kSerialIoFailed);
    EXPECT_EQ(qsn::SerialClose(0), qsn::kSerialIoFailed);
}

}  // namespace
