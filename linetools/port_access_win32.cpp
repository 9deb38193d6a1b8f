#include <windows.h>

#include <stdexcept>

#include "port_access.h"

namespace plexer {

namespace {

constexpr std::size_t kPortNameMax = 11;

}  // namespace

std::string DevicePath(const std::string& given) { return given; }

// A COM port that goes is not told apart from a silent line here.
std::unique_ptr<LineDevice> WatchDevice(const std::string&) { return nullptr; }

std::string PortProblem(const std::string& given) {
    if (given == "NUL") return "";
    // Opened as the driver opens it, without sharing: the error says why the driver would fail.
    const HANDLE handle =
        CreateFileA(given.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        const bool serial = GetFileType(handle) == FILE_TYPE_CHAR && GetCommState(handle, &dcb);
        CloseHandle(handle);
        return serial ? "" : given + " is not a serial port";
    }
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return given + " does not exist";
    case ERROR_ACCESS_DENIED:
        return given + " is busy or denied: another program has it open (another plexer or a gateway?)";
    case ERROR_SHARING_VIOLATION: return given + " is busy: another program has it open";
    default: return given + " does not open (Windows error " + std::to_string(error) + ")";
    }
}

std::vector<unsigned> SupportedBaudRates() { return {}; }

std::optional<int> UsbLatencyTimerMs(const std::string&, const std::filesystem::path&) { return std::nullopt; }

std::string DriverPortName(const std::string& given) {
    if (given.size() <= kPortNameMax) return given;
    throw std::runtime_error("port name " + given + " is longer than the driver's 11 characters");
}

std::string ProbeExchange(std::uint32_t port, const std::string& frame, std::chrono::milliseconds wait) {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(port));
    COMMTIMEOUTS saved{};
    if (!GetCommTimeouts(handle, &saved)) return "";
    PurgeComm(handle, PURGE_RXCLEAR);
    DWORD written = 0;
    if (!WriteFile(handle, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) ||
        written != frame.size()) {
        return "";
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait.count());
    std::string reply;
    while (reply.empty() || reply.back() != '\r') {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        COMMTIMEOUTS timeouts{0, 0, static_cast<DWORD>(deadline - now), 0, 0};
        SetCommTimeouts(handle, &timeouts);
        char c = 0;
        DWORD received = 0;
        if (!ReadFile(handle, &c, 1, &received, nullptr) || received != 1) break;
        reply.push_back(c);
    }
    // The driver's own read time-out must survive the probe.
    SetCommTimeouts(handle, &saved);
    return reply;
}

}  // namespace plexer
