// The host's parts on their own: how values are shown, how failed attempts
// are counted from the driver's lines, and how a port name is fitted.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "display_text.h"
#include "format.h"
#include "host.h"
#include "kaldor.h"
#include "port_access.h"
#include "wire_text.h"
#include "wire_trace.h"

namespace plexer {
namespace {

TEST(ValueText, ShowsEachFamilyWithItsUnit) {
    struct Case {
        Family family;
        std::int16_t value;
        std::string text;
    };
    const Case cases[] = {
        {Family::kAnalogIn, 0, "0 counts  0.0 %"},
        {Family::kAnalogIn, 2048, "2048 counts  50.0 %"},
        {Family::kAnalogIn, 4096, "4096 counts  above range"},
        {Family::kAnalogOut, 4095, "4095 counts  100.0 %"},
        {Family::kTemperature, -273, "-273 °C"},
        {Family::kDigitalIn, 1, "on"},
        {Family::kDigitalOut, 0, "off"},
    };
    for (const Case& c : cases) EXPECT_EQ(ValueText(c.family, c.value), c.text) << c.value;
}

TEST(PointValues, SplitsAWholeUnitByPosition) {
    Transfer transfer;
    for (std::size_t i = 0; i < 16; ++i) transfer.values[i] = static_cast<std::int16_t>(100 + i);
    Gate analog{"05AI3", 1, 5, 30, 504, 255, 16};
    const std::vector<PointValue> all = PointValues(analog, transfer, true);
    ASSERT_EQ(all.size(), 16u);
    EXPECT_EQ(all[0].gas, "05AI0");
    EXPECT_EQ(all[15].gas, "05AIF");
    EXPECT_EQ(all[15].value, 115);

    const std::vector<PointValue> one = PointValues(analog, transfer, false);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].gas, "05AI3");
    EXPECT_EQ(one[0].value, 101);  // element 1 holds a single point

    // A digital unit comes back as one status word in element 0; bit 15 is position F.
    transfer.values[0] = static_cast<std::int16_t>(0x8001);
    Gate digital{"01DI0", 6, 1, 50, 100, 0, 16};
    const std::vector<PointValue> bits = PointValues(digital, transfer, true);
    EXPECT_EQ(bits[0].value, 1);
    EXPECT_EQ(bits[1].value, 0);
    EXPECT_EQ(bits[15].value, 1);
    EXPECT_EQ(bits[15].gas, "01DIF");
}

TEST(GateTypes, DataKindSuitsTheMnemonic) {
    EXPECT_EQ(DataKindFor("01DI0"), 6);
    EXPECT_EQ(DataKindFor("01do0"), 6);
    EXPECT_EQ(DataKindFor("01AI0"), 1);
    EXPECT_EQ(DataKindFor("0BCK0"), 1);
    EXPECT_EQ(DataKindFor("1"), 1);
    EXPECT_EQ(MnemonicOf(210), "CK");
    EXPECT_EQ(MnemonicOf(330), "P1");
    EXPECT_EQ(MnemonicOf(340), "");
    EXPECT_EQ(MnemonicOf(35), "");
    EXPECT_EQ(TypeClassOf(60), qsn::TypeClass::kOutput);
    EXPECT_EQ(TypeClassOf(180), qsn::TypeClass::kTemperature);
    EXPECT_EQ(TypeClassOf(50), qsn::TypeClass::kPlain);
}

// A stand-in for the driver's entry: each read logs the scripted failed
// attempts and returns the scripted result.
struct Script {
    int faults = 0;
    std::int32_t result = 0;
    bool errorReply = false;
};
Script script;

std::int32_t QSN_CALL ScriptedEntry(RequestBlock* request) {
    if (request->command == QSN_IDENTIFY) {
        static_cast<IdentBlock*>(request->params)->contextSize = QSN_CONTEXT_SIZE;
        return QSN_OK;
    }
    for (int i = 0; i < script.faults; ++i) {
        if (script.errorReply) {
            err(32, "QSNDUT:Gate %s: Read failed! ErrorCode %s H ", "05AI3", "06");
        } else {
            err(8, "QSNDUT: Failed to read a character from PLC");
        }
        err(8, "QSNDUT: Powerup Clear Failed. Addr = %x", 5);
    }
    if (script.result != QSN_OK) err(32, "QSNDUT: Single Read failed! GAS=%s", "05AI3");
    return script.result;
}

TEST(HostCounters, RetriesAreTheFailedAttemptsThatWereTriedAgain) {
    struct Case {
        Script script;
        long retries;
    };
    const Case cases[] = {
        {{0, QSN_OK, false}, 0},    {{1, QSN_OK, false}, 1},     {{2, QSN_OK, true}, 2}, {{3, QSN_NO_LINE, false}, 2},
        {{3, QSN_FAILED, true}, 2}, {{0, QSN_FAILED, false}, 0},  // refused before any attempt
    };
    for (const Case& c : cases) {
        LogView log(LogSettings{true, false});
        log.SetEcho(false);
        Host host(&ScriptedEntry, log, false);
        script = c.script;
        const Transfer transfer = host.Read(Gate{"05AI3", 1, 5, 30, 504, 255, 16}, false);
        EXPECT_EQ(transfer.result, c.script.result);
        EXPECT_EQ(host.Totals().transactions, 1);
        EXPECT_EQ(host.Totals().failures, c.script.result == QSN_OK ? 0 : 1);
        EXPECT_EQ(host.Totals().retries, c.retries) << c.script.faults << " faults, result " << c.script.result;
    }
}

TEST(FailureCause, PrefersAReplyFaultOverTheClosingLine) {
    const std::vector<LogLine> silent = {{8, "QSNDUT: Powerup Clear Failed. Addr = 20"},
                                         {8, "QSNDUT: Failed to read a character from PLC"},
                                         {32, "QSNDUT: Single Read failed! GAS=20AI0"}};
    EXPECT_EQ(FailureCause(silent), "QSNDUT: Failed to read a character from PLC");
    const std::vector<LogLine> refused = {{32, "QSNDUT: Write failed! Gate 05AI1 is read-only."}};
    EXPECT_EQ(FailureCause(refused), "QSNDUT: Write failed! Gate 05AI1 is read-only.");
    EXPECT_EQ(FailureCause({{32, "QSNDUT: Single Write failed! GAS=05AO1"}}), "");
    // The unit's own error code, said in words, ahead of what followed it.
    const std::vector<LogLine> answered = {{32, "QSNDUT:Gate 05AI1: Read failed! ErrorCode 05 H "},
                                           {32, "QSNDUT:Write failed! Unrecognized reply from PLC"}};
    EXPECT_EQ(FailureCause(answered),
              "the unit answered N05 (data field error): QSNDUT:Gate 05AI1: Read failed! ErrorCode 05 H");
}

TEST(WireText, TellsWhatEachFrameSays) {
    struct Case {
        std::string command;
        std::string reply;
        std::string asks;
        std::string answer;
    };
    const Case cases[] = {
        {">05AA6\r", "A\r", "unit 05: power-up clear", "acknowledged"},
        {">1FI000484\r", "N02\r", "unit 1F: configure as output, mask 0004", "error N02: checksum error"},
        {">0Ak00010502\r", "N07\r", "unit 0A: set temperature probe, mask 0001, probe code 05",
         "error N07: limits invalid"},
        {">05KFFFFC8\r", "A0FFF02\r", "unit 05: read analog outputs, mask FFFF",
         "acknowledged, data 0FFF, checksum ok"},
        {">05L000879\r", "AFF8c\r", "unit 05: read analog inputs, mask 0008",
         "acknowledged, data FF, checksum wrong (8c, expected 8C)"},
        {">05K000878\r", "A\r", "unit 05: switch digital output on, mask 0008", "acknowledged"},
        {">05MB2\r", "A\r", "unit 05: read digital points",
         "acknowledged without data (a read expects data and checksum)"},
        {">05S000880018\r", "N09\r", "unit 05: write analog outputs, mask 0008, value 800 (2048)",
         "error N09: unknown error code"},
        {">05MB3\r", "A00", "unit 05: read digital points, checksum wrong (B3, expected B2)",
         "no carriage return: cut off or still arriving"},
        {">05l000877", "?\r",
         "unit 05: read temperatures, mask 0008, checksum wrong (77, expected 99), no carriage return",
         "unrecognised: neither acknowledgement nor error"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeCommand(c.command, c.reply), c.asks) << c.command;
        EXPECT_EQ(DescribeReply(c.reply, c.command), c.answer) << c.reply;
    }
    EXPECT_EQ(Escaped(std::string(">0\x01\\\xFF\r\n\t", 8)), ">0\\x01\\\\\\xFF\\r\\n\\t");
}

// Frames cut anywhere by the relay's reads come out whole, a command with the
// reply that tells what it was, and what never ended is shown at the end.
TEST(TraceLog, JoinsChunksIntoFrames) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        const TraceLog::Clock::time_point start{};
        TraceLog log(out, start);
        const auto at = [&](int ms) { return start + std::chrono::milliseconds(ms); };
        log.Sent(">05L0", 5, at(1));
        log.Sent("00879\r", 6, at(2));
        log.Received("A\r>", 2, at(3));
        log.Sent(">05AA6\r", 7, at(4));
        log.Received("A0", 2, at(5));
    }
    std::rewind(out);
    std::string text;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text.push_back(static_cast<char>(c));
    std::fclose(out);
    EXPECT_EQ(text,
              "     1.000 ms  -> >05L000879\\r  unit 05: switch digital output off, mask 0008\n"
              "     3.000 ms  <- A\\r  acknowledged\n"
              "     4.000 ms  -> >05AA6\\r  unit 05: power-up clear\n"
              "     5.000 ms  <- A0  no carriage return: cut off or still arriving\n");
}

// The kernel's tree for a USB serial port: the tty's device link leads to the
// adapter's port, which holds latency_timer; an on-board UART has none.
TEST(UsbLatencyTimer, ReadsTheAdapterSettingThroughTheTtyClass) {
    char folder[] = "/tmp/plexer-sys-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    namespace fs = std::filesystem;
    const fs::path root = folder;
    const fs::path usbPort = root / "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB3";
    const fs::path uart = root / "devices/platform/serial8250/tty/ttyS0";
    fs::create_directories(usbPort / "tty/ttyUSB3");
    fs::create_directories(uart);
    std::ofstream(usbPort / "latency_timer") << "16\n";
    fs::create_directories(root / "class/tty/ttyUSB3");
    fs::create_directories(root / "class/tty/ttyS0");
    fs::create_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB3",
                       root / "class/tty/ttyUSB3/device");
    fs::create_symlink("../../../devices/platform/serial8250", root / "class/tty/ttyS0/device");
    fs::create_directories(root / "bus/usb-serial/devices");
    fs::create_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB3",
                       root / "bus/usb-serial/devices/ttyUSB3");

    EXPECT_EQ(UsbLatencyTimerMs("/dev/ttyUSB3", root), 16);
    EXPECT_EQ(UsbLatencyTimerMs("ttyUSB3", root), 16);
    EXPECT_EQ(UsbLatencyTimerMs("/dev/ttyS0", root), std::nullopt);
    EXPECT_EQ(UsbLatencyTimerMs("/dev/ttyUSB9", root), std::nullopt);
    fs::remove_all(root);
}

// A freed pseudo-terminal is gone, and stays gone once another takes its
// number, inode and device number (after a tick of the change time).
TEST(DeviceWatch, APseudoTerminalTakenAgainIsAnotherDevice) {
    int fds[2];
    ASSERT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
    const std::string name = ttyname(fds[1]);
    const std::unique_ptr<LineDevice> device = WatchDevice(name);
    EXPECT_EQ(device->Gone(), std::nullopt);
    for (const int fd : fds) close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
    // Tests running beside this one may take the old name themselves: whoever
    // holds it, a path there now is another device.
    const bool there = access(name.c_str(), F_OK) == 0;
    EXPECT_EQ(device->Gone(), name + (there ? " is another device now" : " is gone: No such file or directory"));
    for (const int fd : fds) close(fd);
}

TEST(DriverPortName, FitsTheElevenCharacterField) {
    EXPECT_EQ(DriverPortName("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(DriverPortName("/dev/ttyUSB1234"), "ttyUSB1234");
    EXPECT_THROW(DriverPortName("/dev/serial/by-id/usb-FTDI"), std::runtime_error);
    EXPECT_THROW(DriverPortName("/tmp/not-a-port-at-all"), std::runtime_error);
}

}  // namespace
}  // namespace plexer
