#include "log_capture.h"

#include "kaldor.h"

LogCapture::LogCapture() { KaldorSetSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { KaldorSetSink(nullptr, nullptr); }

void LogCapture::Sink(int level, const char* line, void* user) {
    static_cast<LogCapture*>(user)->lines.push_back(LogLine{level, line});
}
