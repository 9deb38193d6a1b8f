#include "point_map.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "display_text.h"

namespace plexer::gateway {

std::optional<Table> TableOf(Family family) {
    switch (family) {
    case Family::kAnalogIn:
    case Family::kTemperature: return Table::kInputRegisters;
    case Family::kAnalogOut: return Table::kHoldingRegisters;
    case Family::kDigitalIn: return Table::kDiscreteInputs;
    case Family::kDigitalOut: return Table::kCoils;
    case Family::kOther: break;
    }
    return std::nullopt;
}

const char* TableName(Table table) {
    static constexpr const char* kNames[] = {"coils", "discrete inputs", "holding registers", "input registers"};
    static_assert(std::size(kNames) == kTables, "a name for every table, in the order of Table");
    return kNames[static_cast<std::size_t>(table)];
}

int PositionOf(const std::string& gas) {
    const char digit = gas.empty() ? '0' : gas.back();
    return IsHexDigit(digit) ? std::stoi(std::string(1, digit), nullptr, 16) : 0;
}

PointMap::PointMap(const std::vector<Gate>& gates, UnitSettings defaults, const std::map<int, UnitOverride>& perUnit,
                   const Engineering& engineering)
    : gates_(gates), settings_(gates.size()), wordOrder_(engineering.wordOrder) {
    for (std::size_t i = 0; i < gates_.size(); ++i) {
        const Gate& gate = gates_[i];
        const std::optional<Table> table = TableOf(FamilyOf(gate.typeCode));
        if (!table) {
            throw std::invalid_argument(gate.gas + ": a " + MnemonicOf(gate.typeCode) +
                                        " gate has no value of its own to serve");
        }
        auto [place, added] = units_.try_emplace(gate.unit);
        UnitMap& unit = place->second;
        if (added) {
            for (auto& row : unit.point) row.fill(-1);
            unit.settings = defaults;
            const auto override = perUnit.find(gate.unit);
            if (override != perUnit.end()) {
                unit.settings.maxAge = override->second.maxAge.value_or(defaults.maxAge);
                unit.settings.readOnly = override->second.readOnly.value_or(defaults.readOnly);
            }
        }
        int& slot = unit.point[static_cast<std::size_t>(*table)][static_cast<std::size_t>(PositionOf(gate.gas))];
        if (slot >= 0) {
            throw std::invalid_argument(gate.gas + ": takes the place of " +
                                        gates_[static_cast<std::size_t>(slot)].gas + " (" + TableName(*table) + " " +
                                        std::to_string(PositionOf(gate.gas)) + " of unit " + std::to_string(gate.unit) +
                                        ")");
        }
        slot = static_cast<int>(i);
    }
    CheckPositions();
    ApplyEngineering(engineering);
}

// A module position is an input or an output; the unit answers '?' for the other.
void PointMap::CheckPositions() const {
    for (const auto& [number, unit] : units_) {
        const auto& inputs = unit.point[static_cast<std::size_t>(Table::kInputRegisters)];
        const auto& outputs = unit.point[static_cast<std::size_t>(Table::kHoldingRegisters)];
        for (std::size_t position = 0; position < kPositions; ++position) {
            if (inputs[position] < 0 || outputs[position] < 0) continue;
            throw std::invalid_argument(gates_[static_cast<std::size_t>(inputs[position])].gas + " and " +
                                        gates_[static_cast<std::size_t>(outputs[position])].gas +
                                        ": position " + std::to_string(position) + " of unit " +
                                        std::to_string(number) + " cannot be an input and an output at once");
        }
    }
}

void PointMap::ApplyEngineering(const Engineering& engineering) {
    for (const auto& entry : engineering.points) {
        const std::string& gas = entry.first;
        const PointSettings& settings = entry.second;
        const auto gate = std::find_if(gates_.begin(), gates_.end(), [&](const Gate& g) { return g.gas == gas; });
        const std::string path = "engineering.points." + gas;
        if (gate == gates_.end()) throw std::invalid_argument(path + ": not a point the gateway serves");
        const Family family = FamilyOf(gate->typeCode);
        if (IsDigital(family) && settings.serving != Serving::kRaw) {
            throw std::invalid_argument(path + ": a digital point is served as 0 or 1 only");
        }
        if (!IsAnalog(family) && settings.euLow) {
            throw std::invalid_argument(path + ": an engineering range is for analog points (temperatures are degrees)");
        }
        settings_[static_cast<std::size_t>(gate - gates_.begin())] = settings;
    }
}

const UnitMap* PointMap::Unit(int unit) const {
    const auto found = units_.find(unit);
    return found == units_.end() ? nullptr : &found->second;
}

}  // namespace plexer::gateway
