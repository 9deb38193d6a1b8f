// The wire trace kept for the page's traffic monitor: a stream the trace
// writes its lines to, of which the last few hundred are kept.
#pragma once

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace plexer::gateway {

class TraceRing {
public:
    TraceRing();
    ~TraceRing();
    TraceRing(const TraceRing&) = delete;
    TraceRing& operator=(const TraceRing&) = delete;

    // Written by the trace's relay thread; valid as long as the ring.
    std::FILE* Stream() const { return stream_; }
    std::vector<std::string> Last() const;  // oldest first

private:
    static ssize_t Write(void* self, const char* bytes, std::size_t count);

    std::FILE* stream_ = nullptr;
    mutable std::mutex mutex_;
    std::string partial_;
    std::deque<std::string> lines_;
};

}  // namespace plexer::gateway
