// The host's side of the driver's logger: every line the driver hands to err
// arrives here with its level, is shown (or hidden by level) and is kept for
// the call in progress, so that a failure can be explained with its lines.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "repeat_limit.h"

namespace plexer {

struct LogLine {
    int level = 0;
    std::string text;
};

struct LogSettings {
    bool hideLevel8 = false;
    bool colour = false;
    // For a program nobody watches: each line begins with the local time, and
    // a driver line equal to one shown less than repeatWindow before is
    // counted, not shown (0: each is shown, and repeats within a call folded).
    bool timestamps = false;
    std::chrono::seconds repeatWindow{0};
};

class LogView {
public:
    // Installs itself as the sink of the err library until destroyed.
    explicit LogView(LogSettings settings);
    ~LogView();
    LogView(const LogView&) = delete;
    LogView& operator=(const LogView&) = delete;

    // Lines logged between the two calls come back from EndCall.
    void BeginCall();
    std::vector<LogLine> EndCall();

    // Off: lines are kept but not printed (a live table shows the last one).
    void SetEcho(bool echo) { echo_ = echo; }
    const std::optional<LogLine>& Last() const { return last_; }
    // A new view begins: what was logged before it is no longer its last line.
    void ForgetLast() { last_.reset(); }

    // Every line the driver logs is also handed to `tap` (on the caller's thread), until it is reset.
    void SetTap(std::function<void(const LogLine&)> tap) { tap_ = std::move(tap); }

    // The program's own remarks, on the same stream as the driver's lines.
    void Note(const std::string& text) const;
    bool Colour() const { return settings_.colour; }

private:
    static void Sink(int level, const char* line, void* user);
    void Receive(LogLine line);
    void ShowRepeats();
    void ShowFolded(const LogLine& line, bool shown);
    void ShowLimited(const LogLine& line);
    void ShowOverdue(RepeatLimit::Clock::time_point now);
    void Show(const std::string& text) const;

    LogSettings settings_;
    bool echo_ = true;
    long repeats_ = 0;  // shown lines held back since the last one printed, all equal to it
    std::vector<LogLine> call_;
    std::optional<LogLine> last_;
    std::optional<RepeatLimit> limit_;
    std::function<void(const LogLine&)> tap_;
};

// "[32] QSNDUT: ..." as shown on a terminal (coloured) or in a file.
std::string LogLineText(const LogLine& line, bool colour);

// Whether the line tells of one failed attempt on the line: a reply that did
// not arrive whole, an error reply, an unrecognised reply or a bad checksum.
bool IsReplyFault(const LogLine& line);

// "2025-03-04T05:06:07.089+01:00": local time to the millisecond, with its
// offset; in UTC "2025-03-04T04:06:07.089Z".
std::string LogTimestamp(std::chrono::system_clock::time_point at, bool utc = false);

}  // namespace plexer
