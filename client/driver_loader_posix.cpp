#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "driver_loader.h"

namespace plexer {

DriverLibrary::DriverLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error("cannot load the driver " + path + ": " + dlerror());
    void* symbol = dlsym(handle_, "QsnMain");
    if (symbol == nullptr) {
        dlclose(handle_);
        throw std::runtime_error("the driver " + path + " does not export QsnMain");
    }
    entry_ = reinterpret_cast<QsnMainFn>(symbol);
}

DriverLibrary::~DriverLibrary() { dlclose(handle_); }

std::string DefaultDriverPath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path("libqsnwndut.so") : self.parent_path() / "libqsnwndut.so").string();
}

}  // namespace plexer
