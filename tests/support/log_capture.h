// Captures every line the driver logs through err, with its level.
#pragma once

#include <ostream>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

inline void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "{" << line.level << ", \"" << line.text << "\"}";
}

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines;

private:
    static void Sink(int level, const char* line, void* user);
};
