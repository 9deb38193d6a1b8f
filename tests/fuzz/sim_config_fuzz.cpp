// The simulator's config loader: any text is either a set of options or a
// ConfigError naming the fault; nothing else may escape.
#include <string>

#include "sim/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        qsn::sim::ConfigToOptions(qsn::sim::ParseConfigText(text));
    } catch (const qsn::sim::ConfigError&) {
    }
    return 0;
}
