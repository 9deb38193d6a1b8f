#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "gate/gate.h"

namespace {

constexpr int32_t kUntouched = -4242;  // pointAddress as the host left it
const char kPrevious[] = "PREVIOUS+GAS12";  // gasScratch before the call

LogLine UnitFault(const std::string& gas) {
    return {32, "QSNDUT:illegal Unit Address. GAS='" + gas + "'."};
}
LogLine TypeFault(const std::string& gas) {
    return {32, "QSNDUT:Illegal gate type. GAS='" + gas + "'."};
}
LogLine ModuleFault(const std::string& gas) {
    return {32, "QSNDUT:Illegal Module address. GAS='" + gas + "'."};
}

struct GateCase {
    const char* gas;  // null: no GAS at all
    int32_t command;
    int32_t dataKind;
    int32_t elementCount;
    int32_t result;
    int32_t unit;
    int32_t typeCode;
    int32_t pointAddress;
    int32_t pointIndex;
    std::optional<std::string> scratch;  // none: gasScratch left as it was
    std::vector<LogLine> log;
};

constexpr int32_t V = QSN_VALIDATE_GATE;
constexpr int32_t O = QSN_VALIDATE_GATE_ONLY;

const GateCase kCases[] = {
    // Analog, temperature and digital points, accepted.
    {"0aai3", V, 1, 0, 0, 10, 30, 1004, 255, "0AAI3", {}},
    {"0aao1", V, 1, 0, 0, 10, 40, 1002, 255, "0AAO1", {}},
    {"01AIa", V, 0, 0, 0, 1, 30, 111, 255, "01AIA", {}},
    {"FFDOF", V, 6, 0, 0, 255, 60, 25500, 15, "FFDOF", {}},
    {"01CK5", V, 1, 0, 0, 1, 210, 106, 255, "01CK5", {}},
    {"02T10", V, 1, 0, 0, 2, 280, 201, 255, "02T10", {}},
    {"01DI0", O, 1, 16, 0, 1, 50, 100, 0, "01DI0", {}},
    {"01DO0", O, 2, 16, 0, 1, 60, 100, 0, "01DO0", {}},
    {"01CK0", O, 0, 16, 0, 1, 210, 101, 255, "01CK0", {}},
    // Types without a point address of their own; "MN" is the fifth table entry.
    {"01MX3", V, 1, 0, 0, 1, 80, kUntouched, 255, "01MX3", {}},
    {"01MX3", V, 6, 0, 0, 1, 80, kUntouched, 255, "01MX3", {}},
    {"7fmn3", V, 1, 0, 0, 127, 70, kUntouched, 255, "7FMN3", {}},
    {"01P10", O, 1, 16, 0, 1, 330, 101, 255, "01P10", {}},
    // Kinds of value that do not suit the type: refused silently.
    {"01DI2", V, 1, 0, 1, 1, 50, kUntouched, 255, "01DI2", {}},
    {"01DO0", V, 2, 0, 1, 1, 60, kUntouched, 255, "01DO0", {}},
    {"01CK5", V, 3, 0, 1, 1, 210, kUntouched, 255, "01CK5", {}},
    {"01CK5", O, 3, 16, 1, 1, 210, kUntouched, 255, "01CK5", {}},
    {"01CK0", V, 0, 0, 1, 1, 210, kUntouched, 255, "01CK0", {}},
    {"0AAO7", V, 6, 0, 1, 10, 40, kUntouched, 255, "0AAO7", {}},
    {"01AI0", O, 6, 16, 1, 1, 30, kUntouched, 255, "01AI0", {}},
    {"01AI3", V, 3, 0, 1, 1, 30, kUntouched, 255, "01AI3", {}},
    // Command 4's own tests refuse after validation wrote its outputs.
    {"01DI2", O, 1, 16, 1, 1, 50, 100, 2, "01DI2", {}},
    {"01DI0", O, 1, 15, 1, 1, 50, 100, 0, "01DI0", {}},
    {"01MX0", O, 1, 0, 1, 1, 80, kUntouched, 255, "01MX0", {}},
    // Faults of the address itself, logged with the upper-cased GAS.
    {"0GAI1", V, 1, 0, 1, 0, 0, kUntouched, 255, "0GAI1", {UnitFault("0GAI1")}},
    {"", V, 1, 0, 1, 0, 0, kUntouched, 255, "", {UnitFault("")}},
    {"1", O, 1, 16, 1, 0, 0, kUntouched, 255, "1", {UnitFault("1")}},
    {"{1AI1", V, 1, 0, 1, 0, 0, kUntouched, 255, "[1AI1", {UnitFault("[1AI1")}},
    // Bytes above 0x7F lowered onto a-f are not hexadecimal digits.
    {"\x81\x81" "AI3", V, 1, 0, 1, 0, 0, kUntouched, 255, "aaAI3", {UnitFault("aaAI3")}},
    {"01AI\x83", V, 1, 0, 1, 1, 30, kUntouched, 255, "01AIc", {ModuleFault("01AIc")}},
    {"01XX1", V, 1, 0, 1, 1, 0, kUntouched, 255, "01XX1", {TypeFault("01XX1")}},
    {"01NM1", V, 1, 0, 1, 1, 0, kUntouched, 255, "01NM1", {TypeFault("01NM1")}},
    {"01A", V, 1, 0, 1, 1, 0, kUntouched, 255, "01A", {TypeFault("01A")}},
    {"01ai", V, 1, 0, 1, 1, 30, kUntouched, 255, "01AI", {ModuleFault("01AI")}},
    {"01AIG", O, 1, 16, 1, 1, 30, kUntouched, 255, "01AIG", {ModuleFault("01AIG")}},
    // Too long, or missing: refused before anything is copied.
    {"01AI10", V, 1, 0, 1, 0, 0, kUntouched, 255, std::nullopt, {}},
    {"01DI0xxxxxxxxxxxxxx", O, 6, 16, 1, 0, 0, kUntouched, 255, std::nullopt, {}},
    {nullptr, V, 1, 0, 1, 0, 0, kUntouched, 255, std::nullopt, {}},
    {nullptr, O, 1, 16, 1, 0, 0, kUntouched, 255, std::nullopt, {}},
};

using GateTest = DriverTest;

TEST_F(GateTest, ValidatesEveryCaseThroughQsnMain) {
    for (const GateCase& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "GAS " << (c.gas ? c.gas : "(null)") << " command "
                                          << c.command << " kind " << c.dataKind);
        std::memcpy(context->gasScratch, kPrevious, sizeof context->gasScratch);
        log.lines.clear();
        GateBlock gate;
        std::memset(&gate, 0x5A, sizeof gate);
        gate.gas = c.gas;
        gate.dataKind = c.dataKind;
        gate.elementCount = c.elementCount;
        gate.pointAddress = kUntouched;
        const GateBlock before = gate;

        EXPECT_EQ(Call(c.command, &gate), c.result);
        EXPECT_EQ(gate.unit, c.unit);
        EXPECT_EQ(gate.typeCode, c.typeCode);
        EXPECT_EQ(gate.pointAddress, c.pointAddress);
        EXPECT_EQ(gate.pointIndex, c.pointIndex);
        EXPECT_EQ(gate.pointCount, 16);
        EXPECT_EQ(gate.gas, before.gas);
        EXPECT_EQ(gate.dataKind, before.dataKind);
        EXPECT_EQ(gate.elementCount, before.elementCount);
        EXPECT_EQ(std::memcmp(gate.notUsed04, before.notUsed04, sizeof gate.notUsed04), 0);
        std::string scratch(kPrevious, sizeof context->gasScratch);
        if (c.scratch) {
            scratch = *c.scratch;
            scratch.resize(sizeof context->gasScratch, '\0');
        }
        EXPECT_EQ(std::string(context->gasScratch, sizeof context->gasScratch), scratch);
        EXPECT_EQ(log.lines, c.log);
        EXPECT_EQ(qsn::validateOnly, 0);
    }
    EXPECT_TRUE(line.calls.empty());
}

// One table gives both the accepted mnemonics and their codes.
TEST(GateTypes, CodesFollowThePlaceAndLookupIsExact) {
    ASSERT_EQ(qsn::kGateTypes.size(), 31u);
    for (std::size_t i = 0; i < qsn::kGateTypes.size(); ++i) {
        const qsn::GateType& type = qsn::kGateTypes[i];
        EXPECT_EQ(type.code, 20 + 10 * (i + 1)) << type.mnemonic;
        EXPECT_EQ(qsn::GateTypeCode(type.mnemonic), type.code) << type.mnemonic;
    }
    for (const char* text : {"ai", "Ai", "A", "", "AIX", "NM", "XX"}) {
        EXPECT_EQ(qsn::GateTypeCode(text), 0) << text;
    }
}

TEST(GateTypes, ClassComesFromTheCodeAlone) {
    const std::pair<std::uint16_t, std::uint8_t> cases[] = {
        {0, 10},   {30, 10},  {40, 20},  {50, 10},  {60, 20},  {70, 10},    {170, 10},
        {175, 10}, {180, 30}, {185, 10}, {250, 30}, {330, 30}, {340, 10},   {65535, 10},
    };
    for (const auto& [code, typeClass] : cases) {
        EXPECT_EQ(static_cast<int>(qsn::GateTypeClass(code)), typeClass) << code;
    }
}

TEST(GateTypes, UpperCharLowersEveryByteFromLowercaseA) {
    const std::pair<char, char> cases[] = {
        {'a', 'A'}, {'z', 'Z'}, {'{', '['}, {'`', '`'}, {'A', 'A'},
        {'0', '0'}, {'\xE1', '\xC1'}, {'\x7F', '\x5F'}, {'\0', '\0'},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qsn::UpperChar(in), out) << int(in);
}

}  // namespace
