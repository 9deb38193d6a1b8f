// Where each configured gate sits in the Modbus view of the line: the unit id
// is the Optomux unit address, and address 0-15 of a table is the module
// position. Health registers of every configured unit follow at kHealthBase.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gate_types.h"
#include "host.h"
#include "scaling.h"

namespace plexer::gateway {

inline constexpr int kPositions = 16;

enum class Table { kCoils, kDiscreteInputs, kHoldingRegisters, kInputRegisters };
inline constexpr int kTables = 4;

// The table of a gate's family; none for types with no read or write of their own.
std::optional<Table> TableOf(Family family);
const char* TableName(Table table);

// Input registers kHealthBase + offset of each configured unit.
inline constexpr std::uint16_t kHealthBase = 1000;
enum HealthRegister : std::uint16_t {
    kTransactionsHigh,
    kTransactionsLow,
    kFailuresHigh,
    kFailuresLow,
    kRetriesHigh,
    kRetriesLow,
    kLastResult,      // 0xFFFF before the first poll
    kLastGoodAge,     // tenths of a second, 0xFFFF never or older than 6553.4 s
    kDemoted,         // 1 while the unit is set aside
    kLineLost,        // 1 while the line is lost (its device gone), the same for every unit
    kHealthRegisters  // how many there are
};

struct UnitSettings {
    std::chrono::milliseconds maxAge{10000};  // older values answer 0x0B
    bool readOnly = false;
};

// What a unit sets for itself over the defaults.
struct UnitOverride {
    std::optional<std::chrono::milliseconds> maxAge;
    std::optional<bool> readOnly;
};

struct UnitMap {
    // Index into the gate list, per table and position; -1 where none is configured.
    std::array<std::array<int, kPositions>, kTables> point;
    UnitSettings settings;
};

class PointMap {
public:
    // Throws std::invalid_argument for a gate with no table, two gates on one
    // place, an analog input and output on one position, or engineering
    // settings that do not fit their point.
    PointMap(const std::vector<Gate>& gates, UnitSettings defaults, const std::map<int, UnitOverride>& perUnit,
             const Engineering& engineering = {});

    const UnitMap* Unit(int unit) const;
    const std::map<int, UnitMap>& Units() const { return units_; }
    const std::vector<Gate>& Gates() const { return gates_; }
    // Per gate, in the order of Gates().
    const PointSettings& Settings(std::size_t gate) const { return settings_[gate]; }
    WordOrder FloatWordOrder() const { return wordOrder_; }

private:
    void CheckPositions() const;
    void ApplyEngineering(const Engineering& engineering);

    std::vector<Gate> gates_;
    std::vector<PointSettings> settings_;
    WordOrder wordOrder_ = WordOrder::kHighFirst;
    std::map<int, UnitMap> units_;
};

// The module position a GAS names: its last hexadecimal digit.
int PositionOf(const std::string& gas);

}  // namespace plexer::gateway
