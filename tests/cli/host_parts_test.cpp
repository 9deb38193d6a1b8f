// The host's parts on their own: how values are shown, how failed attempts
// are counted from the driver's lines, and how a port name is fitted.
#include <gtest/gtest.h>

#include <stdexcept>

#include "format.h"
#include "host.h"
#include "kaldor.h"
#include "port_access.h"

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
    EXPECT_EQ(TypeClassOf(60), 20);
    EXPECT_EQ(TypeClassOf(180), 30);
    EXPECT_EQ(TypeClassOf(50), 10);
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
}

TEST(DriverPortName, FitsTheElevenCharacterField) {
    EXPECT_EQ(DriverPortName("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(DriverPortName("/dev/ttyUSB1234"), "ttyUSB1234");
    EXPECT_THROW(DriverPortName("/dev/serial/by-id/usb-FTDI"), std::runtime_error);
    EXPECT_THROW(DriverPortName("/tmp/not-a-port-at-all"), std::runtime_error);
}

}  // namespace
}  // namespace plexer
