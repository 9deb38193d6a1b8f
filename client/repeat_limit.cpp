#include "repeat_limit.h"

namespace plexer {

std::optional<long> RepeatLimit::Admit(const std::string& line, Clock::time_point now) {
    const auto [place, fresh] = seen_.try_emplace(line, Seen{now, 0});
    if (fresh) return 0;
    Seen& seen = place->second;
    if (now - seen.shown < window_) {
        ++seen.heldBack;
        return std::nullopt;
    }
    const long heldBack = seen.heldBack;
    seen = Seen{now, 0};
    return heldBack;
}

std::vector<std::pair<std::string, long>> RepeatLimit::Overdue(Clock::time_point now) {
    std::vector<std::pair<std::string, long>> overdue;
    for (auto place = seen_.begin(); place != seen_.end();) {
        if (now - place->second.shown < window_) {
            ++place;
            continue;
        }
        if (place->second.heldBack > 0) overdue.emplace_back(place->first, place->second.heldBack);
        place = seen_.erase(place);
    }
    return overdue;
}

}  // namespace plexer
