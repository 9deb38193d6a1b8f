// The gateway's one logger: every line from every part through the session's
// log, with its timestamps, tagged with where it comes from ("mqtt: ...").
// A face's line repeated within the window is held back and counted, as the
// driver's lines are, and each face shows at most so many lines a window, so
// that no client can flood the log through one face. The gateway's own lines
// (line lost and back, reloads) are events an operator waits for: never held.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "repeat_limit.h"

namespace plexer::gateway {

class Logger {
public:
    using Sink = std::function<void(const std::string&)>;
    using Clock = RepeatLimit::Clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        Clock::duration window = std::chrono::seconds(60);
        int linesPerWindow = 30;  // of each source
    };

    explicit Logger(Sink sink) : Logger(std::move(sink), Limits{}) {}
    Logger(Sink sink, Limits limits, Now now = Clock::now);
    // Says what is still held back.
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Any thread. The gateway's own lines, then those of a face.
    void Note(const std::string& text) const { Note("", text); }
    void Note(std::string_view source, const std::string& text) const;

private:
    struct Budget {
        Clock::time_point since;
        int shown = 0;
        long dropped = 0;
    };
    Budget& BudgetOf(std::string_view source, Clock::time_point now) const;
    void ShowOverdue(Clock::time_point now) const;

    Sink sink_;
    Limits limits_;
    Now now_;
    mutable std::mutex mutex_;  // guards what follows, and keeps lines whole and in order
    mutable RepeatLimit repeats_;
    mutable std::map<std::string, Budget, std::less<>> budgets_;
};

}  // namespace plexer::gateway
