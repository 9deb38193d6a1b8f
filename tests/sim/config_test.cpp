// The JSON config: what it sets, and how it points at a mistake.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/command_line.h"
#include "sim/config.h"

namespace qsn::sim {
namespace {

TEST(Config, SetsTheLineAndItsUnits) {
    const SimOptions options = ConfigToOptions(ParseConfigText(R"({
        // comments are allowed
        "line": {"baud": 9600, "turnaroundMs": 2.5, "seed": 7, "faults": {"dropRate": 0.1, "errorCode": "03"}},
        "units": [
            {"address": "0x1F", "kind": "digital", "outputs": "00F0", "on": 3, "cleared": true,
             "animate": {"shape": "toggle", "periodS": 4}},
            {"address": "10", "kind": "analog", "outputs": 12, "inputs": [0, 4095], "outputValues": [1, 2, 3],
             "faults": {"silence": true}},
            {"address": 11, "kind": "temperature", "probes": [null, "15"], "temperatures": [-2048, 2047.9375]}
        ]})"));
    EXPECT_EQ(options.line.baud, 9600u);
    EXPECT_EQ(options.line.turnaroundMs, 2.5);
    EXPECT_EQ(options.line.seed, 7u);
    ASSERT_EQ(options.units.size(), 3u);
    const UnitOptions& digital = options.units[0];
    EXPECT_EQ(digital.address, 0x1F);
    EXPECT_EQ(digital.outputs, 0x00F0);
    EXPECT_EQ(digital.on, 3);
    EXPECT_TRUE(digital.cleared);
    EXPECT_EQ(digital.animation.shape, Shape::kToggle);
    EXPECT_EQ(digital.animation.periodS, 4.0);
    EXPECT_FALSE(digital.faults.has_value());
    const UnitOptions& analog = options.units[1];
    EXPECT_EQ(analog.address, 10);
    EXPECT_EQ(analog.inputs[1], 4095);
    EXPECT_EQ(analog.outputValues[2], 3);
    ASSERT_TRUE(analog.faults.has_value());
    // A unit's faults start from the line's.
    EXPECT_EQ(analog.faults->silence, 1.0);
    EXPECT_EQ(analog.faults->dropRate, 0.1);
    EXPECT_EQ(analog.faults->errorCode, "03");
    const UnitOptions& temperature = options.units[2];
    EXPECT_FALSE(temperature.probes[0].has_value());
    EXPECT_EQ(temperature.probes[1], 0x15);
    EXPECT_EQ(temperature.temperatures[0], -2048.0);
}

struct BadConfig {
    const char* name;
    const char* text;
    const char* message;  // a part of the error
};

void PrintTo(const BadConfig& c, std::ostream* out) { *out << c.name; }

class BadConfigTest : public ::testing::TestWithParam<BadConfig> {};

TEST_P(BadConfigTest, NamesTheFault) {
    try {
        ConfigToOptions(ParseConfigText(GetParam().text));
        FAIL() << "accepted";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BadConfigTest,
    ::testing::Values(
        BadConfig{"SyntaxLine", "{\n  \"units\": [\n    {\"address\": 1,, }\n  ]\n}", "line 3"},
        BadConfig{"NotAnObject", "[1]", "config: must be an object"},
        BadConfig{"NumberOverflow", R"({"line": {"baud": 1e400}})",
                  "line.baud: 1e400 is too large a number"},
        BadConfig{"NumberOverflowInAList",
                  R"({"units": [{"address": 1, "kind": "temperature", "temperatures": [0, -1e999]}]})",
                  "units[0].temperatures[1]: -1e999"},
        BadConfig{"UnknownKind", R"({"units": [{"address": 1, "kind": "analogue"}]})",
                  "units[0].kind: \"analogue\""},
        BadConfig{"KindMissing", R"({"units": [{"address": 1}]})", "units[0].kind: missing"},
        BadConfig{"AddressTooHigh", R"({"units": [{"address": 256, "kind": "analog"}]})",
                  "units[0].address"},
        BadConfig{"AddressNegative", R"({"units": [{"address": -1, "kind": "analog"}]})",
                  "units[0].address"},
        BadConfig{"AddressNotHex", R"({"units": [{"address": "0x1G", "kind": "analog"}]})",
                  "units[0].address"},
        BadConfig{
            "AddressTwice",
            R"({"units": [{"address": 3, "kind": "analog"}, {"address": "0x03", "kind": "digital"}]})",
            "units[1].address: unit 3 is already units[0]"},
        BadConfig{"MisspeltField", R"({"line": {"turnaround_ms": 3}})",
                  "line.turnaround_ms: unknown field"},
        BadConfig{"InputAbove12Bits",
                  R"({"units": [{"address": 1, "kind": "analog", "inputs": [0, 1, 4096]}]})",
                  "units[0].inputs[2]"},
        BadConfig{
            "TooManyInputs",
            R"({"units": [{"address": 1, "kind": "analog", "inputs": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}]})",
            "at most 16"},
        BadConfig{"FieldOfAnotherKind", R"({"units": [{"address": 1, "kind": "analog", "on": 1}]})",
                  "units[0].on: belongs to a digital unit"},
        BadConfig{"MaskTooWide",
                  R"({"units": [{"address": 1, "kind": "digital", "outputs": "1FFFF"}]})",
                  "units[0].outputs"},
        BadConfig{
            "ShapeOfAnotherKind",
            R"({"units": [{"address": 1, "kind": "analog", "animate": {"shape": "toggle"}}]})",
            "units[0].animate.shape"},
        BadConfig{"ProbabilityAboveOne", R"({"line": {"faults": {"silence": 1.5}}})",
                  "line.faults.silence"},
        BadConfig{"ProbeCodeOneDigit",
                  R"({"units": [{"address": 1, "kind": "temperature", "probes": "5"}]})",
                  "units[0].probes"},
        BadConfig{"TemperatureOffScale",
                  R"({"units": [{"address": 1, "kind": "temperature", "temperatures": [2048]}]})",
                  "units[0].temperatures[0]"},
        BadConfig{"ErrorCodeWithCarriageReturn", R"({"line": {"faults": {"errorCode": "0\r"}}})",
                  "line.faults.errorCode"},
        BadConfig{"BaudNotWhole", R"({"line": {"baud": 9600.5}})", "line.baud"}),
    [](const auto& test) { return std::string(test.param.name); });

// The command line merges into a file's line and units: a file of another shape is
// refused with the file's own error, not a crash in the merge.
TEST(Config, CommandLineOverAFileOfAnotherShape) {
    const struct {
        const char* file;
        const char* message;
    } cases[] = {
        {R"({"units": 5})", "units: must be a list of units"},
        {R"({"line": 5})", "line: must be an object"},
        {R"({"line": {"faults": 5}})", "line.faults: must be an object"},
    };
    const std::string path = ::testing::TempDir() + "sim_config_shape.json";
    for (const auto& c : cases) {
        std::ofstream(path) << c.file;
        CommandLine commandLine;
        commandLine.configPath = path;
        commandLine.units = {"01:digital"};
        commandLine.line["baud"] = 9600;
        commandLine.line["faults"]["silence"] = 0.5;
        try {
            ResolveOptions(commandLine);
            ADD_FAILURE() << c.file << " accepted";
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), path + ": " + c.message) << c.file;
        }
    }
}

}  // namespace
}  // namespace qsn::sim
