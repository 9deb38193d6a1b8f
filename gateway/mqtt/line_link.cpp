#include "line_link.h"

#include <algorithm>

namespace plexer::gateway::mqtt {

namespace {

// Looked at twice a poll interval, so that a value waits at most half an interval.
constexpr std::chrono::milliseconds kFastest{20};

}  // namespace

LineLink::LineLink(Poller& poller, const PollerOptions& options)
    : poller_(poller), look_(std::max(kFastest, options.interval / 2)) {}

LineSnapshot LineLink::Snapshot() const {
    return LineSnapshot{true, poller_.Points(), poller_.Units(), PollClock::now()};
}

void LineLink::Write(const Gate& gate, std::int16_t value, WriteDone done) {
    pending_.push_back(Pending{poller_.Write(gate, value), std::move(done)});
}

void LineLink::RunFinished() {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ++it;
            continue;
        }
        it->done(it->outcome.get());
        it = pending_.erase(it);
    }
}

PollClock::time_point LineLink::NextLook(PollClock::time_point now) const { return now + look_; }

}  // namespace plexer::gateway::mqtt
