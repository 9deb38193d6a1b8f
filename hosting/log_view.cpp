#include "log_view.h"

#include <cstdio>

#include "console.h"
#include "kaldor.h"

namespace plexer {

namespace {

constexpr int kDetailLevel = 8;

// The driver's messages for a failed attempt, by their fixed beginnings.
constexpr const char* kReplyFaults[] = {
    "QSNDUT: Failed to read a character from PLC",
    "QSNDUT: Error. CR not found in PLC Reply!",
    "QSNDUT:Write failed! Unrecognized reply from PLC",
    "QSNDUT: Checksum Error.",
};

bool IsErrorReply(const std::string& text) {
    return text.starts_with("QSNDUT:Gate ") && (text.find(": Read failed! ErrorCode") != std::string::npos ||
                                                text.find(": Write failed! ErrorCode") != std::string::npos);
}

}  // namespace

LogView::LogView(LogSettings settings) : settings_(settings) { KaldorSetSink(&LogView::Sink, this); }

LogView::~LogView() { KaldorSetSink(nullptr, nullptr); }

void LogView::BeginCall() { call_.clear(); }

std::vector<LogLine> LogView::EndCall() { return std::move(call_); }

void LogView::Note(const std::string& text) const {
    std::fflush(stdout);
    WriteWhole(stderr, Paint("plexer: " + text, Colour::kDim, settings_.colour) + "\n");
}

void LogView::Sink(int level, const char* line, void* user) {
    static_cast<LogView*>(user)->Receive(LogLine{level, line});
}

void LogView::Receive(LogLine line) {
    const bool shown = echo_ && !(settings_.hideLevel8 && line.level == kDetailLevel);
    if (shown) {
        // Standard output is buffered: flush it so both streams keep their order.
        std::fflush(stdout);
        WriteWhole(stderr, LogLineText(line, settings_.colour) + "\n");
    }
    last_ = line;
    call_.push_back(std::move(line));
}

std::string LogLineText(const LogLine& line, bool colour) {
    const std::string text = "[" + std::to_string(line.level) + "] " + line.text;
    return Paint(text, line.level == kDetailLevel ? Colour::kDim : Colour::kYellow, colour);
}

bool IsReplyFault(const LogLine& line) {
    for (const char* fault : kReplyFaults) {
        if (line.text.starts_with(fault)) return true;
    }
    return IsErrorReply(line.text);
}

}  // namespace plexer
