// What a simulated line of Optomux units is made of: the units, their start-up
// values, the line's pacing and the faults to inject. Plain data, filled from a
// JSON config, from the command line, or directly by a test.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qsn::sim {

inline constexpr int kPositions = 16;

enum class UnitKind { kDigital, kAnalog, kTemperature };

enum class Shape { kNone, kRamp, kSine, kToggle };

// Slow changes of inputs, for demos: analog and temperature inputs follow a ramp
// or a sine; digital inputs toggle. Each position runs 1/16 of a period behind the
// one below it.
struct Animation {
    Shape shape = Shape::kNone;
    double periodS = 10.0;
    double amplitude = 10.0;  // degrees either side of the set temperature
};

// Each probability is in [0, 1]: 0 never, 1 every reply (or every character
// for the two rates).
struct FaultSettings {
    double silence = 0;            // no reply at all
    double errorReply = 0;         // "N" + errorCode instead of the reply
    double badChecksum = 0;        // data reply with a checksum off by one
    double lowercaseChecksum = 0;  // data reply with lower-case checksum digits
    double truncate = 0;           // reply cut off before its carriage return
    double babble = 0;             // a stream of characters and no carriage return
    double dropRate = 0;           // per character sent: left out
    double corruptRate = 0;        // per character sent: one bit flipped
    std::string errorCode = "06";
};

struct UnitOptions {
    std::uint8_t address = 0;
    UnitKind kind = UnitKind::kDigital;
    std::uint16_t outputs = 0;                       // positions configured as outputs at start
    std::uint16_t on = 0;                            // digital: positions that are on
    std::array<std::uint16_t, kPositions> inputs{};  // analog: 12-bit readings
    std::array<std::uint16_t, kPositions> outputValues{};          // analog: 12-bit outputs
    std::uint16_t overRange = 0;  // analog: inputs past their range, answered as 4097 counts
    std::array<std::optional<std::uint8_t>, kPositions> probes{};  // temperature: probe codes
    std::array<double, kPositions> temperatures{};                 // degrees
    bool cleared = false;  // starts as if it had already had its power-up clear
    Animation animation;
    std::optional<FaultSettings> faults;  // the line's faults when unset
};

struct LineOptions {
    unsigned baud = 0;  // 0: replies leave at once, unpaced
    double turnaroundMs = 0;
    std::uint64_t seed = 1;
    FaultSettings faults;
};

struct SimOptions {
    LineOptions line;
    std::vector<UnitOptions> units;
    std::string linkPath;   // a symlink to the slave side, made and removed by the engine
    std::string tracePath;  // "" no trace, "-" standard error, else a file
};

const char* KindName(UnitKind kind);

}  // namespace qsn::sim
