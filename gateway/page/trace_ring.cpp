#include "trace_ring.h"

#include <stdexcept>

namespace plexer::gateway {

namespace {

constexpr std::size_t kLinesKept = 300;

}  // namespace

TraceRing::TraceRing() {
    cookie_io_functions_t functions{};
    functions.write = &TraceRing::Write;
    stream_ = fopencookie(this, "w", functions);
    if (stream_ == nullptr) throw std::runtime_error("the page's trace stream cannot be made");
    setvbuf(stream_, nullptr, _IOLBF, 0);
}

TraceRing::~TraceRing() { std::fclose(stream_); }

std::vector<std::string> TraceRing::Last() const {
    const std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

ssize_t TraceRing::Write(void* self, const char* bytes, std::size_t count) {
    auto& ring = *static_cast<TraceRing*>(self);
    const std::lock_guard lock(ring.mutex_);
    ring.partial_.append(bytes, count);
    for (std::size_t end; (end = ring.partial_.find('\n')) != std::string::npos;) {
        ring.lines_.push_back(ring.partial_.substr(0, end));
        ring.partial_.erase(0, end + 1);
        if (ring.lines_.size() > kLinesKept) ring.lines_.pop_front();
    }
    return static_cast<ssize_t>(count);
}

}  // namespace plexer::gateway
