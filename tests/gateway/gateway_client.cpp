#include "gateway_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

extern char** environ;

namespace gateway_test {

using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> WithPlexer(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PLEXER_PROGRAM, "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

Gateway::Gateway(const std::vector<std::string>& args) : Gateway(WithPlexer(args), 60s) {}

Gateway::Gateway(std::vector<std::string> argv, std::chrono::milliseconds limit) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const int failed = posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
    const std::smatch found = Await(std::regex(R"((listening on \S*:|"port":)(\d+)\D)"), limit);
    port_ = std::stoi(found[2]);
}

Gateway::~Gateway() {
    if (pid_ > 0) Stop(SIGKILL);
    close(out_);
}

void Gateway::Signal(int signal) const { kill(pid_, signal); }

int Gateway::Stop(int signal) {
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    while (Read(Clock::now() + 5s)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::smatch Gateway::Await(const std::regex& pattern, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    std::smatch match;
    while (!std::regex_search(printed_, match, pattern)) {
        if (!Read(deadline)) throw std::runtime_error("gateway never printed the awaited line:\n" + printed_);
    }
    return match;
}

bool Gateway::Read(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    printed_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

Socket::Socket(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        throw std::runtime_error("cannot connect");
    }
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Socket::~Socket() { close(fd_); }

bool Socket::Send(const Bytes& bytes) const {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<Bytes> Socket::Receive(std::chrono::milliseconds limit, std::size_t want) const {
    Bytes bytes;
    const Clock::time_point deadline = Clock::now() + limit;
    while (bytes.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        std::uint8_t buffer[512];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return bytes.empty() ? std::nullopt : std::optional<Bytes>(bytes);
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

Bytes Adu(std::uint8_t unit, Bytes pdu, std::uint16_t transaction) {
    const auto length = static_cast<std::uint8_t>(pdu.size() + 1);
    pdu.insert(pdu.begin(), {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0,
                             0, length, unit});
    return pdu;
}

Bytes Exchange(int port, std::uint8_t unit, const Bytes& pdu) {
    Socket client(port);
    client.Send(Adu(unit, pdu));
    const std::optional<Bytes> reply = client.Receive(5s, 9);
    if (!reply || reply->size() < 8) return {};
    return Bytes(reply->begin() + 7, reply->end());
}

int ReadInput(int port, std::uint8_t unit, std::uint16_t address) {
    const Bytes pdu =
        Exchange(port, unit, {4, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), 0, 1});
    if (pdu.size() == 2 && pdu[0] == 0x84) return 0x10000 + pdu[1];
    if (pdu.size() == 4) return pdu[2] << 8 | pdu[3];
    return -1;
}

}  // namespace gateway_test
