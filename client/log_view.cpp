#include "log_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "terminal.h"
#include "kaldor.h"

namespace plexer {

namespace {

constexpr int kDetailLevel = 8;

// Success notices that -q hides along with the details.
constexpr const char* kQuietNotices[] = {"QSNDUT: duTec Driver, loaded successfully."};

bool HiddenWhenQuiet(const LogLine& line) {
    return line.level == kDetailLevel ||
           std::ranges::any_of(kQuietNotices, [&](const char* notice) { return line.text == notice; });
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

std::string RepeatedText(long heldBack) {
    if (heldBack <= 0) return "";
    return heldBack == 1 ? " (repeated once)" : " (repeated " + std::to_string(heldBack) + " times)";
}

}  // namespace

LogView::LogView(LogSettings settings) : settings_(settings) {
    if (settings_.repeatWindow.count() > 0) limit_.emplace(settings_.repeatWindow);
    KaldorSetSink(&LogView::Sink, this);
}

LogView::~LogView() {
    ShowRepeats();
    if (limit_) ShowOverdue(RepeatLimit::Clock::time_point::max());
    KaldorSetSink(nullptr, nullptr);
}

void LogView::BeginCall() { call_.clear(); }

std::vector<LogLine> LogView::EndCall() {
    ShowRepeats();
    if (limit_) ShowOverdue(RepeatLimit::Clock::now());
    return std::move(call_);
}

// One repeat is shown as it came; more are counted in one note.
void LogView::ShowRepeats() {
    if (repeats_ == 1 && last_) {
        Show(LogLineText(*last_, settings_.colour));
    } else if (repeats_ > 1) {
        Note("the driver repeated that line " + std::to_string(repeats_) + " more times");
    }
    repeats_ = 0;
}

void LogView::Note(const std::string& text) const { Show(Paint("plexer: " + text, Colour::kDim, settings_.colour)); }

// Standard output is buffered: flushed first, so that both streams keep their order.
void LogView::Show(const std::string& text) const {
    std::fflush(stdout);
    const std::string time = settings_.timestamps ? LogTimestamp(std::chrono::system_clock::now()) + " " : "";
    WriteWhole(stderr, time + text + "\n");
}

void LogView::Sink(int level, const char* line, void* user) {
    static_cast<LogView*>(user)->Receive(LogLine{level, line});
}

void LogView::Receive(LogLine line) {
    const bool shown = echo_ && !(settings_.hideLevel8 && HiddenWhenQuiet(line));
    if (limit_) {
        if (shown) ShowLimited(line);
    } else {
        ShowFolded(line, shown);
    }
    if (tap_) tap_(line);
    last_ = line;
    call_.push_back(std::move(line));
}

// A line equal to the last one shown in this call is counted, not printed again.
void LogView::ShowFolded(const LogLine& line, bool shown) {
    const bool repeat = shown && !call_.empty() && last_ && last_->level == line.level && last_->text == line.text;
    if (repeat) {
        ++repeats_;
        return;
    }
    ShowRepeats();
    if (shown) Show(LogLineText(line, settings_.colour));
}

void LogView::ShowLimited(const LogLine& line) {
    const RepeatLimit::Clock::time_point now = RepeatLimit::Clock::now();
    const std::optional<long> heldBack = limit_->Admit(LogLineText(line, false), now);
    if (heldBack) Show(LogLineText(line, settings_.colour) + RepeatedText(*heldBack));
    ShowOverdue(now);
}

void LogView::ShowOverdue(RepeatLimit::Clock::time_point now) {
    for (const auto& [text, heldBack] : limit_->Overdue(now)) Show(text + RepeatedText(heldBack));
}

std::string LogLineText(const LogLine& line, bool colour) {
    const std::string text = "[" + std::to_string(line.level) + "] " + line.text;
    return Paint(text, line.level == kDetailLevel ? Colour::kDim : Colour::kYellow, colour);
}

bool IsReplyFault(const LogLine& line) {
    return std::ranges::any_of(kReplyFaults, [&](const char* fault) { return line.text.starts_with(fault); }) ||
           IsErrorReply(line.text);
}

std::string LogTimestamp(std::chrono::system_clock::time_point at, bool utc) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm parts{};
#ifdef _WIN32
    utc ? gmtime_s(&parts, &seconds) : localtime_s(&parts, &seconds);
#else
    utc ? gmtime_r(&seconds, &parts) : localtime_r(&seconds, &parts);
#endif
    char date[32];
    char offset[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
    std::strftime(offset, sizeof offset, "%z", &parts);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03d", date, static_cast<int>(millis));
    // "%z" gives "+0100"; ISO 8601 writes "+01:00".
    const std::string zone = offset;
    return std::string(text) + (utc ? "Z" : zone.substr(0, 3) + ":" + zone.substr(std::min<std::size_t>(3, zone.size())));
}

}  // namespace plexer
