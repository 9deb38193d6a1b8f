#include "point_map.h"

#include <stdexcept>

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
    switch (table) {
    case Table::kCoils: return "coils";
    case Table::kDiscreteInputs: return "discrete inputs";
    case Table::kHoldingRegisters: return "holding registers";
    case Table::kInputRegisters: return "input registers";
    }
    return "";
}

int PositionOf(const std::string& gas) {
    const char digit = gas.empty() ? '0' : gas.back();
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return 0;
}

PointMap::PointMap(const std::vector<Gate>& gates, UnitSettings defaults, const std::map<int, UnitOverride>& perUnit)
    : gates_(gates) {
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
}

const UnitMap* PointMap::Unit(int unit) const {
    const auto found = units_.find(unit);
    return found == units_.end() ? nullptr : &found->second;
}

}  // namespace plexer::gateway
