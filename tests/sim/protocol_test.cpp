// The units' answers to raw frames over the pseudo-terminal.
#include <gtest/gtest.h>

#include <vector>

#include "sim_fixture.h"
#include "sim_test_support.h"

namespace qsn::test {
namespace {

struct Exchange {
    std::string frame;
    std::string reply;
};

std::ostream& operator<<(std::ostream& out, const Exchange& e) {
    return out << e.frame << " -> " << e.reply;
}

std::string WithChecksum(std::string frame, const char* checksum) {
    frame.replace(frame.size() - 3, 2, checksum);
    return frame;
}

class SimLineTest : public ::testing::Test {
protected:
    std::string Ask(const std::string& frame, std::chrono::milliseconds quiet = 300ms) {
        return port.Exchange(frame, quiet);
    }

    void Run(const std::vector<Exchange>& steps) {
        for (const Exchange& step : steps) EXPECT_EQ(Ask(step.frame), step.reply) << step;
    }

    SimThread sim{TestRack()};
    RawPort port{sim.SlavePath()};
};

struct ReplyCase {
    const char* name;
    std::string frame;
    std::string reply;
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.name; }

class SingleReplyTest : public SimLineTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SingleReplyTest, Answers) { EXPECT_EQ(Ask(GetParam().frame), GetParam().reply); }

const std::string kN01 = "N01\r";
const std::string kN02 = "N02\r";
const std::string kN05 = "N05\r";

INSTANTIATE_TEST_SUITE_P(
    Commands, SingleReplyTest,
    ::testing::Values(
        ReplyCase{"AnalogInput0", CommandFrame(kAnalog, 'L', "0001"), DataReply("1000")},
        ReplyCase{"AnalogInput1", CommandFrame(kAnalog, 'L', "0002"), DataReply("1101")},
        ReplyCase{"AnalogInput15", CommandFrame(kAnalog, 'L', "8000"), DataReply("1F0F")},
        ReplyCase{"AnalogInputsHighestFirst", CommandFrame(kAnalog, 'L', "0003"),
                  DataReply("11011000")},
        ReplyCase{"AnalogInputOnOutputPosition", CommandFrame(kAnalog, 'L', "0004"),
                  DataReply("????")},
        ReplyCase{"AnalogNoPositions", CommandFrame(kAnalog, 'L', "0000"), DataReply("")},
        ReplyCase{"AnalogOutput", CommandFrame(kAnalog, 'K', "0004"), DataReply("123")},
        ReplyCase{"AnalogOutputsHighestFirst", CommandFrame(kAnalog, 'K', "000C"),
                  DataReply("ABC123")},
        ReplyCase{"AnalogOutputOnInputPosition", CommandFrame(kAnalog, 'K', "0005"),
                  DataReply("123???")},
        ReplyCase{"AnalogHasNoStatus", CommandFrame(kAnalog, 'M'), kN01},
        ReplyCase{"AnalogHasNoTemperatures", CommandFrame(kAnalog, 'l', "0001"), kN01},
        ReplyCase{"AnalogMaskTooShort", CommandFrame(kAnalog, 'L', "001"), kN05},
        ReplyCase{"AnalogMaskNotHex", CommandFrame(kAnalog, 'L', "00G1"), kN05},
        ReplyCase{"AnalogMaskLowerCase", CommandFrame(kAnalog, 'L', "000c"), kN05},
        ReplyCase{"AnalogWriteValueMissing", CommandFrame(kAnalog, 'S', "000C"), kN05},
        ReplyCase{"AnalogWriteOneValueShort", CommandFrame(kAnalog, 'S', "000C12"), kN05},
        ReplyCase{"AnalogWriteValuesNotPerPosition", CommandFrame(kAnalog, 'S', "000C1234"), kN05},
        ReplyCase{"DigitalStatus", CommandFrame(kDigital, 'M'), DataReply("0A0F")},
        ReplyCase{"DigitalStatusTakesNoData", CommandFrame(kDigital, 'M', "0001"), kN05},
        ReplyCase{"DigitalSwitchMaskTooLong", CommandFrame(kDigital, 'K', "00010"), kN05},
        ReplyCase{"DigitalHasNoAnalogWrite", CommandFrame(kDigital, 'S', "0010800"), kN01},
        ReplyCase{"DigitalHasNoProbes", CommandFrame(kDigital, 'k', "000105"), kN01},
        ReplyCase{"Temperature25", CommandFrame(kTemperature, 'l', "0001"), DataReply("0190")},
        ReplyCase{"TemperatureMinus1", CommandFrame(kTemperature, 'l', "0002"), DataReply("FFF0")},
        ReplyCase{"TemperaturesHighestFirst", CommandFrame(kTemperature, 'l', "0003"),
                  DataReply("FFF00190")},
        ReplyCase{"TemperatureWithoutProbe", CommandFrame(kTemperature, 'l', "0004"),
                  DataReply("????")},
        ReplyCase{"ProbeCodeMissing", CommandFrame(kTemperature, 'k', "0004"), kN05},
        ReplyCase{"TemperatureHasNoAnalogInputs", CommandFrame(kTemperature, 'L', "0001"), kN01},
        ReplyCase{"UnknownLetter", CommandFrame(kDigital, 'Z'), kN01},
        ReplyCase{"PowerUpClearTakesNoData", CommandFrame(kDigital, 'A', "00"), kN05},
        ReplyCase{"WrongChecksum", WithChecksum(CommandFrame(kDigital, 'M'), "00"), kN02},
        // The driver sends upper-case digits; a unit that accepted others would hide a fault.
        ReplyCase{"LowerCaseChecksum", WithChecksum(CommandFrame(kAnalog, 'L', "FFFF"), "c9"),
                  kN02},
        ReplyCase{"NoSuchUnit", CommandFrame(0x77, 'A'), ""},
        ReplyCase{"StrayCharactersBeforeFrame", "xyz\r" + CommandFrame(kDigital, 'M'),
                  DataReply("0A0F")},
        ReplyCase{"RestartedFrame", ">05L0" + CommandFrame(kDigital, 'M'), DataReply("0A0F")},
        ReplyCase{"TooShortToBeAFrame", ">01M\r", ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SimLineTest, GroupReadDecodesFromTheEndAsTheDriverDoes) {
    const std::string reply = Ask(CommandFrame(kAnalog, 'L', "FFFF"));
    ASSERT_EQ(reply.size(), 1 + 64 + 2 + 1u) << reply;
    const std::string data = reply.substr(1, 64);
    for (std::size_t position = 0; position < 16; ++position) {
        const std::string chunk = data.substr(data.size() - 4 * (position + 1), 4);
        if (position == 2 || position == 3) {
            EXPECT_EQ(chunk, "????") << position;
        } else {
            EXPECT_EQ(AsciiHexToVal(chunk.c_str()), 4096 + 257 * position) << position;
        }
    }
    EXPECT_EQ(reply, DataReply(data));
}

TEST_F(SimLineTest, AnalogWritesReadBack) {
    Run({{CommandFrame(kAnalog, 'S', "000C7FF"), "A\r"},
         {CommandFrame(kAnalog, 'K', "000C"), DataReply("7FF7FF")},
         {CommandFrame(kAnalog, 'S', "000C111222"), "A\r"},  // position 3, then position 2
         {CommandFrame(kAnalog, 'K', "000C"), DataReply("111222")},
         {CommandFrame(kAnalog, 'S', "0001FFF"), "A\r"},  // position 0 is an input: nothing kept
         {CommandFrame(kAnalog, 'K', "0001"), DataReply("???")}});
}

TEST_F(SimLineTest, AnalogOutputConfigurationTurnsAnInputIntoAnOutput) {
    Run({{CommandFrame(kAnalog, 'I', "0001"), "A\r"},
         {CommandFrame(kAnalog, 'K', "0001"), DataReply("000")},
         {CommandFrame(kAnalog, 'L', "0001"), DataReply("????")}});
}

TEST_F(SimLineTest, DigitalOutputsSwitch) {
    Run({{CommandFrame(kDigital, 'K', "0010"), "A\r"},
         {CommandFrame(kDigital, 'M'), DataReply("0A1F")},
         {CommandFrame(kDigital, 'K', "0100"), "A\r"},  // an input: left as it is
         {CommandFrame(kDigital, 'M'), DataReply("0A1F")},
         {CommandFrame(kDigital, 'I', "1000"), "A\r"},
         {CommandFrame(kDigital, 'K', "1000"), "A\r"},
         {CommandFrame(kDigital, 'M'), DataReply("1A1F")},
         {CommandFrame(kDigital, 'L', "1010"), "A\r"},
         {CommandFrame(kDigital, 'M'), DataReply("0A0F")}});
}

TEST_F(SimLineTest, ProbeConfigurationEnablesTemperatureReads) {
    Run({{CommandFrame(kTemperature, 'l', "0004"), DataReply("????")},
         {CommandFrame(kTemperature, 'k', "000405"), "A\r"},
         {CommandFrame(kTemperature, 'l', "0004"), DataReply("0640")}});
}

TEST_F(SimLineTest, PowerUpClearIsExpectedBeforeAnythingElse) {
    Run({{CommandFrame(kFresh, 'M'), "N00\r"},
         {CommandFrame(kFresh, 'I', "0001"), "N00\r"},
         {CommandFrame(kFresh, 'K', "0011"), "N00\r"},
         {CommandFrame(kFresh, 'Z'), "N00\r"},
         {CommandFrame(kFresh, 'A'), "A\r"},
         {CommandFrame(kFresh, 'M'), DataReply("0A0F")},  // what was refused had no effect
         {CommandFrame(kFresh, 'A'), "A\r"},
         {CommandFrame(kFresh, 'K', "0010"), "A\r"},
         {CommandFrame(kFresh, 'M'), DataReply("0A1F")}});
}

TEST_F(SimLineTest, EveryUnitHasItsOwnPowerUpState) {
    Run({{CommandFrame(kFresh, 'M'), "N00\r"},
         {CommandFrame(kDigital, 'M'), DataReply("0A0F")},
         {CommandFrame(kFresh, 'M'), "N00\r"}});
}

}  // namespace
}  // namespace qsn::test
