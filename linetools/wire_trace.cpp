#include "wire_trace.h"

#include "display_text.h"
#include "wire_text.h"

namespace plexer {

void TraceLog::Flush() {
    if (!sent_.bytes.empty()) Complete(sent_, true);
    if (!received_.bytes.empty()) Complete(received_, false);
    ShowCommand("");
}

void TraceLog::Note(const std::string& text, Clock::time_point at) {
    Flush();
    const double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    std::fprintf(out_, "%10.3f ms  -- %s\n", ms, text.c_str());
    std::fflush(out_);
}

// One side starting to talk ends what the other side was saying.
void TraceLog::Take(bool sent, const char* bytes, std::size_t count, Clock::time_point at) {
    Pending& other = sent ? received_ : sent_;
    if (!other.bytes.empty()) Complete(other, !sent);
    Pending& pending = sent ? sent_ : received_;
    for (std::size_t i = 0; i < count; ++i) {
        if (pending.bytes.empty()) pending.first = at;
        pending.bytes.push_back(bytes[i]);
        if (bytes[i] == '\r') Complete(pending, sent);
    }
}

void TraceLog::Complete(Pending& pending, bool sent) {
    if (sent) {
        ShowCommand("");
        command_ = pending;
    } else {
        ShowCommand(pending.bytes);
        Line(pending.first, false, pending.bytes, DescribeReply(pending.bytes, answered_));
    }
    pending.bytes.clear();
}

void TraceLog::ShowCommand(const std::string& reply) {
    if (command_.bytes.empty()) return;
    Line(command_.first, true, command_.bytes, DescribeCommand(command_.bytes, reply));
    answered_ = command_.bytes;
    command_.bytes.clear();
}

void TraceLog::Line(Clock::time_point at, bool sent, const std::string& bytes, const std::string& meaning) {
    const double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    std::fprintf(out_, "%10.3f ms  %s %s  %s\n", ms, sent ? "->" : "<-", Escaped(bytes).c_str(), meaning.c_str());
    std::fflush(out_);
}

}  // namespace plexer
