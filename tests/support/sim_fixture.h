// Puts a simulated line of Optomux units on the other end of a pseudo-terminal
// for a test: the simulator program as a child process, or its engine on a
// thread of the test, plus a raw port for tests that speak frames themselves.
// Failures throw std::runtime_error; no test framework is needed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/engine.h"
#include "sim/options.h"

namespace qsn::test {

using namespace std::chrono_literals;

// The simulator program, started with `args`; ready once it has printed its
// slave path. Its standard error goes to the test's.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args,
                        std::chrono::milliseconds ready = 10s);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    pid_t Pid() const { return pid_; }
    // Sends `signal` to the process and waits for it: its exit code, or 128 +
    // the signal that ended it.
    int Stop(int signal = SIGTERM);

private:
    pid_t pid_ = -1;
    std::string slavePath_;
};

struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs argv[0] with the rest as its arguments to its end, capturing both output
// streams; exit code -1 if it outlived `limit`. `interruptAfter`: send SIGINT
// once this long has passed, as Ctrl-C would.
ProgramRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                      std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt);

// Runs the simulator program to its end, for arguments it should refuse.
ProgramRun RunSimulatorToExit(const std::vector<std::string>& args,
                              std::chrono::milliseconds limit = 10s);

// The engine in this process, served on its own thread until destruction.
class SimThread {
public:
    explicit SimThread(const sim::SimOptions& options);
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    const std::string& SlavePath() const { return simulator_.SlavePath(); }

private:
    sim::Simulator simulator_;
    std::thread thread_;
};

// The driver's end of the line, opened raw.
class RawPort {
public:
    explicit RawPort(const std::string& path);
    ~RawPort();
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    void Send(std::string_view bytes);
    // Everything up to and including a carriage return, or what arrived before
    // the line stayed quiet for `quiet`, or `limit` characters.
    std::string Read(std::chrono::milliseconds quiet = 300ms, std::size_t limit = 4096);
    std::string Exchange(std::string_view frame, std::chrono::milliseconds quiet = 300ms);

private:
    int fd_ = -1;
};

// A whole command frame, checksum and CR included, built by the driver's encoder.
std::string CommandFrame(std::uint8_t unit, char letter, const std::string& data = "");

// The path of the built simulator program.
std::string SimulatorProgram();

}  // namespace qsn::test
