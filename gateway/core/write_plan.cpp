#include "write_plan.h"

#include <algorithm>
#include <cmath>

namespace plexer::gateway {

namespace {

bool ReadOnly(const Running& running, const Gate& gate) {
    const UnitMap* unit = running.map.Unit(gate.unit);
    return running.config.readOnly || unit == nullptr || unit->settings.readOnly;
}

// The counts an item asks for, or the refusal it earns.
std::pair<Refusal, std::int16_t> CountsFor(const Running& running, const WriteItem& item) {
    if (item.point >= running.map.Gates().size()) return {Refusal::kNoSuchPoint, 0};
    const Gate& gate = running.map.Gates()[item.point];
    if (ReadOnly(running, gate)) return {Refusal::kReadOnly, 0};
    const Family family = FamilyOf(gate.typeCode);
    if (family != Family::kDigitalOut && family != Family::kAnalogOut) return {Refusal::kNotAnOutput, 0};
    if (family == Family::kDigitalOut) {
        if (item.value != 0 && item.value != 1) return {Refusal::kOutOfRange, 0};
        return {Refusal::kNone, static_cast<std::int16_t>(item.value)};
    }
    // Counts are whole; a value in the engineering unit may fall between two.
    if (!item.inEu && item.value != std::trunc(item.value)) return {Refusal::kOutOfRange, 0};
    const std::optional<std::int16_t> counts =
        CountsOf(item.inEu ? running.map.Settings(item.point) : PointSettings{}, item.value);
    if (!counts) return {Refusal::kOutOfRange, 0};
    return {Refusal::kNone, *counts};
}

}  // namespace

const char* RefusalText(Refusal refusal) {
    switch (refusal) {
    case Refusal::kNone: return "";
    case Refusal::kReadOnly: return "read-only";
    case Refusal::kNoSuchPoint: return "no such point";
    case Refusal::kNotAnOutput: return "not an output";
    case Refusal::kOutOfRange: return "value out of range";
    }
    return "";
}

WritePlan PlanWrites(const Running& running, std::span<const WriteItem> items) {
    WritePlan plan;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto [refusal, counts] = CountsFor(running, items[i]);
        if (refusal != Refusal::kNone) return WritePlan{refusal, i, {}};
        const auto same = std::ranges::find(plan.writes, items[i].point, &std::pair<std::size_t, std::int16_t>::first);
        if (same != plan.writes.end()) {
            same->second = counts;
        } else {
            plan.writes.emplace_back(items[i].point, counts);
        }
    }
    return plan;
}

}  // namespace plexer::gateway
