// Animated inputs, on a unit model with the time under the test's control.
#include <gtest/gtest.h>

#include "sim/unit.h"
#include "sim_fixture.h"
#include "sim_test_support.h"

namespace qsn::test {
namespace {

std::string Ask(sim::Unit& unit, std::uint8_t address, char letter, const std::string& data,
                double atS) {
    const std::string frame = CommandFrame(address, letter, data);
    const auto parsed = sim::ParseFrame(frame.substr(1, frame.size() - 2));
    return parsed ? unit.Answer(*parsed, atS) : "unparsed";
}

struct AnimationCase {
    const char* name;
    sim::UnitKind kind;
    sim::Shape shape;
    char letter;
    std::string mask;
    double atS;
    std::string data;
};

void PrintTo(const AnimationCase& c, std::ostream* out) { *out << c.name; }

class AnimationTest : public ::testing::TestWithParam<AnimationCase> {};

// Period 8 s: position p runs p/16 of a period ahead of position 0.
TEST_P(AnimationTest, FollowsTheShape) {
    const AnimationCase& c = GetParam();
    sim::UnitOptions options;
    options.kind = c.kind;
    options.cleared = true;
    options.outputs = c.kind == sim::UnitKind::kDigital ? 0x00F0 : 0;
    options.on = 0x0003;
    options.probes.fill(0x05);
    options.temperatures.fill(20.0);
    options.animation = {c.shape, 8.0, 10.0};
    sim::Unit unit(options);
    EXPECT_EQ(Ask(unit, 0, c.letter, c.mask, c.atS), DataReply(c.data));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AnimationTest,
    ::testing::Values(AnimationCase{"RampStart", sim::UnitKind::kAnalog, sim::Shape::kRamp, 'L',
                                    "0001", 0, "1000"},
                      AnimationCase{"RampHalfway", sim::UnitKind::kAnalog, sim::Shape::kRamp, 'L',
                                    "0001", 4, "1800"},
                      AnimationCase{"RampWrapsEachPeriod", sim::UnitKind::kAnalog,
                                    sim::Shape::kRamp, 'L', "0001", 12, "1800"},
                      AnimationCase{"RampPositionsStaggered", sim::UnitKind::kAnalog,
                                    sim::Shape::kRamp, 'L', "0100", 0, "1800"},
                      AnimationCase{"SinePeak", sim::UnitKind::kAnalog, sim::Shape::kSine, 'L',
                                    "0001", 2, "1FFF"},
                      AnimationCase{"SineTrough", sim::UnitKind::kAnalog, sim::Shape::kSine, 'L',
                                    "0001", 6, "1000"},
                      AnimationCase{"TemperatureSinePeak", sim::UnitKind::kTemperature,
                                    sim::Shape::kSine, 'l', "0001", 2, "01E0"},
                      AnimationCase{"TemperatureRampStart", sim::UnitKind::kTemperature,
                                    sim::Shape::kRamp, 'l', "0001", 0, "00A0"},
                      AnimationCase{"ToggleFirstHalf", sim::UnitKind::kDigital, sim::Shape::kToggle,
                                    'M', "", 0, "FF03"},
                      AnimationCase{"ToggleOutputsStay", sim::UnitKind::kDigital,
                                    sim::Shape::kToggle, 'M', "", 4, "000C"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qsn::test
