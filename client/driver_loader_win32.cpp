#include <windows.h>

#include <stdexcept>
#include <string>

#include "driver_loader.h"

namespace plexer {

namespace {

std::string LastErrorText() {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    const std::string message = text;
    return message.substr(0, message.find_last_not_of("\r\n") + 1);
}

}  // namespace

DriverLibrary::DriverLibrary(const std::string& path) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) throw std::runtime_error("cannot load the driver " + path + ": " + LastErrorText());
    // FARPROC to the driver's own signature: the export is looked up by name, as the host does.
    const FARPROC symbol = GetProcAddress(module, "QsnMain");
    if (symbol == nullptr) {
        FreeLibrary(module);
        throw std::runtime_error("the driver " + path + " does not export QsnMain");
    }
    handle_ = module;
    entry_ = reinterpret_cast<QsnMainFn>(reinterpret_cast<void*>(symbol));
}

DriverLibrary::~DriverLibrary() { FreeLibrary(static_cast<HMODULE>(handle_)); }

std::string DefaultDriverPath() {
    char self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, length);
    const std::size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "QSNWNDUT.dll";
}

}  // namespace plexer
