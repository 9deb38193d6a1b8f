#include "log_view.h"

#include <cstdio>

#include "terminal.h"
#include "kaldor.h"

namespace plexer {

namespace {

constexpr int kDetailLevel = 8;

// Success notices that -q hides along with the details.
constexpr const char* kQuietNotices[] = {"QSNDUT: duTec Driver, loaded successfully."};

bool HiddenWhenQuiet(const LogLine& line) {
    if (line.level == kDetailLevel) return true;
    for (const char* notice : kQuietNotices) {
        if (line.text == notice) return true;
    }
    return false;
}

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

LogView::~LogView() {
    ShowRepeats();
    KaldorSetSink(nullptr, nullptr);
}

void LogView::BeginCall() { call_.clear(); }

std::vector<LogLine> LogView::EndCall() {
    ShowRepeats();
    return std::move(call_);
}

// One repeat is shown as it came; more are counted in one note.
void LogView::ShowRepeats() {
    if (repeats_ == 1 && last_) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", LogLineText(*last_, settings_.colour).c_str());
    } else if (repeats_ > 1) {
        Note("the driver repeated that line " + std::to_string(repeats_) + " more times");
    }
    repeats_ = 0;
}

void LogView::Note(const std::string& text) const {
    std::fflush(stdout);
    WriteWhole(stderr, Paint("plexer: " + text, Colour::kDim, settings_.colour) + "\n");
}

void LogView::Sink(int level, const char* line, void* user) {
    static_cast<LogView*>(user)->Receive(LogLine{level, line});
}

void LogView::Receive(LogLine line) {
    const bool shown = echo_ && !(settings_.hideLevel8 && HiddenWhenQuiet(line));
    // A line equal to the last one shown in this call is counted, not printed again.
    const bool repeat = shown && !call_.empty() && last_ && last_->level == line.level && last_->text == line.text;
    if (repeat) {
        ++repeats_;
    } else {
        ShowRepeats();
    }
    if (shown && !repeat) {
        // Standard output is buffered: flush it so both streams keep their order.
        std::fflush(stdout);
        WriteWhole(stderr, LogLineText(line, settings_.colour) + "\n");
    }
    if (tap_) tap_(line);
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
