#include "sim_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "optomux/frame.h"

extern char** environ;

namespace qsn::test {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) Fail("pipe");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        for (int fd : {read, write}) {
            if (fd >= 0) close(fd);
        }
    }
    void CloseWrite() {
        close(write);
        write = -1;
    }
};

// Standard input is empty, as under make or a CI runner; `err` -1 keeps the test's.
pid_t Spawn(std::vector<std::string> argv, int out, int err) {
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        errno = failed;
        Fail("cannot start " + argv[0]);
    }
    return pid;
}

std::vector<std::string> SimulatorWith(const std::vector<std::string>& args) {
    std::vector<std::string> argv{SimulatorProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int ExitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads from `fd` until `done` says so, end of file, or the deadline; false on time-out.
template <typename Done>
bool ReadUntil(int fd, std::string& text, Clock::time_point deadline, Done done) {
    char buffer[512];
    while (!done(text)) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, MillisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string SimulatorProgram() { return QSN_SIM_PROGRAM; }

SimProcess::SimProcess(const std::vector<std::string>& args, std::chrono::milliseconds ready) {
    Pipe out;
    pid_ = Spawn(SimulatorWith(args), out.write, -1);
    out.CloseWrite();
    std::string printed;
    const bool inTime =
        ReadUntil(out.read, printed, Clock::now() + ready,
                  [](const std::string& t) { return t.find('\n') != std::string::npos; });
    const std::size_t newline = printed.find('\n');
    if (!inTime || newline == std::string::npos) {
        const int code = Stop(SIGKILL);
        throw std::runtime_error("the simulator did not print its slave path (exit " +
                                 std::to_string(code) + ")");
    }
    slavePath_ = printed.substr(0, newline);
}

SimProcess::~SimProcess() {
    if (pid_ > 0) Stop(SIGKILL);
}

int SimProcess::Stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return ExitCode(status);
}

ProgramRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                      std::optional<std::chrono::milliseconds> interruptAfter) {
    Pipe out;
    Pipe err;
    const pid_t pid = Spawn(argv, out.write, err.write);
    out.CloseWrite();
    err.CloseWrite();
    ProgramRun run;
    const Clock::time_point start = Clock::now();
    bool interrupted = false;
    // Both streams at once, so that a full pipe on one cannot stall the other.
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    int open = 2;
    bool inTime = true;
    while (open > 0) {
        const auto elapsed = Clock::now() - start;
        if (elapsed > limit) {
            inTime = false;
            break;
        }
        if (interruptAfter && !interrupted && elapsed >= *interruptAfter) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (poll(fds, 2, 20) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (!inTime) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = inTime ? ExitCode(status) : -1;
    return run;
}

ProgramRun RunSimulatorToExit(const std::vector<std::string>& args,
                              std::chrono::milliseconds limit) {
    return RunProgram(SimulatorWith(args), limit);
}

SimThread::SimThread(const sim::SimOptions& options)
    : simulator_(options), thread_([this] { simulator_.Run(); }) {}

SimThread::~SimThread() {
    simulator_.RequestStop();
    thread_.join();
}

RawPort::RawPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) Fail("cannot open " + path);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
}

RawPort::~RawPort() { close(fd_); }

void RawPort::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("write to the simulator");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string RawPort::Read(std::chrono::milliseconds quiet, std::size_t limit) {
    std::string text;
    char c = 0;
    while (text.size() < limit && (text.empty() || text.back() != '\r')) {
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(quiet.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || read(fd_, &c, 1) != 1) break;
        text.push_back(c);
    }
    return text;
}

std::string RawPort::Exchange(std::string_view frame, std::chrono::milliseconds quiet) {
    tcflush(fd_, TCIFLUSH);
    Send(frame);
    return Read(quiet);
}

std::string CommandFrame(std::uint8_t unit, char letter, const std::string& data) {
    char frame[kFrameCapacity];
    const std::size_t length = BuildCommandFrame(unit, letter, data.c_str(), frame);
    return std::string(frame, length);
}

}  // namespace qsn::test
