// Runs a Windows program under Wine with a COM port mapped to a pseudo-terminal.
//
//   wine_fixture --prefix DIR [--com N] [--peer-cmd CMD | --peer-device CMD] [--timeout SECONDS]
//                -- PROGRAM.exe [ARGS...]
//   wine_fixture --serve TTY
//
// The first form takes the lock of the private Wine prefix DIR (creating the
// prefix once), links DIR/dosdevices/comN to a fresh pseudo-terminal and runs
// `wine PROGRAM.exe ARGS`, whose output goes straight through and whose exit
// code becomes the fixture's. Without --peer-cmd the far end of the line stays
// silent. With it, the fixture opens a second pseudo-terminal, joins the two
// like a null-modem cable, runs `sh -c 'CMD TTY'` with that terminal's path and
// waits for the peer to print its first line (it is ready) before Wine starts.
// A peer that makes its own device, such as the unit simulator, is run with
// --peer-device: `sh -c 'CMD'`, whose first line is the path that comN links to.
// Everything the fixture started is stopped by process id, and the link removed.
//
// The second form is the scripted peer of peer_protocol.h on the device TTY.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "peer_protocol.h"

namespace fs = std::filesystem;

namespace {

constexpr int kReadyTimeoutMs = 10000;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] void FailSystem(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

struct Options {
    fs::path prefix;
    int com = 7;
    std::string peerCmd;
    std::string peerDeviceCmd;
    int timeoutS = 240;
    std::vector<std::string> program;
};

Options Parse(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) Fail("missing value after " + flag);
        const char* value = argv[++i];
        if (flag == "--prefix") o.prefix = value;
        else if (flag == "--com") o.com = std::atoi(value);
        else if (flag == "--peer-cmd") o.peerCmd = value;
        else if (flag == "--peer-device") o.peerDeviceCmd = value;
        else if (flag == "--timeout") o.timeoutS = std::atoi(value);
        else Fail("unknown option " + flag);
    }
    for (++i; i < argc; ++i) o.program.emplace_back(argv[i]);
    if (o.prefix.empty() || o.program.empty()) Fail("usage: --prefix DIR [...] -- PROGRAM [ARGS]");
    if (!fs::is_regular_file(o.program[0])) Fail("no such program " + o.program[0]);
    return o;
}

// A file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd& operator=(Fd&&) = delete;
    ~Fd() { if (fd >= 0) close(fd); }
};

// A child process in a process group of its own; whatever is still running
// when it goes out of scope is stopped, with anything it started itself.
struct Child {
    pid_t pid = -1;
    int status = 0;

    explicit Child(const std::vector<std::string>& argv, int stdoutFd = -1) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid = fork();
        if (pid < 0) FailSystem("fork");
        if (pid == 0) {
            setpgid(0, 0);
            if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
            execvp(args[0], args.data());
            std::perror(args[0]);
            _exit(127);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    // Waits up to timeoutMs (a pidfd wakes the poll on exit); false if it is still running.
    bool Wait(int timeoutMs) {
        if (pid < 0) return true;
        const Fd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        if (exited.fd < 0) FailSystem("pidfd_open");
        pollfd p{exited.fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        waitpid(pid, &status, 0);
        pid = -1;
        return true;
    }

    void Stop() {
        if (pid < 0) return;
        kill(-pid, SIGTERM);
        if (!Wait(2000)) {
            kill(-pid, SIGKILL);
            Wait(-1);
        }
    }

    int ExitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
};

int RunToEnd(const std::vector<std::string>& argv) {
    Child child(argv);
    child.Wait(-1);
    return child.ExitCode();
}

// Holds the prefix's lock for the whole run, so runs never share the prefix.
struct PrefixLock {
    Fd lock;
    explicit PrefixLock(const fs::path& prefix) {
        fs::create_directories(prefix.parent_path());
        lock.fd = open((prefix.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) FailSystem("cannot lock " + prefix.string());
    }
};

void SetWineEnvironment(const fs::path& prefix) {
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
}

// The first run creates the prefix; the registry is written once the server is done.
void EnsurePrefix(const fs::path& prefix) {
    if (fs::exists(prefix / "system.reg")) return;
    std::printf("wine_fixture: creating the Wine prefix %s\n", prefix.c_str());
    std::fflush(stdout);
    if (RunToEnd({"wineboot", "-i"}) != 0 || RunToEnd({"wineserver", "-w"}) != 0 ||
        !fs::exists(prefix / "system.reg")) {
        Fail("wineboot could not create " + prefix.string() + " (is wine32 installed?)");
    }
}

struct Pty {
    Fd master, slave;
    std::string path;
};

// Raw from the start, so nothing is echoed or translated before Wine configures it.
Pty OpenRawPty() {
    termios raw{};
    cfmakeraw(&raw);
    char name[128];
    Pty pty;
    if (openpty(&pty.master.fd, &pty.slave.fd, name, &raw, nullptr) != 0) FailSystem("openpty");
    fcntl(pty.master.fd, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave.fd, F_SETFD, FD_CLOEXEC);
    pty.path = name;
    return pty;
}

// dosdevices/comN -> the pseudo-terminal, for as long as the fixture runs.
struct ComLink {
    fs::path link;
    ComLink(const fs::path& prefix, int com, const std::string& target)
        : link(prefix / "dosdevices" / ("com" + std::to_string(com))) {
        fs::remove(link);
        fs::create_symlink(target, link);
    }
    ~ComLink() {
        std::error_code ignored;
        fs::remove(link, ignored);
    }
};

bool WriteAll(int fd, const void* bytes, std::size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Joins two pseudo-terminal masters like a null-modem cable until stopped.
// The masters are non-blocking, so that a side nobody reads cannot hold up the stop.
class Cable {
public:
    Cable(int a, int b) {
        if (pipe2(stop_, O_CLOEXEC) != 0) FailSystem("pipe");
        for (int fd : {a, b}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this, a, b] { Run(a, b); });
    }
    ~Cable() {
        close(stop_[1]);
        thread_.join();
        close(stop_[0]);
    }

private:
    // Waits for `events` on fd; false once the cable is stopped.
    bool Await(int fd, short events) {
        pollfd p[2] = {{fd, events, 0}, {stop_[0], POLLIN, 0}};
        while (poll(p, 2, -1) < 0) {
            if (errno != EINTR) return false;
        }
        return p[1].revents == 0;
    }
    void Run(int a, int b) {
        for (;;) {
            pollfd p[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 3, -1) < 0 && errno != EINTR) return;
            if (p[2].revents != 0) return;
            if ((p[0].revents & POLLIN) && !Copy(a, b)) return;
            if ((p[1].revents & POLLIN) && !Copy(b, a)) return;
        }
    }
    bool Copy(int from, int to) {
        unsigned char buffer[4096];
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        for (ssize_t at = 0; at < n;) {
            const ssize_t w = write(to, buffer + at, static_cast<std::size_t>(n - at));
            if (w > 0) {
                at += w;
            } else if (w == 0 || (errno != EINTR && !(errno == EAGAIN && Await(to, POLLOUT)))) {
                return false;
            }
        }
        return n > 0;
    }

    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// Runs a peer command; ready once it prints a line, which goes to `firstLine`.
std::unique_ptr<Child> StartPeer(const std::string& command, std::string* firstLine) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) FailSystem("pipe");
    const Fd readEnd(out[0]), writeEnd(out[1]);
    auto peer = std::make_unique<Child>(std::vector<std::string>{"/bin/sh", "-c", command},
                                        writeEnd.fd);
    pollfd p{readEnd.fd, POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, kReadyTimeoutMs) > 0 && read(readEnd.fd, &c, 1) == 1 && c != '\n') {
        *firstLine += c;
    }
    if (c != '\n') Fail("peer not ready: " + command);
    return peer;
}

// Wine leaves its server and services behind for a while; these belong to
// this prefix only, which the fixture holds locked.
void StopWineServer() { RunToEnd({"wineserver", "-k"}); }

int RunUnderWine(const Options& o) {
    const PrefixLock lock(o.prefix);
    SetWineEnvironment(o.prefix);
    EnsurePrefix(o.prefix);

    std::unique_ptr<Pty> line, far;
    std::unique_ptr<Cable> cable;
    std::unique_ptr<Child> peer;
    std::string device;
    if (!o.peerDeviceCmd.empty()) {
        peer = StartPeer(o.peerDeviceCmd, &device);
    } else {
        line = std::make_unique<Pty>(OpenRawPty());
        device = line->path;
    }
    if (!o.peerCmd.empty() && line) {
        far = std::make_unique<Pty>(OpenRawPty());
        cable = std::make_unique<Cable>(line->master.fd, far->master.fd);
        std::string ready;
        peer = StartPeer(o.peerCmd + " " + far->path, &ready);
    }
    const ComLink link(o.prefix, o.com, device);

    std::vector<std::string> argv{"wine"};
    argv.insert(argv.end(), o.program.begin(), o.program.end());
    Child wine(argv);
    const bool finished = wine.Wait(o.timeoutS * 1000);
    if (!finished) std::printf("wine_fixture: %s ran out of time\n", o.program[0].c_str());
    wine.Stop();
    StopWineServer();
    return finished ? wine.ExitCode() : 1;
}

// The scripted peer: answers requests on the device until it is stopped.
bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c = 0;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') return true;
        *line += c;
    }
    return false;
}

void Send(int fd, std::uint32_t count, std::uint32_t chunk, std::uint32_t gapMs) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint32_t i = 0; i < count; ++i) bytes[i] = qsn::peer::PatternByte(i);
    for (std::uint32_t at = 0; at < count; at += chunk) {
        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        WriteAll(fd, bytes.data() + at, std::min(chunk, count - at));
    }
}

void Echo(int fd, std::uint32_t count) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t b = 0;
    while (bytes.size() < count && read(fd, &b, 1) == 1) bytes.push_back(qsn::peer::Complement(b));
    WriteAll(fd, bytes.data(), bytes.size());
}

int Serve(const char* tty) {
    const Fd device(open(tty, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios raw{};
    if (device.fd < 0 || tcgetattr(device.fd, &raw) != 0) FailSystem(std::string("cannot open ") + tty);
    cfmakeraw(&raw);
    tcsetattr(device.fd, TCSANOW, &raw);
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (ReadLine(device.fd, &line)) {
        unsigned count = 0, chunk = 0, gap = 0;
        if (std::sscanf(line.c_str(), "SEND %u %u %u", &count, &chunk, &gap) == 3 && chunk > 0) {
            Send(device.fd, count, chunk, gap);
        } else if (std::sscanf(line.c_str(), "ECHO %u", &count) == 1) {
            Echo(device.fd, count);
        } else {
            std::fprintf(stderr, "peer: unknown request \"%s\"\n", line.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(argv[2]);
        return RunUnderWine(Parse(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wine_fixture: %s\n", e.what());
        return 1;
    }
}
