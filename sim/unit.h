// One Optomux unit: its positions, its power-up state and its answers to the
// commands the driver sends. Knows nothing of the line; faults are applied to
// its replies afterwards.
#pragma once

#include <string>
#include <string_view>

#include "sim/options.h"
#include "sim/wire.h"

namespace qsn::sim {

class Unit {
public:
    explicit Unit(const UnitOptions& options);

    // The reply, carriage return included. `elapsedS` is the time since the
    // line started, for animated inputs.
    std::string Answer(const Frame& frame, double elapsedS);

    const UnitOptions& Options() const { return options_; }

private:
    std::string Execute(char letter, std::string_view data, double elapsedS);
    std::string Digital(char letter, std::string_view data, double elapsedS);
    std::string Analog(char letter, std::string_view data, double elapsedS);
    std::string Temperature(char letter, std::string_view data, double elapsedS);

    std::string ReadAnalogInputs(std::uint16_t mask, double elapsedS) const;
    std::string ReadAnalogOutputs(std::uint16_t mask) const;
    std::string WriteAnalogOutputs(std::string_view data);
    std::string ReadTemperatures(std::uint16_t mask, double elapsedS) const;
    std::string SetProbes(std::string_view data);

    double Phase(int position, double elapsedS) const;
    std::uint16_t DigitalLevels(double elapsedS) const;
    std::uint16_t AnalogInput(int position, double elapsedS) const;
    double TemperatureAt(int position, double elapsedS) const;

    UnitOptions options_;
    bool cleared_;
};

}  // namespace qsn::sim
