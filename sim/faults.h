// Turns a unit's reply into what actually goes on the wire under the
// configured faults. Every random choice comes from one seeded generator, so a
// run with the same seed and the same frames sends the same bytes.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "sim/options.h"

namespace qsn::sim {

struct Transmission {
    std::string bytes;   // empty: the unit stays silent
    std::string faults;  // what was done to the reply, for the trace
};

class FaultInjector {
public:
    explicit FaultInjector(std::uint64_t seed) : random_(seed) {}

    Transmission Apply(const std::string& reply, const FaultSettings& faults);

private:
    bool Chance(double probability);
    char Corrupt(char c);
    void DamageCharacters(Transmission& out, const FaultSettings& faults);

    std::mt19937_64 random_;
};

// "ok", "bad" or "none" for the checksum of a reply as sent.
std::string ReplyChecksumState(const std::string& bytes);

}  // namespace qsn::sim
