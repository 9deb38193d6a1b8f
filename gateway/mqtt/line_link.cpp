#include "line_link.h"

namespace plexer::gateway::mqtt {

LineSnapshot LineLink::Snapshot() const {
    return LineSnapshot{poller_.Line().up, poller_.Points(), poller_.Units(), PollClock::now()};
}

void LineLink::Write(const Gate& gate, std::int16_t value, Poller::WriteDone done) {
    poller_.Submit(gate, value, std::move(done));
}

}  // namespace plexer::gateway::mqtt
