/* Stand-in for the host library KALDOR.DLL: the logger the driver calls.
 *
 * err formats one line and hands it to the installed sink; without a sink
 * the line goes to standard error as "[level] text". A host (plexer, a test)
 * installs its own sink to capture the lines with their levels. Valid C and C++. */
#ifndef KALDOR_H
#define KALDOR_H

#if defined(_WIN32)
#if defined(KALDOR_BUILDING)
#define KALDOR_API __declspec(dllexport)
#else
#define KALDOR_API __declspec(dllimport)
#endif
#else
#define KALDOR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Longest line the stand-in formats; longer output is cut there. */
#define KALDOR_LINE_MAX 1024

typedef void (*KaldorSink)(int level, const char* line, void* user);

/* The host's logger: printf conventions, result ignored by the driver. */
KALDOR_API int err(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Installs the sink for every later line; a null sink restores standard error. */
KALDOR_API void KaldorSetSink(KaldorSink sink, void* user);

#ifdef __cplusplus
}
#endif

#endif /* KALDOR_H */
