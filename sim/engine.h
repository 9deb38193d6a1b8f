// The simulated line: a pseudo-terminal whose master side the engine serves as
// a rack of Optomux units, and whose slave side a driver opens as its port.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <string>

#include "sim/faults.h"
#include "sim/options.h"
#include "sim/trace.h"
#include "sim/unit.h"
#include "sim/wire.h"

namespace qsn::sim {

class Simulator {
public:
    // Opens the pseudo-terminal and makes the link; throws std::runtime_error.
    explicit Simulator(const SimOptions& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // Serves the line on the calling thread until RequestStop.
    void Run();
    // Safe from another thread and from a signal handler.
    void RequestStop() noexcept;

private:
    using Clock = std::chrono::steady_clock;

    void OpenTerminal();
    void MakeLink();
    void RemoveLink() noexcept;
    void CloseAll() noexcept;

    void Receive(const char* bytes, std::size_t count);
    void HandleFrame(const std::string& body);
    void Reply(Unit& unit, const Frame& frame, std::size_t frameLength);
    bool Send(const std::string& bytes, Clock::time_point start);
    std::size_t CharactersDue(std::size_t total, std::size_t due, Clock::time_point start,
                              Clock::duration perCharacter) const;
    bool WriteBytes(const char* bytes, std::size_t count);
    bool WaitUntil(Clock::time_point deadline);

    Clock::duration CharacterTime() const;
    Clock::time_point ReplyStart(std::size_t frameLength) const;

    SimOptions options_;
    std::map<std::uint8_t, Unit> units_;
    FaultInjector faults_;
    Trace trace_;
    FrameAssembler assembler_;
    Clock::time_point started_;
    Clock::time_point frameStart_;
    int master_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string slavePath_;
    bool linked_ = false;
    std::atomic<bool> stopping_{false};
};

}  // namespace qsn::sim
