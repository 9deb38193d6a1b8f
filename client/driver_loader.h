// Loads the driver library at run time, as the real host does, and finds its
// one export by name. One implementation per platform.
#pragma once

#include <string>

#include "qsnwndut.h"

namespace plexer {

class DriverLibrary {
public:
    // Throws std::runtime_error naming the path and the loader's reason.
    explicit DriverLibrary(const std::string& path);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    QsnMainFn Entry() const { return entry_; }

private:
    void* handle_ = nullptr;
    QsnMainFn entry_ = nullptr;
};

// The driver beside this program: libqsnwndut.so, or QSNWNDUT.dll on Windows.
std::string DefaultDriverPath();

}  // namespace plexer
