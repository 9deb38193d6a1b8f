#include "wire_trace.h"

#include "display_text.h"
#include "wire_text.h"

namespace plexer {

namespace {

// "    12.345 ms": since the trace began, in a column of its own.
std::string Milliseconds(TraceLog::Clock::duration since) {
    char text[32];
    std::snprintf(text, sizeof text, "%10.3f ms", std::chrono::duration<double, std::milli>(since).count());
    return text;
}

}  // namespace

void TraceLog::Flush() {
    if (!sent_.bytes.empty()) Complete(sent_, true);
    if (!received_.bytes.empty()) Complete(received_, false);
    ShowCommand("");
}

void TraceLog::Note(const std::string& text, Clock::time_point at) {
    Flush();
    Write(Milliseconds(at - start_) + "  -- " + text + "\n");
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
    Write(Milliseconds(at - start_) + (sent ? "  -> " : "  <- ") + Escaped(bytes) + "  " + meaning + "\n");
}

void TraceLog::Write(const std::string& line) {
    for (std::FILE* out : {out_, copy_}) {
        if (out == nullptr) continue;
        std::fputs(line.c_str(), out);
        std::fflush(out);
    }
}

}  // namespace plexer
