#include "serial/termios_map.h"

#include <array>
#include <utility>

namespace qsn::posix {

namespace {

using platform::CommState;

constexpr std::array<std::pair<std::uint32_t, speed_t>, 22> kSpeeds = {{
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600},
}};

bool MapByteSize(std::uint8_t byteSize, tcflag_t* cflag) {
    tcflag_t size = 0;
    switch (byteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
    }
    *cflag = (*cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    return true;
}

bool MapParity(std::uint8_t parity, tcflag_t* cflag) {
    tcflag_t bits = 0;
    switch (parity) {
        case platform::kNoParity: bits = 0; break;
        case platform::kOddParity: bits = PARENB | PARODD; break;
        case platform::kEvenParity: bits = PARENB; break;
        case platform::kMarkParity: bits = PARENB | PARODD | CMSPAR; break;
        case platform::kSpaceParity: bits = PARENB | CMSPAR; break;
        default: return false;
    }
    *cflag = (*cflag & ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR)) | bits;
    return true;
}

bool MapStopBits(std::uint8_t stopBits, tcflag_t* cflag) {
    switch (stopBits) {
        case platform::kOneStopBit: *cflag &= ~static_cast<tcflag_t>(CSTOPB); return true;
        // termios has no one and a half: two is the nearest it can do.
        case platform::kOneAndHalfStopBits:
        case platform::kTwoStopBits: *cflag |= CSTOPB; return true;
        default: return false;
    }
}

void MakeRaw(termios* tio) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag |= CREAD | CLOCAL;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

}  // namespace

speed_t SpeedFor(std::uint32_t baudRate) {
    for (const auto& [baud, speed] : kSpeeds) {
        if (baud == baudRate) return speed;
    }
    return B0;
}

std::uint32_t BaudFor(speed_t speed) {
    for (const auto& [baud, constant] : kSpeeds) {
        if (constant == speed) return baud;
    }
    return 0;
}

MapResult MapToTermios(const CommState& state, termios* out, ModemLines* lines) {
    *lines = ModemLines{};
    // Built on a copy, so that a refused setting leaves the caller's fields alone.
    termios copy = *out;
    termios* tio = &copy;
    const speed_t speed = SpeedFor(state.baudRate);
    if (speed == B0) return MapResult::kUnsupported;
    if (!MapByteSize(state.byteSize, &tio->c_cflag)) return MapResult::kUnsupported;
    if (!MapParity(state.parity, &tio->c_cflag)) return MapResult::kUnsupported;
    if (!MapStopBits(state.stopBits, &tio->c_cflag)) return MapResult::kUnsupported;
    // DSR has no termios flow control, and DTR handshake is DTR/DSR flow.
    if (state.outxDsrFlow || state.dsrSensitivity) return MapResult::kUnsupported;
    if (state.dtrControl == platform::kDtrHandshake) return MapResult::kUnsupported;

    MakeRaw(tio);
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    if (state.parityCheck) {
        tio->c_iflag |= INPCK;
    } else {
        tio->c_iflag &= ~static_cast<tcflag_t>(INPCK);
    }
    // Linux pairs CTS output flow with RTS input flow in one flag.
    const bool hardwareFlow =
        state.outxCtsFlow || state.rtsControl == platform::kRtsHandshake;
    if (hardwareFlow) {
        tio->c_cflag |= CRTSCTS;
    } else {
        tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }

    lines->setDtr = state.dtrControl == platform::kDtrEnable;
    lines->clearDtr = state.dtrControl == platform::kDtrDisable;
    lines->setRts = state.rtsControl == platform::kRtsEnable;
    lines->clearRts = state.rtsControl == platform::kRtsDisable;
    lines->rs485 = state.rtsControl == platform::kRtsToggle;
    *out = copy;
    return MapResult::kOk;
}

void MapFromTermios(const termios& tio, CommState* state) {
    state->baudRate = BaudFor(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5: state->byteSize = 5; break;
        case CS6: state->byteSize = 6; break;
        case CS7: state->byteSize = 7; break;
        default: state->byteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB)) {
        state->parity = platform::kNoParity;
    } else if (tio.c_cflag & CMSPAR) {
        state->parity = (tio.c_cflag & PARODD) ? platform::kMarkParity : platform::kSpaceParity;
    } else {
        state->parity = (tio.c_cflag & PARODD) ? platform::kOddParity : platform::kEvenParity;
    }
    state->stopBits = (tio.c_cflag & CSTOPB) ? platform::kTwoStopBits : platform::kOneStopBit;
    state->parityCheck = (tio.c_iflag & INPCK) != 0;
    state->outxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state->rtsControl = state->outxCtsFlow ? platform::kRtsHandshake : platform::kRtsEnable;
    state->dtrControl = platform::kDtrEnable;
    state->outxDsrFlow = false;
    state->dsrSensitivity = false;
    state->errorChar = 0;
    state->errorCharReplace = false;
}

}  // namespace qsn::posix
