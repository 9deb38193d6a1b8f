// The rack most simulator tests run against, and expected replies built with
// the driver's own checksum encoder.
#pragma once

#include <string>

#include "optomux/frame.h"
#include "sim/options.h"

namespace qsn::test {

inline constexpr std::uint8_t kAnalog = 0x05;
inline constexpr std::uint8_t kDigital = 0x01;
inline constexpr std::uint8_t kTemperature = 0x0B;
inline constexpr std::uint8_t kFresh = 0x20;  // still waiting for its power-up clear

// Analog input i reads 257 * i; positions 2 and 3 are outputs at 123 and ABC.
// Digital positions 4-7 are outputs, all off; inputs 0-3, 9 and 11 are on.
// Temperature probes on positions 0 and 1, at 25 and -1 degrees; 100 on 2.
inline sim::SimOptions TestRack() {
    sim::SimOptions options;
    sim::UnitOptions analog;
    analog.address = kAnalog;
    analog.kind = sim::UnitKind::kAnalog;
    analog.cleared = true;
    for (std::size_t i = 0; i < sim::kPositions; ++i)
        analog.inputs[i] = static_cast<std::uint16_t>(257 * i);
    analog.outputs = 0x000C;
    analog.outputValues[2] = 0x123;
    analog.outputValues[3] = 0xABC;

    sim::UnitOptions digital;
    digital.address = kDigital;
    digital.kind = sim::UnitKind::kDigital;
    digital.cleared = true;
    digital.outputs = 0x00F0;
    digital.on = 0x0A0F;

    sim::UnitOptions temperature;
    temperature.address = kTemperature;
    temperature.kind = sim::UnitKind::kTemperature;
    temperature.cleared = true;
    temperature.probes[0] = temperature.probes[1] = 0x05;
    temperature.temperatures[0] = 25.0;
    temperature.temperatures[1] = -1.0;
    temperature.temperatures[2] = 100.0;

    sim::UnitOptions fresh = digital;
    fresh.address = kFresh;
    fresh.cleared = false;

    options.units = {analog, digital, temperature, fresh};
    return options;
}

// "A" + data + the checksum of the data + CR.
inline std::string DataReply(const std::string& data) {
    char checksum[3];
    CalcChecksum(data.c_str(), checksum);
    return "A" + data + checksum + "\r";
}

}  // namespace qsn::test
