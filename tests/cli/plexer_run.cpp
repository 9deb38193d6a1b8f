#include "plexer_run.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace plexer::test {

namespace {

using Clock = std::chrono::steady_clock;

int ExitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

pid_t Spawn(std::vector<std::string> argv, int out, int err) {
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    // No terminal: standard input is empty, as under make or a CI runner.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

}  // namespace

ProgramRun RunPlexer(const std::vector<std::string>& args, std::chrono::milliseconds limit,
                     std::optional<std::chrono::milliseconds> interruptAfter) {
    std::vector<std::string> argv{PLEXER_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, limit, interruptAfter);
}

ProgramRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                      std::optional<std::chrono::milliseconds> interruptAfter) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = Spawn(argv, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    ProgramRun run;
    const Clock::time_point start = Clock::now();
    bool interrupted = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
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
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (!inTime) kill(pid, SIGKILL);
    for (const pollfd& p : fds) {
        if (p.fd >= 0) close(p.fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = inTime ? ExitCode(status) : -1;
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace plexer::test
