#include "driver_terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace plexer {

namespace {

[[noreturn]] void Fail(const std::string& context, const std::string& what) {
    throw std::runtime_error(context + what + ": " + std::strerror(errno));
}

}  // namespace

std::string OpenDriverTerminal(Descriptor& master, Descriptor& slave, bool packetMode, const std::string& context) {
    master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.Get() < 0 || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
        Fail(context, "pseudo-terminal");
    }
    const int packet = 1;
    if (packetMode && ioctl(master.Get(), TIOCPKT, &packet) != 0) Fail(context, "pseudo-terminal packet mode");
    const char* slavePath = ptsname(master.Get());
    if (slavePath == nullptr) Fail(context, "pseudo-terminal");
    slave.Reset(open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios raw{};
    if (slave.Get() < 0 || tcgetattr(slave.Get(), &raw) != 0) Fail(context, slavePath);
    // Raw before a byte can pass: a cooked slave would echo the units' replies back onto the line.
    cfmakeraw(&raw);
    // In packet mode the master hears of a settings change only while EXTPROC is set.
    if (packetMode) raw.c_lflag |= EXTPROC;
    if (tcsetattr(slave.Get(), TCSANOW, &raw) != 0) Fail(context, slavePath);
    return std::string(slavePath).substr(std::strlen("/dev/"));
}

void OpenWakePipe(Descriptor& wakeRead, Descriptor& wakeWrite, const std::string& context) {
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) Fail(context, "pipe");
    wakeRead.Reset(wake[0]);
    wakeWrite.Reset(wake[1]);
}

}  // namespace plexer
