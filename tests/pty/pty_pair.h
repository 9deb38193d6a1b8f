// A pseudo-terminal pair for a test: the driver opens the slave by its path,
// the test plays the peer on the master.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class PtyPair {
public:
    PtyPair() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        slavePath_ = name;
        // Raw on the peer's side too, so the bytes cross unchanged.
        termios tio{};
        tcgetattr(master_, &tio);
        cfmakeraw(&tio);
        tcsetattr(master_, TCSANOW, &tio);
    }
    ~PtyPair() {
        close(slave_);
        close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    // The slave path relative to /dev, as a short port name ("pts/3").
    std::string PortName() const { return slavePath_.substr(5); }
    int Master() const { return master_; }
    // Keeps a descriptor of the slave open so that the line never hangs up.
    int Slave() const { return slave_; }

    void Send(const std::string& bytes) const {
        if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("short write to the pty master");
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
