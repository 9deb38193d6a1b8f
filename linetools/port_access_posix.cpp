#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "port_access.h"
#include "serial/termios_map.h"

namespace plexer {

namespace {

constexpr std::size_t kPortNameMax = 11;
constexpr std::string_view kDevPrefix = "/dev/";

std::string WithoutDevPrefix(const std::string& path) {
    return path.starts_with(kDevPrefix) ? path.substr(kDevPrefix.size()) : path;
}

constexpr unsigned kHighestDriverBaud = 65535;  // the host's baud field has 16 bits

std::string Busy(const std::string& path) {
    return path + " is busy: another program has it open (another plexer or a gateway?)";
}

std::string OpenProblem(const std::string& path, int error) {
    switch (error) {
    case ENOENT: return path + " does not exist";
    case EACCES:
    case EPERM: return path + ": permission denied (is the user in the group of the device, such as dialout?)";
    case EBUSY: return Busy(path);
    case ENXIO:
    case ENODEV: return path + ": no device behind it (unplugged?)";
    default: return path + ": " + std::strerror(error);
    }
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Held with the driver's own lock and TIOCEXCL, raw, and with the settings
// mapped exactly as the driver's backend maps them.
void SetUp(int fd, const std::string& path, const LineSettings& settings) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) Fail(path + " is busy");
    ioctl(fd, TIOCEXCL);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) Fail(path);
    qsn::platform::CommState state{};
    qsn::posix::MapFromTermios(tio, &state);
    state.baudRate = settings.baudRate;
    state.byteSize = static_cast<std::uint8_t>(settings.dataBits);
    state.parity = static_cast<std::uint8_t>(settings.parity);
    state.parityCheck = settings.parity != 0;
    state.stopBits = static_cast<std::uint8_t>(settings.stopBits);
    qsn::posix::ModemLines lines;
    if (qsn::posix::MapToTermios(state, &tio, &lines) != qsn::posix::MapResult::kOk) {
        throw std::runtime_error(path + " cannot take these line settings");
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail(path);
    tcflush(fd, TCIOFLUSH);
}

// The driver may open the same terminal next while another holder (the
// trace's relay) keeps it open, and the exclusive flag outlives this close.
void Release(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

// A device node known by what stat says of it: a node that vanished, or one
// that now stands for another device (a replugged adapter, a restarted
// simulator's new terminal behind the same link), is gone. A pseudo-terminal
// freed and taken by another program keeps its number, inode and device
// number; only its change time, to the kernel's tick, tells the new one from the old.
bool SameNode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

class DeviceNode : public LineDevice {
public:
    explicit DeviceNode(std::string given) : given_(std::move(given)), path_(DevicePath(given_)) { Opened(); }

    std::optional<std::string> Gone() const override {
        struct stat now {};
        if (stat(path_.c_str(), &now) != 0) return path_ + " is gone: " + std::strerror(errno);
        if (!known_ || !SameNode(now, *known_)) {
            return path_ + " is another device now";
        }
        return std::nullopt;
    }

    bool Present() const override {
        struct stat now {};
        return stat(path_.c_str(), &now) == 0;
    }

    std::string DriverName() const override {
        try {
            return DriverPortName(given_);
        } catch (const std::runtime_error&) {
            return given_;  // the driver refuses it and the line stays lost
        }
    }

    void Opened() override {
        struct stat info {};
        known_ = stat(path_.c_str(), &info) == 0 ? std::optional(info) : std::nullopt;
    }

private:
    std::string given_;
    std::string path_;
    std::optional<struct stat> known_;
};

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::unique_ptr<LineDevice> WatchDevice(const std::string& given) {
    if (given == "NUL") return nullptr;
    return std::make_unique<DeviceNode>(given);
}

// As given when absolute, else under /dev; the driver's "NUL" is the null device on purpose.
std::string DevicePath(const std::string& given) {
    if (given == "NUL") return "/dev/null";
    return given.starts_with('/') ? given : std::string(kDevPrefix) + given;
}

std::string PortProblem(const std::string& given) {
    if (given == "NUL") return "";
    const std::string path = DevicePath(given);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return OpenProblem(path, errno);
    if (S_ISDIR(info.st_mode)) return path + " is a directory, not a serial port";
    if (S_ISREG(info.st_mode)) return path + " is a regular file, not a serial port";
    if (!S_ISCHR(info.st_mode)) return path + " is not a serial port (not a character device)";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenProblem(path, errno);
    std::string problem;
    if (!isatty(fd)) {
        problem = path + " is not a terminal, so not a serial port";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The driver holds its port with this lock as well as TIOCEXCL, which root passes.
        problem = Busy(path);
    }
    close(fd);
    return problem;
}

std::vector<unsigned> SupportedBaudRates() {
    std::vector<unsigned> rates;
    for (unsigned baud = 1; baud <= kHighestDriverBaud; ++baud) {
        if (qsn::posix::SpeedFor(baud) != B0) rates.push_back(baud);
    }
    return rates;
}

std::optional<int> UsbLatencyTimerMs(const std::string& given, const std::filesystem::path& sysRoot) {
    std::error_code error;
    const std::filesystem::path device = std::filesystem::canonical(DevicePath(given), error);
    const std::string name = error ? std::filesystem::path(given).filename().string() : device.filename().string();
    // /sys/class/tty/NAME/device leads to the adapter's port, which holds the
    // setting when its driver has one (ftdi_sio and others).
    std::ifstream file(sysRoot / "class" / "tty" / name / "device" / "latency_timer");
    int ms = 0;
    if (!(file >> ms)) return std::nullopt;
    return ms;
}

std::string DriverPortName(const std::string& given) {
    if (given.size() <= kPortNameMax) return given;
    std::string name = WithoutDevPrefix(given);
    if (name.size() <= kPortNameMax) return name;
    std::error_code error;
    const std::string resolved = std::filesystem::canonical(given, error).string();
    if (!error) name = WithoutDevPrefix(resolved);
    if (!error && name.size() <= kPortNameMax) return name;
    throw std::runtime_error("port name " + given + " is longer than the driver's 11 characters");
}

HostLine::HostLine(const std::string& given, const LineSettings& settings) : handle_(-1) {
    const std::string path = DevicePath(given);
    // Opened without waiting for a carrier, then blocking: frames go out whole.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail(path);
    handle_ = fd;
    try {
        SetUp(fd, path, settings);
    } catch (...) {
        Release(fd);
        throw;
    }
}

HostLine::~HostLine() { Release(static_cast<int>(handle_)); }

std::string HostLine::Exchange(const std::string& frame, std::chrono::milliseconds wait) {
    const int fd = static_cast<int>(handle_);
    tcflush(fd, TCIFLUSH);
    if (!WriteAll(fd, frame)) return "";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::string reply;
    while (reply.empty() || reply.back() != '\r') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        char c = 0;
        if (ready <= 0 || read(fd, &c, 1) != 1) break;
        reply.push_back(c);
    }
    return reply;
}

}  // namespace plexer
