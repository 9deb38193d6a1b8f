#define KALDOR_BUILDING
#include "kaldor.h"

#include <cstdarg>
#include <cstdio>

namespace {

KaldorSink installedSink = nullptr;
void* installedUser = nullptr;

}  // namespace

extern "C" int err(int level, const char* format, ...) {
    char line[KALDOR_LINE_MAX];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) return 0;
    if (installedSink != nullptr) {
        installedSink(level, line, installedUser);
    } else {
        std::fprintf(stderr, "[%d] %s\n", level, line);
    }
    return length;
}

extern "C" void KaldorSetSink(KaldorSink sink, void* user) {
    installedSink = sink;
    installedUser = user;
}
