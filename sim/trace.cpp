#include "sim/trace.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

#include "display_text.h"

namespace qsn::sim {

namespace {

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1000000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long long>(micros));
    return text;
}

}  // namespace

Trace::Trace(const std::string& path) {
    if (path.empty()) return;
    if (path == "-") {
        out_ = stderr;
        return;
    }
    out_ = std::fopen(path.c_str(), "w");
    if (out_ == nullptr) throw std::runtime_error("cannot write the trace file " + path);
    owned_ = true;
}

Trace::~Trace() {
    if (owned_) std::fclose(out_);
}

void Trace::Received(std::string_view bytes, std::string_view note) { Line("RX", bytes, note); }

void Trace::Sent(std::string_view bytes, std::string_view note) { Line("TX", bytes, note); }

void Trace::Note(std::string_view note) {
    if (out_ == nullptr) return;
    std::fprintf(out_, "%s -- %.*s\n", Timestamp().c_str(), static_cast<int>(note.size()),
                 note.data());
    std::fflush(out_);
}

void Trace::Line(std::string_view direction, std::string_view bytes, std::string_view note) {
    if (out_ == nullptr) return;
    const std::string text = plexer::Escaped(bytes);
    std::fprintf(out_, "%s %.*s \"%s\" %.*s\n", Timestamp().c_str(),
                 static_cast<int>(direction.size()), direction.data(), text.c_str(),
                 static_cast<int>(note.size()), note.data());
    std::fflush(out_);
}

}  // namespace qsn::sim
