#include "line_core.h"

#include <numeric>

namespace plexer::gateway {

LineCore::LineCore(Poller& poller, RunningPtr first, const Logger& logger)
    : poller_(poller), running_(std::move(first)), logger_(logger) {}

void LineCore::Reload(RunningPtr next) {
    running_.Swap(std::move(next));
    for (const auto& listener : listeners_) listener();
}

std::vector<PointVerdict> LineCore::Judge(const Running& running, std::span<const std::size_t> points,
                                          PollClock::time_point now) const {
    const PointMap& map = running.map;
    std::vector<Verdict> verdicts(points.size());
    poller_.Judge(
        points,
        [&map](std::size_t point) -> std::optional<std::chrono::milliseconds> {
            const UnitMap* unit = map.Unit(map.Gates()[point].unit);
            if (unit == nullptr) return std::chrono::milliseconds(0);
            return unit->settings.maxAge;
        },
        now, verdicts);
    std::vector<PointVerdict> judged;
    judged.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Family family = FamilyOf(map.Gates()[points[i]].typeCode);
        const PointSettings& settings = map.Settings(points[i]);
        PointVerdict point{verdicts[i], {}, {}};
        if (verdicts[i].counts) point.eu = EuOf(settings, family, *verdicts[i].counts);
        if (verdicts[i].last) point.lastEu = EuOf(settings, family, *verdicts[i].last);
        judged.push_back(point);
    }
    return judged;
}

std::vector<PointVerdict> LineCore::JudgeAll(const Running& running, PollClock::time_point now) const {
    std::vector<std::size_t> all(running.map.Gates().size());
    std::iota(all.begin(), all.end(), std::size_t{0});
    return Judge(running, all, now);
}

void LineCore::Submit(const WritePlan& plan, const WriteDone& done) {
    for (std::size_t i = 0; i < plan.writes.size(); ++i) {
        const auto& [point, counts] = plan.writes[i];
        poller_.Submit(poller_.Gates()[point], counts, [done, i](const WriteOutcome& outcome) { done(i, outcome); });
    }
}

}  // namespace plexer::gateway
