// The control block to termios mapping, as a pure function: what a
// pseudo-terminal would hide (it forces 8 data bits and drops parity).
#include <gtest/gtest.h>

#include <cstring>

#include "serial/termios_map.h"

namespace {

using namespace qsn::platform;
using qsn::posix::MapResult;
using qsn::posix::MapToTermios;
using qsn::posix::ModemLines;

CommState Base() {
    CommState state{};
    state.baudRate = 9600;
    state.byteSize = 8;
    state.dtrControl = kDtrDisable;
    state.rtsControl = kRtsDisable;
    return state;
}

termios Cooked() {
    termios tio{};
    tio.c_iflag = ICRNL | IXON | BRKINT;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
    return tio;
}

TEST(TermiosMap, LineSettingsBecomeControlFlags) {
    struct Case {
        uint32_t baud;
        uint8_t byteSize, parity, stopBits;
        speed_t speed;
        tcflag_t size, parityBits;
        bool twoStops;
    };
    const Case cases[] = {
        {9600, 8, kNoParity, kOneStopBit, B9600, CS8, 0, false},
        {19200, 7, kEvenParity, kTwoStopBits, B19200, CS7, PARENB, true},
        {1200, 7, kOddParity, kOneStopBit, B1200, CS7, PARENB | PARODD, false},
        {38400, 8, kMarkParity, kOneStopBit, B38400, CS8, PARENB | PARODD | CMSPAR, false},
        {300, 6, kSpaceParity, kOneStopBit, B300, CS6, PARENB | CMSPAR, false},
        {115200, 5, kNoParity, kOneAndHalfStopBits, B115200, CS5, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        CommState state = Base();
        state.baudRate = c.baud;
        state.byteSize = c.byteSize;
        state.parity = c.parity;
        state.stopBits = c.stopBits;
        termios tio = Cooked();
        ModemLines lines;
        ASSERT_EQ(MapToTermios(state, &tio, &lines), MapResult::kOk);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parityBits);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops);
    }
}

// Windows ports are binary: no line editing, no echo, no CR translation.
TEST(TermiosMap, TheLineIsAlwaysRaw) {
    termios tio = Cooked();
    ModemLines lines;
    ASSERT_EQ(MapToTermios(Base(), &tio, &lines), MapResult::kOk);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | BRKINT | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
}

TEST(TermiosMap, ControlsBecomeFlagsAndModemLineRequests) {
    struct Case {
        const char* name;
        uint8_t dtr, rts;
        bool cts, parityCheck;
        bool setDtr, clearDtr, setRts, clearRts, rs485, crtscts, inpck;
    };
    const Case cases[] = {
        {"all off", kDtrDisable, kRtsDisable, false, false, false, true, false, true, false, false, false},
        {"dtr rts on", kDtrEnable, kRtsEnable, false, false, true, false, true, false, false, false, false},
        {"rts handshake", kDtrEnable, kRtsHandshake, false, false, true, false, false, false, false, true, false},
        {"cts flow", kDtrEnable, kRtsEnable, true, false, true, false, true, false, false, true, false},
        {"rts toggle", kDtrEnable, kRtsToggle, false, false, true, false, false, false, true, false, false},
        {"parity check", kDtrEnable, kRtsEnable, false, true, true, false, true, false, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommState state = Base();
        state.dtrControl = c.dtr;
        state.rtsControl = c.rts;
        state.outxCtsFlow = c.cts;
        state.parityCheck = c.parityCheck;
        termios tio = Cooked();
        ModemLines lines;
        ASSERT_EQ(MapToTermios(state, &tio, &lines), MapResult::kOk);
        EXPECT_EQ(lines.setDtr, c.setDtr);
        EXPECT_EQ(lines.clearDtr, c.clearDtr);
        EXPECT_EQ(lines.setRts, c.setRts);
        EXPECT_EQ(lines.clearRts, c.clearRts);
        EXPECT_EQ(lines.rs485, c.rs485);
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.crtscts);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.inpck);
    }
}

TEST(TermiosMap, WhatTermiosCannotHonourIsRefused) {
    struct Case {
        const char* name;
        void (*change)(CommState&);
    };
    const Case cases[] = {
        {"baud without constant", [](CommState& s) { s.baudRate = 12345; }},
        {"baud zero", [](CommState& s) { s.baudRate = 0; }},
        {"byte size 4", [](CommState& s) { s.byteSize = 4; }},
        {"byte size 9", [](CommState& s) { s.byteSize = 9; }},
        {"parity 5", [](CommState& s) { s.parity = 5; }},
        {"stop code 3", [](CommState& s) { s.stopBits = 3; }},
        {"dsr flow", [](CommState& s) { s.outxDsrFlow = true; }},
        {"dsr sensitivity", [](CommState& s) { s.dsrSensitivity = true; }},
        {"dtr handshake", [](CommState& s) { s.dtrControl = kDtrHandshake; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommState state = Base();
        c.change(state);
        termios tio = Cooked();
        const termios before = tio;
        ModemLines lines;
        EXPECT_EQ(MapToTermios(state, &tio, &lines), MapResult::kUnsupported);
        EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0);
    }
}

TEST(TermiosMap, ReadBackGivesTheSameSettings) {
    for (uint8_t parity = kNoParity; parity <= kSpaceParity; ++parity) {
        CommState state = Base();
        state.baudRate = 4800;
        state.byteSize = 7;
        state.parity = parity;
        state.stopBits = kTwoStopBits;
        termios tio = Cooked();
        ModemLines lines;
        ASSERT_EQ(MapToTermios(state, &tio, &lines), MapResult::kOk);
        CommState back{};
        qsn::posix::MapFromTermios(tio, &back);
        EXPECT_EQ(back.baudRate, 4800u);
        EXPECT_EQ(back.byteSize, 7);
        EXPECT_EQ(back.parity, parity);
        EXPECT_EQ(back.stopBits, kTwoStopBits);
    }
}

}  // namespace
