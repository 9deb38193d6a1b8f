#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_fixture.h"
#include "optomux/frame.h"
#include "optomux/reply.h"

namespace {

const LogLine kReadFailed{8, "QSNDUT: Failed to read a character from PLC"};
const LogLine kNoCr{32, "QSNDUT: Error. CR not found in PLC Reply!"};
const LogLine kUnrecognized{32, "QSNDUT:Write failed! Unrecognized reply from PLC"};

LogLine ChecksumError(const std::string& reply) {
    return {32, "QSNDUT: Checksum Error. Plc String " + reply + " "};
}

// A line started on a fake device whose input the test scripts.
class ReplyTest : public DriverTest {
protected:
    void SetUp() override {
        device = &line.AddDevice("COM1");
        InitBlock init = MakeInit("COM1");
        ASSERT_EQ(Call(QSN_START_UP, &init), 0);
        request.context = context.get();
        log.lines.clear();
    }

    std::size_t ReadsMade() const { return line.CallsOf(qsn::fake::Op::Read).size(); }

    qsn::fake::Device* device = nullptr;
    RequestBlock request{};
};

TEST_F(ReplyTest, ReadReplyStopsAtCarriageReturnOrItsLimit) {
    const std::string a999(999, 'A'), a1000(1000, 'A');
    struct Case {
        const char* what;
        std::string input;
        std::size_t size;  // buffer size handed to ReadReply
        bool ok;
        std::string text;  // the reply text when ok
        std::string left;  // input still unread afterwards
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"bare acknowledgement", "A\r", 500, true, "A", "", {}},
        {"acknowledgement with data", "A0FFF02\rX", 500, true, "A0FFF02", "X", {}},
        {"carriage return alone", "\r", 500, true, "", "", {}},
        {"NUL inside keeps the reply's length", std::string("A1800C9\0\x03\r", 10), 500, true,
         "A1800C9.\x03", "", {}},
        {"time-out on the first character", "", 500, false, "", "", {kReadFailed}},
        {"time-out inside the reply", "A0F", 500, false, "", "", {kReadFailed}},
        {"999 characters and CR", a999 + "\r", 1000, true, a999, "", {}},
        {"1000 without CR", a1000 + "B\r", 1000, false, "", "B\r", {kNoCr}},
        {"1000 without CR, larger buffer", a1000 + "B\r", 4000, false, "", "B\r", {kNoCr}},
        {"499 and CR fill a 500 buffer", a999.substr(500) + "\r", 500, true, a999.substr(500),
         "", {}},
        {"reply larger than the buffer", a1000.substr(500) + "\r", 500, false, "", "\r", {kNoCr}},
        {"tiny buffer", "ABCDEF\r", 4, false, "", "EF\r", {kNoCr}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.lines.clear();
        device->input = c.input;
        const std::size_t readsBefore = ReadsMade();
        // Guard bytes behind the buffer show whether anything was stored past its end.
        std::vector<char> storage(c.size + 16, '#');
        EXPECT_EQ(qsn::ReadReply(request, storage.data(), c.size), c.ok);
        if (c.ok) {
            EXPECT_EQ(std::string(storage.data()), c.text);
        }
        EXPECT_EQ(device->input, c.left);
        EXPECT_EQ(log.lines, c.log);
        for (std::size_t i = c.size; i < storage.size(); ++i) ASSERT_EQ(storage[i], '#');
        // One port read per character: the given-up reply reads no character more.
        const std::size_t consumed = c.input.size() - c.left.size();
        EXPECT_EQ(ReadsMade() - readsBefore, consumed + (c.log == std::vector{kReadFailed}));
    }
}

TEST(CheckReply, JudgesByTheFirstCharacter) {
    struct Case {
        const char* reply;
        bool write;
        bool ok;
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"A", true, true, {}},
        {"A", false, true, {}},
        {"AN??", false, true, {}},
        {"N02", false, false, {{32, "QSNDUT:Gate 01AI3: Read failed! ErrorCode 02 H "}}},
        {"N02", true, false, {{32, "QSNDUT:Gate 01AI3: Write failed! ErrorCode 02 H "}}},
        {"N", false, false, {{32, "QSNDUT:Gate 01AI3: Read failed! ErrorCode  H "}}},
        {"", false, false, {kUnrecognized}},
        {"a", false, false, {kUnrecognized}},
        {"X12", true, false, {kUnrecognized}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << '"' << c.reply << "\" write " << c.write);
        LogCapture log;
        EXPECT_EQ(qsn::CheckReply(c.reply, c.write, "01AI3"), c.ok);
        EXPECT_EQ(log.lines, c.log);
    }
}

// The checksum covers the data after the "A"; a valid one within the longest reply.
TEST(VerifyReplyChecksum, AcceptsOnlyTheExactUpperCaseDigits) {
    const std::string longData(996, '5');
    char longSum[3];
    qsn::CalcChecksum(longData.c_str(), longSum);
    const std::string longReply = "A" + longData + longSum;
    const std::string cases[][2] = {
        // reply, "ok" or empty for a checksum failure
        {"A0FFF02", "ok"}, {"A0FFF03", ""}, {"AFF8C", "ok"}, {"AFF8c", ""},
        {"A00", "ok"},     {"A", ""},       {"A0", ""},      {"", ""},
        {"A1234", ""},     {longReply, "ok"},
    };
    for (const auto& [reply, ok] : cases) {
        SCOPED_TRACE(reply.substr(0, 12));
        LogCapture log;
        EXPECT_EQ(qsn::VerifyReplyChecksum(reply.c_str()), !ok.empty());
        const std::vector<LogLine> expected =
            ok.empty() ? std::vector{ChecksumError(reply)} : std::vector<LogLine>{};
        EXPECT_EQ(log.lines, expected);
    }
}

// An answer longer than "A" CR is read to its carriage return, within a bound,
// so that none of it is left to pass for the next frame's reply.
TEST_F(ReplyTest, ConfigAckReadsTheWholeAnswer) {
    struct Case {
        const char* input;
        bool received;
        bool acknowledged;
        std::string left;
    };
    const Case cases[] = {
        {"A\r", true, true, ""},
        {"N02\r", true, false, ""},
        {"N02\rA\r", true, false, "A\r"},
        {"A\rA\r", true, true, "A\r"},
        {"\r\r", true, false, ""},
        {"AB", true, false, ""},
        {"N0123456789\r", true, false, "789\r"},
        {"A", false, false, ""},
        {"", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        device->input = c.input;
        const qsn::ConfigAck ack = qsn::ReadConfigAck(request);
        EXPECT_EQ(ack.received, c.received);
        EXPECT_EQ(ack.acknowledged, c.acknowledged);
        EXPECT_EQ(device->input, c.left);
    }
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
