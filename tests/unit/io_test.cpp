// Reads and writes through QsnMain against a scripted unit on the fake port:
// the exact frames on the wire, the replies, retries and pauses, the values
// and the log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "io/read.h"
#include "optomux/frame.h"

namespace {

using qsn::fake::Device;
using qsn::fake::Op;
using Lines = std::vector<LogLine>;
using Frames = std::vector<std::string>;

// Answers each frame with the next reply scripted for it; no script, no answer.
struct ScriptedUnit {
    std::map<std::string, std::deque<std::string>> replies;
    std::string ackEverything;  // answer for frames without a script, if not empty

    void operator()(Device& device, const std::string& frame) {
        auto it = replies.find(frame);
        if (it != replies.end() && !it->second.empty()) {
            device.input += it->second.front();
            if (it->second.size() > 1) it->second.pop_front();
        } else if (!ackEverything.empty()) {
            device.input += ackEverything;
        }
    }
};

class IoTest : public DriverTest {
protected:
    void SetUp() override {
        Device& device = line.AddDevice("COM1");
        device.respond = [this](Device& d, const std::string& frame) { unit(d, frame); };
        InitBlock init = MakeInit("COM1", 100);
        ASSERT_EQ(Call(QSN_START_UP, &init), 0);
        line.calls.clear();
        log.lines.clear();
        values.fill(-7);
    }

    PointBlock Point(const char* gas, int32_t unitAddress, int32_t typeCode, int32_t pointAddress,
                     int32_t kind, int32_t count, int32_t bit = 0) {
        PointBlock block{};
        block.gas = gas;
        block.unit = unitAddress;
        block.typeCode = typeCode;
        block.pointAddress = pointAddress;
        block.bitNumber = bit;
        block.dataKind = kind;
        block.count = count;
        block.values = values.data();
        return block;
    }

    Frames Written() const {
        Frames frames;
        for (const qsn::fake::Call& c : line.CallsOf(Op::Write)) frames.push_back(c.data);
        return frames;
    }

    ScriptedUnit unit;
    std::array<int16_t, 16> values{};
};

const std::string kAck = "A\r";
const LogLine kNoCr{32, "QSNDUT: Error. CR not found in PLC Reply!"};

// The reply "A" + data + the checksum of the data, as a unit frames it.
std::string Framed(const std::string& data) {
    char sum[3];
    qsn::CalcChecksum(data.c_str(), sum);
    return "A" + data + sum + "\r";
}

struct FrameCase {
    const char* name;
    int command;
    const char* gas;
    int32_t unit, typeCode, pointAddress, kind, count;
    int16_t value0, value1;
    Frames frames;  // every frame of the first transaction with a fresh unit
    std::string reply;
};

// Every family's first read or write: power-up clear, the configuration it
// needs, then its own frame; all answered, one attempt, one 4 ms pause.
TEST_F(IoTest, FrameCatalogueOfFirstTransactions) {
    const FrameCase cases[] = {
        {"AI point", 6, "01AI3", 1, 30, 104, 1, 1, 0, 0,
         {">01AA2\r", ">01L000875\r"}, "A1800C9\r"},
        {"AI group", 6, "01AI3", 1, 30, 104, 1, 16, 0, 0,
         {">01AA2\r", ">01LFFFFC5\r"}, Framed(std::string(16 * 4, '1'))},
        {"DI", 5, "03DI2", 3, 50, 300, 6, 1, 0, 0, {">03AA4\r", ">03MB0\r"}, "A0020C2\r"},
        {"DO read", 6, "03DO2", 3, 60, 300, 6, 1, 0, 0,
         {">03AA4\r", ">03I000470\r", ">03MB0\r"}, "A0020C2\r"},
        {"AO read", 6, "0AAO2", 10, 40, 1003, 1, 1, 0, 0,
         {">0AAB2\r", ">0AI00047E\r", ">0AK000480\r"}, "A1909A\r"},
        {"temperature", 6, "0BCK0", 11, 210, 1101, 1, 1, 0, 0,
         {">0BAB3\r", ">0Bk00010503\r", ">0Bl00019F\r"}, "A0190CA\r"},
        {"AO write", 7, "02AO0", 2, 40, 201, 1, 1, 0, 2048,
         {">02AA3\r", ">02I00016C\r", ">02S00018000E\r"}, kAck},
        {"AO group write checks element 0 only", 7, "02AO0", 2, 40, 201, 1, 16, 2048, 5000,
         {">02AA3\r", ">02I00016C\r", ">02SFFFF80065\r"}, kAck},
        {"DO on", 7, "05DO7", 5, 60, 500, 6, 1, 0, 1,
         {">05AA6\r", ">05I008076\r", ">05K008078\r"}, kAck},
        {"DO off", 7, "05DO7", 5, 60, 500, 6, 1, 0, 0,
         {">05AA6\r", ">05I008076\r", ">05L008079\r"}, kAck},
        {"DO count 0 is a single write", 7, "05DO7", 5, 60, 500, 6, 0, 0, 1,
         {">05AA6\r", ">05I008076\r", ">05K008078\r"}, kAck},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Call(QSN_WARM_START), 0);
        line.calls.clear();
        log.lines.clear();
        unit = ScriptedUnit{};
        unit.ackEverything = kAck;
        unit.replies[c.frames.back()] = {c.reply};
        PointBlock block = Point(c.gas, c.unit, c.typeCode, c.pointAddress, c.kind, c.count);
        values[0] = c.value0;
        values[1] = c.value1;
        EXPECT_EQ(Call(c.command, &block), 0);
        EXPECT_EQ(Written(), c.frames);
        EXPECT_EQ(line.Sleeps(), std::vector<uint32_t>{4});
        EXPECT_EQ(log.lines, Lines{});
    }
}

TEST_F(IoTest, ConfigurationIsSentOnceUntilWarmStart) {
    unit.ackEverything = kAck;
    unit.replies[">0AK000480\r"] = {"A1909A\r"};
    PointBlock block = Point("0AAO2", 10, 40, 1003, 1, 1);
    ASSERT_EQ(Call(QSN_READ, &block), 0);
    EXPECT_EQ(values[1], 0x190);
    EXPECT_EQ(context->unitCleared[10], 1);
    EXPECT_EQ(context->outputConfigured[10][3], 1);
    line.calls.clear();
    ASSERT_EQ(Call(QSN_READ, &block), 0);
    EXPECT_EQ(Written(), Frames{">0AK000480\r"});

    ASSERT_EQ(Call(QSN_WARM_START), 0);
    line.calls.clear();
    ASSERT_EQ(Call(QSN_READ, &block), 0);
    EXPECT_EQ(Written(), (Frames{">0AAB2\r", ">0AI00047E\r", ">0AK000480\r"}));
}

// A unit that answers configuration with an error still gets its flags set,
// and the configuration is not repeated.
TEST_F(IoTest, UnacknowledgedConfigurationIsLoggedAndNotRepeated) {
    unit.replies[">0AAB2\r"] = {"N02\r"};
    unit.replies[">0AI00047E\r"] = {"N05\r"};
    unit.replies[">0AS000408020\r"] = {kAck};
    PointBlock block = Point("0aAO2", 10, 40, 1003, 1, 1);
    values[1] = 128;
    ASSERT_EQ(Call(QSN_WRITE, &block), 0);
    EXPECT_EQ(log.lines, (Lines{{8, "QSNDUT: Powerup Clear Failed. Addr = a"},
                                {8, "QSNDUT: Output config Failed. Gate = 0AAO2"}}));
    line.calls.clear();
    log.lines.clear();
    ASSERT_EQ(Call(QSN_WRITE, &block), 0);
    EXPECT_EQ(Written(), Frames{">0AS000408020\r"});
}

// A silent unit: each attempt reads nothing; retries discard, clear and pause.
TEST_F(IoTest, SilentUnitGetsThreeAttemptsThenResultTwo) {
    PointBlock block = Point("0AAI0", 10, 30, 1001, 1, 1);
    EXPECT_EQ(Call(QSN_READ, &block), 2);
    const std::string read = ">0AL00017E\r";
    EXPECT_EQ(Written(), (Frames{">0AAB2\r", read, ">0AAB2\r", read, ">0AAB2\r", read}));
    EXPECT_EQ(line.Sleeps(), (std::vector<uint32_t>{500, 500, 4}));
    const LogLine clear{8, "QSNDUT: Powerup Clear Failed. Addr = a"};
    const LogLine noChar{8, "QSNDUT: Failed to read a character from PLC"};
    EXPECT_EQ(log.lines, (Lines{clear, clear, noChar, clear, clear, noChar, clear, clear, noChar,
                                {32, "QSNDUT: Single Read failed! GAS=0AAI0"}}));
    EXPECT_EQ(values[1], -7);
}

TEST_F(IoTest, RejectedThenSilentGivesOneAndRejectedThenAcceptedGivesZero) {
    unit.replies[">0AAB2\r"] = {kAck};
    unit.replies[">0AL00017E\r"] = {"N02\r", ""};
    PointBlock block = Point("0AAI0", 10, 30, 1001, 1, 1);
    EXPECT_EQ(Call(QSN_READ, &block), 1);
    EXPECT_EQ(log.lines.front(), (LogLine{32, "QSNDUT:Gate 0AAI0: Read failed! ErrorCode 02 H "}));
    EXPECT_EQ(log.lines.back(), (LogLine{32, "QSNDUT: Single Read failed! GAS=0AAI0"}));

    log.lines.clear();
    unit.replies[">0AL00017E\r"] = {"A1800C8\r", "A1800C9\r"};
    EXPECT_EQ(Call(QSN_READ, &block), 0);
    EXPECT_EQ(values[1], 2048);
    EXPECT_EQ(log.lines, (Lines{{32, "QSNDUT: Checksum Error. Plc String A1800C8 "}}));
}

TEST_F(IoTest, WriteAnsweredWithErrorsIsTriedThreeTimes) {
    unit.ackEverything = "N01\r";
    PointBlock block = Point("02AO0", 2, 40, 201, 1, 1);
    values[1] = 7;
    EXPECT_EQ(Call(QSN_WRITE, &block), 1);
    EXPECT_EQ(line.CallsOf(Op::Write).size(), 3u + 3u + 1u);  // 3 writes, 3 clears, 1 config
    EXPECT_EQ(line.Sleeps(), (std::vector<uint32_t>{500, 500, 4}));
    EXPECT_EQ(log.lines.back(), (LogLine{32, "QSNDUT: Single Write failed! GAS=02AO0"}));
}

// "A00" passes the checksum with no data: no value can be read from it.
TEST_F(IoTest, ReplyWithoutDataIsRejectedForSingleAndDigitalReads) {
    unit.ackEverything = kAck;
    for (auto [type, kind, gas] : {std::tuple{30, 1, "01AI0"}, std::tuple{50, 6, "01DI0"}}) {
        SCOPED_TRACE(gas);
        unit.replies[">01L00016E\r"] = {"A00\r"};
        unit.replies[">01MAE\r"] = {"A00\r"};
        PointBlock block = Point(gas, 1, type, 101, kind, 1);
        EXPECT_EQ(Call(QSN_READ, &block), 1);
        EXPECT_EQ(values[1], -7);
        EXPECT_EQ(values[0], -7);
    }
}

struct RefusalCase {
    const char* name;
    int command;
    const char* gas;
    int32_t typeCode, pointAddress, kind, count, bit;
    int16_t value1;
    bool nullValues;
    LogLine message;
    int16_t value0 = 0;
    int32_t unit = 1;
};

// Refused before anything is sent: no frame, no pause, result 1.
TEST_F(IoTest, RefusalsSendNothing) {
    const LogLine readFailed{32, "QSNDUT: Single Read failed! GAS=01MX3"};
    const RefusalCase cases[] = {
        {"AI is read-only", 7, "01ai3", 30, 104, 1, 1, 0, 0, false,
         {32, "QSNDUT: Write failed! Gate 01AI3 is read-only."}},
        {"DI is read-only", 7, "01DI3", 50, 100, 6, 1, 0, 0, false,
         {32, "QSNDUT: Write failed! Gate 01DI3 is read-only."}},
        {"AO 4096", 7, "01AO3", 40, 104, 1, 1, 0, 4096, false,
         {32, "QSNDUT: Write failed! Value out of range. Gate=01AO3"}},
        {"AO -1", 7, "01AO3", 40, 104, 1, 1, 0, -1, false,
         {32, "QSNDUT: Write failed! Value out of range. Gate=01AO3"}},
        {"AO group checks element 0, which it sends", 7, "01AO3", 40, 104, 1, 16, 0, 0, false,
         {32, "QSNDUT: Write failed! Value out of range. Gate=01AO3"}, 5000},
        {"DO value 2", 7, "01DO3", 60, 100, 6, 1, 0, 2, false,
         {32, "QSNDUT: Write failed! Value out of range. Gate=01DO3"}},
        {"DO value -1", 7, "01DO3", 60, 100, 6, 1, 0, -1, false,
         {32, "QSNDUT: Write failed! Value out of range. Gate=01DO3"}},
        {"DO group", 7, "01DO3", 60, 100, 6, 16, 0, 1, false,
         {32, "QSNDUT: Single Write failed! GAS=01DO3"}},
        {"write to unit 256", 7, "00DO0", 60, 25600, 6, 1, 0, 1, false,
         {32, "QSNDUT: Single Write failed! GAS=00DO0"}, 0, 256},
        {"read of unit 256", 6, "00DI0", 50, 25600, 6, 1, 0, 0, false,
         {32, "QSNDUT: Single Read failed! GAS=00DI0"}, 0, 256},
        {"read of unit -1", 6, "FFDI0", 50, -100, 6, 1, 0, 0, false,
         {32, "QSNDUT: Single Read failed! GAS=FFDI0"}, 0, -1},
        {"write of type 40 + 65536", 7, "01AO3", 0x10028, 104, 1, 1, 0, 0, false,
         {32, "QSNDUT: Single Write failed! GAS=01AO3"}},
        {"read of type 30 + 65536", 6, "01MX3", 0x1001E, 104, 1, 1, 0, 0, false, readFailed},
        {"digital bit 7 + 65536", 6, "01MX3", 50, 100, 6, 1, 0x10007, 0, false, readFailed},
        {"MX has no write", 7, "01MX3", 80, 104, 1, 1, 0, 0, false,
         {32, "QSNDUT: Single Write failed! GAS=01MX3"}},
        {"AO point 17", 7, "01AO3", 40, 117, 1, 1, 0, 0, false,
         {32, "QSNDUT: Single Write failed! GAS=01AO3"}},
        {"write without values", 7, "01AO3", 40, 104, 1, 1, 0, 0, true,
         {32, "QSNDUT: Single Write failed! GAS=01AO3"}},
        {"MX has no read", 6, "01MX3", 80, 104, 1, 1, 0, 0, false, readFailed},
        {"type 0 has no read", 6, "01MX3", 0, 104, 1, 1, 0, 0, false, readFailed},
        {"type 70 has no read", 5, "01MX3", 70, 104, 1, 1, 0, 0, false, readFailed},
        {"AI point 0", 6, "01MX3", 30, 100, 1, 1, 0, 0, false, readFailed},
        {"DO from a GAS without fifth char", 6, "01MX", 60, 100, 6, 1, 0, 0, false,
         {32, "QSNDUT: Single Read failed! GAS=01MX"}},
        {"digital bit 16", 6, "01MX3", 50, 100, 6, 1, 16, 0, false, readFailed},
        {"read without values", 6, "01MX3", 30, 104, 1, 1, 0, 0, true, readFailed},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        line.calls.clear();
        log.lines.clear();
        PointBlock block =
            Point(c.gas, c.unit, c.typeCode, c.pointAddress, c.kind, c.count, c.bit);
        values[0] = c.value0;
        values[1] = c.value1;
        if (c.nullValues) block.values = nullptr;
        EXPECT_EQ(Call(c.command, &block), 1);
        EXPECT_TRUE(line.calls.empty());
        EXPECT_EQ(log.lines, Lines{c.message});
    }
    PointBlock noGas = Point(nullptr, 1, 40, 104, 1, 1);
    EXPECT_EQ(Call(QSN_WRITE, &noGas), 1);
    EXPECT_EQ(Call(QSN_READ, &noGas), 1);
    EXPECT_TRUE(line.calls.empty());
}

// A GAS longer than the 19 characters a copy holds is cut, never overrun.
TEST_F(IoTest, LongGasIsCutInMessages) {
    const std::string gas = "01mx3" + std::string(40, 'z');
    PointBlock block = Point(gas.c_str(), 1, 80, 104, 1, 1);
    EXPECT_EQ(Call(QSN_READ, &block), 1);
    EXPECT_EQ(log.lines,
              (Lines{{32, "QSNDUT: Single Read failed! GAS=01MX3" + std::string(14, 'Z')}}));
}

struct DecodeCase {
    const char* name;
    int32_t typeCode, kind, count, bit;
    std::string data;
    std::vector<std::pair<size_t, int16_t>> stored;  // element, value
    Lines messages;
};

TEST_F(IoTest, DecodingOfEveryFamily) {
    const std::string chunks64 =
        "1FFF100E100D100C100B100A1009100810071006100510041003100210011000";
    const std::string chunks48 =
        "FFF00E00D00C00B00A009008007006005004003002001000";
    const DecodeCase cases[] = {
        {"AI mid", 30, 1, 1, 0, "1800", {{1, 2048}}, {}},
        {"AI bottom", 30, 1, 1, 0, "1000", {{1, 0}}, {}},
        {"AI top", 30, 1, 1, 0, "2000", {{1, 4096}}, {}},
        {"AI above", 30, 1, 1, 0, "2001", {{1, 4096}},
         {{8, "QSNDUT: Analog Input out of range. Gate = G Value = 4097"}}},
        {"AI below", 30, 1, 1, 0, "0FFF", {{1, 0}},
         {{8, "QSNDUT: Analog Input out of range. Gate = G Value = -1"}}},
        {"AI unconfigured", 30, 1, 1, 0, "????", {{1, 0}},
         {{8, "QSNDUT: Analog I/O not configured! Gate = G"}}},
        {"AO point", 40, 1, 1, 0, "FFF", {{1, 4095}}, {}},
        {"temp 25", 210, 1, 1, 0, "0190", {{1, 25}}, {}},
        {"temp -16", 210, 1, 1, 0, "FF00", {{1, -16}}, {}},
        {"temp -0.9", 210, 1, 1, 0, "FFF1", {{1, 0}}, {}},
        {"temp -273", 210, 1, 1, 0, "EEF0", {{1, -273}},
         {{8, "QSNDUT: Temperature below Scale. Gate = G Temp = -273"}}},
        {"temp -272", 210, 1, 1, 0, "EEF1", {{1, -272}}, {}},
        {"temp 2047", 210, 1, 1, 0, "7FF0", {{1, 2047}},
         {{8, "QSNDUT: Temperature above Scale. Gate = G Temp = 2047"}}},
        {"temp 2046", 210, 1, 1, 0, "7FEF", {{1, 2046}}, {}},
        {"digital bit on", 50, 6, 1, 7, "0080", {{1, 1}}, {}},
        {"digital bit off", 60, 6, 1, 6, "0080", {{1, 0}}, {}},
        {"digital group", 50, 6, 16, 0, "A5F0", {{0, static_cast<int16_t>(0xA5F0)}}, {}},
        {"AI group of 16", 30, 1, 0, 0, chunks64,
         {{0, 0}, {1, 1}, {2, 2}, {7, 7}, {14, 14}, {15, 4095}}, {}},
        {"AI group with a point that cannot be read", 30, 1, 16, 0,
         "????" + chunks64.substr(4), {{14, 14}, {15, 0}},
         {{8, "QSNDUT: Analog I/O not configured! Gate = G"}}},
        {"AO group of 16", 40, 1, 16, 0, chunks48, {{0, 0}, {1, 1}, {9, 9}, {15, 4095}}, {}},
        {"temp group", 330, 1, 16, 0, std::string(56, '0') + "01900020", {{0, 2}, {1, 25}, {2, 0}},
         {}},
        {"AO group with a point that cannot be read", 40, 1, 16, 0, "???" + chunks48.substr(3),
         {{14, 14}, {15, 0}}, {{8, "QSNDUT: Analog I/O not configured! Gate = G"}}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.lines.clear();
        values.fill(-7);
        PointBlock block = Point("G", 1, c.typeCode, 101, c.kind, c.count, c.bit);
        EXPECT_TRUE(qsn::DecodeReadData(block, "G", c.data.c_str()));
        for (auto [element, value] : c.stored) EXPECT_EQ(values[element], value) << element;
        EXPECT_EQ(log.lines, c.messages);
    }
}

TEST_F(IoTest, LowerCaseFifthCharacterGivesItsPointNumber) {
    unit.ackEverything = kAck;
    unit.replies[">01MAE\r"] = {"A0400C4\r"};
    PointBlock block = Point("01doa", 1, 60, 100, 6, 1, 10);
    ASSERT_EQ(Call(QSN_READ, &block), 0);
    EXPECT_EQ(context->outputConfigured[1][11], 1);
    EXPECT_EQ(Written()[1], ">01I04006E\r");
    EXPECT_EQ(values[1], 1);
}

struct MalformedCase {
    const char* name;
    const char* gas;
    int32_t typeCode, pointAddress, kind, count;
    std::string bad, good;
    std::pair<size_t, int16_t> stored;  // element, value from the good reply
    bool overLong = false;  // longer than any answer to its frame: not read to its CR
};

// Data a unit never sends pass the checksum when the noise hits both; such a
// reply fails its attempt like a checksum error, and the next attempt runs.
TEST_F(IoTest, MalformedDataIsRejectedAndTheReadRetried) {
    const std::string ai16 = "1FFF100E100D100C100B100A1009100810071006100510041003100210011000";
    const std::string ao16 = "FFF00E00D00C00B00A009008007006005004003002001000";
    const MalformedCase cases[] = {
        {"AI not a digit", "01AI0", 30, 101, 1, 1, "18G0", "1800", {1, 2048}},
        {"AI lower case", "01AI0", 30, 101, 1, 1, "18a0", "18A0", {1, 2208}},
        {"AI short", "01AI0", 30, 101, 1, 1, "180", "1800", {1, 2048}},
        {"AI long", "01AI0", 30, 101, 1, 1, "18000", "1800", {1, 2048}, true},
        {"AI part question marks", "01AI0", 30, 101, 1, 1, "??1?", "1800", {1, 2048}},
        {"AO four wide", "01AO0", 40, 101, 1, 1, "0800", "800", {1, 2048}},
        {"digital question marks", "01DI0", 50, 100, 6, 1, "????", "0001", {1, 1}},
        {"digital group short", "01DI0", 50, 100, 6, 16, "001", "0001", {0, 1}},
        {"AI group one short", "01AI0", 30, 101, 1, 16, ai16.substr(1), ai16, {15, 4095}},
        {"AI group field not digits", "01AI0", 30, 101, 1, 16, "1x00" + ai16.substr(4), ai16,
         {15, 4095}},
        {"AO group one long", "01AO0", 40, 101, 1, 16, "0" + ao16, ao16, {15, 4095}, true},
        {"temperature group of two", "01CK0", 210, 101, 1, 16, "01900020",
         std::string(60, '0') + "0190", {0, 25}},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Call(QSN_WARM_START), 0);
        log.lines.clear();
        values.fill(-7);
        std::deque<std::string> replies{Framed(c.bad), Framed(c.good)};
        line.Find("COM1")->respond = [&replies](Device& d, const std::string& frame) {
            const bool read = std::string("LKMl").find(frame[3]) != std::string::npos;
            if (!read) {
                d.input += kAck;
            } else if (!replies.empty()) {
                d.input += replies.front();
                replies.pop_front();
            }
        };
        PointBlock block = Point(c.gas, 1, c.typeCode, c.pointAddress, c.kind, c.count);
        EXPECT_EQ(Call(QSN_READ, &block), 0);
        EXPECT_EQ(values[c.stored.first], c.stored.second);
        const std::string badReply = Framed(c.bad);
        const LogLine dataError{32, "QSNDUT: Data Error. Plc String " +
                                        badReply.substr(0, badReply.size() - 1) + " "};
        EXPECT_EQ(log.lines.front(), c.overLong ? kNoCr : dataError);
    }
}

struct BoundCase {
    const char* name;
    int command;
    const char* gas;
    int32_t typeCode, pointAddress, kind, count;
    uint64_t bound;  // characters read of an answer that never ends, CR included
};

// A unit trickling characters just inside the read time-out holds a call only
// as long as the longest answer its frame can have, each attempt failing as
// an over-long reply does: three attempts of `bound` time-outs, two retry
// pauses and the closing one on the fake clock.
TEST_F(IoTest, ReplyIsReadNoFurtherThanTheLongestAnswerToItsFrame) {
    const BoundCase cases[] = {
        {"AI point", 6, "01AI3", 30, 104, 1, 1, 8},
        {"AI group", 6, "01AI3", 30, 104, 1, 16, 68},
        {"AO group", 6, "01AO3", 40, 104, 1, 16, 52},
        {"AO point", 6, "01AO3", 40, 104, 1, 1, 8},
        {"DI group", 5, "01DI3", 50, 104, 6, 16, 8},
        {"temperature group", 6, "01CK3", 210, 104, 1, 16, 68},
        {"AO write", 7, "01AO3", 40, 104, 1, 1, 8},
        {"DO write", 7, "01DO3", 60, 104, 6, 1, 8},
    };
    const uint64_t timeoutMs = 1000;
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Call(QSN_WARM_START), 0);
        log.lines.clear();
        line.Find("COM1")->respond = [](Device& d, const std::string& sent) {
            const bool configuration = sent[3] == 'A' || sent[3] == 'I' || sent[3] == 'k';
            if (configuration) d.input += kAck;
            else d.trickle = "A" + std::string(600, '1');
        };
        PointBlock block = Point(c.gas, 1, c.typeCode, c.pointAddress, c.kind, c.count);
        values[1] = 1;
        const uint64_t start = line.nowMs;
        EXPECT_EQ(Call(c.command, &block), 2);
        EXPECT_EQ(line.nowMs - start, 3 * c.bound * (timeoutMs - 1) + 500 + 500 + 4);
        EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), kNoCr), 3);
    }
}

// On a slow line the rest of an answer arrives only after the next frame's
// input discard has run: model it by handing back what each discard took.
std::string TakenByLastDiscard(const std::vector<qsn::fake::Call>& calls) {
    // Between the previous write and this one, the reads after a ClearErrors are the discard's.
    std::string taken;
    bool discarding = false;
    auto start = calls.end() - 1;
    while (start != calls.begin() && (start - 1)->op != Op::Write) --start;
    for (auto it = start; it != calls.end() - 1; ++it) {
        if (it->op == Op::ClearErrors) discarding = true;
        if (it->op == Op::Read && discarding) taken += it->data;
    }
    return taken;
}

struct SlowLineCase {
    const char* name;
    std::string clearReply, configReply, writeReply;
    int32_t result;
};

// No answer may pass for the answer to a later frame: a configuration refused
// with a four-character error reply must not leave the line one reply behind.
TEST_F(IoTest, ErrorAnswerToConfigurationKeepsTheLineInStep) {
    const SlowLineCase cases[] = {
        {"clear refused, write refused", "N06\r", kAck, "N06\r", 1},
        {"configuration refused, write refused", kAck, "N06\r", "N06\r", 1},
        {"both refused, write acknowledged", "N06\r", "N06\r", kAck, 0},
    };
    for (const SlowLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Call(QSN_WARM_START), 0);
        line.calls.clear();
        line.Find("COM1")->respond = [&c](Device& d, const std::string& frame) {
            d.input += TakenByLastDiscard(qsn::fake::Line().calls);
            const char letter = frame[3];
            d.input += letter == 'A' ? c.clearReply : letter == 'I' ? c.configReply : c.writeReply;
        };
        PointBlock block = Point("05DO7", 5, 60, 500, 6, 1);
        values[1] = 1;
        EXPECT_EQ(Call(QSN_WRITE, &block), c.result);
    }
}

}  // namespace
