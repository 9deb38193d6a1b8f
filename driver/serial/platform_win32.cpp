// The serial platform over the Win32 communications API, all synchronous.
//
// A PortHandle is the 32-bit HANDLE value. 0 (no port) and the
// INVALID_HANDLE_VALUE that a failed open yields are refused before any call,
// since -1 is also the pseudo-handle of the current process.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <cstring>

#include "serial/pause_win32.h"
#include "serial/platform.h"

namespace qsn::platform {

namespace {

static_assert(sizeof(HANDLE) == sizeof(PortHandle), "a HANDLE fits the 32-bit port slot");
static_assert(sizeof(DCB) <= sizeof(CommState::native), "the DCB fits the native state");

// Not yet in every SDK's headers; Windows 10 1803 and later know it, earlier
// systems refuse the timer, which is how its absence shows.
constexpr DWORD kCreateWaitableTimerHighResolution = 0x00000002;
constexpr UINT kFinestPeriodMs = 1;

bool Usable(PortHandle port) { return port != 0 && port != kInvalidHandle; }

HANDLE ToHandle(PortHandle port) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(port));
}

PortHandle FromHandle(HANDLE handle) {
    return static_cast<PortHandle>(reinterpret_cast<std::uintptr_t>(handle));
}

void FromDcb(const DCB& dcb, CommState* state) {
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stopBits = dcb.StopBits;
    state->parityCheck = dcb.fParity != 0;
    state->dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
    state->rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
    state->outxCtsFlow = dcb.fOutxCtsFlow != 0;
    state->outxDsrFlow = dcb.fOutxDsrFlow != 0;
    state->dsrSensitivity = dcb.fDsrSensitivity != 0;
    state->errorChar = dcb.ErrorChar;
    state->errorCharReplace = dcb.fErrorChar != 0;
}

// The named fields over the block as it was read; the rest goes back unchanged.
void ToDcb(const CommState& state, DCB* dcb) {
    std::memcpy(dcb, state.native, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = state.baudRate;
    dcb->ByteSize = state.byteSize;
    dcb->Parity = state.parity;
    dcb->StopBits = state.stopBits;
    dcb->fParity = state.parityCheck ? 1u : 0u;
    dcb->fDtrControl = state.dtrControl & 0x3u;
    dcb->fRtsControl = state.rtsControl & 0x3u;
    dcb->fOutxCtsFlow = state.outxCtsFlow ? 1u : 0u;
    dcb->fOutxDsrFlow = state.outxDsrFlow ? 1u : 0u;
    dcb->fDsrSensitivity = state.dsrSensitivity ? 1u : 0u;
    dcb->ErrorChar = state.errorChar;
    dcb->fErrorChar = state.errorCharReplace ? 1u : 0u;
}

}  // namespace

PortHandle PortOpen(const char* name) {
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    // Never hand out 0: callers keep it as "no port".
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kInvalidHandle;
    return FromHandle(handle);
}

bool PortGetState(PortHandle port, CommState* state) {
    if (!Usable(port)) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToHandle(port), &dcb)) return false;
    FromDcb(dcb, state);
    std::memcpy(state->native, &dcb, sizeof dcb);
    return true;
}

bool PortSetState(PortHandle port, const CommState& state) {
    if (!Usable(port)) return false;
    DCB dcb{};
    ToDcb(state, &dcb);
    return SetCommState(ToHandle(port), &dcb) != 0;
}

bool PortGetTimeouts(PortHandle port, CommTimeouts* timeouts) {
    COMMTIMEOUTS t{};
    if (!Usable(port) || !GetCommTimeouts(ToHandle(port), &t)) return false;
    *timeouts = CommTimeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                             t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                             t.WriteTotalTimeoutConstant};
    return true;
}

bool PortSetTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    if (!Usable(port)) return false;
    COMMTIMEOUTS t{timeouts.readIntervalTimeout, timeouts.readTotalTimeoutMultiplier,
                   timeouts.readTotalTimeoutConstant, timeouts.writeTotalTimeoutMultiplier,
                   timeouts.writeTotalTimeoutConstant};
    return SetCommTimeouts(ToHandle(port), &t) != 0;
}

bool PortSetupQueues(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    return Usable(port) && SetupComm(ToHandle(port), inQueue, outQueue) != 0;
}

bool PortClearErrors(PortHandle port, std::uint32_t* bytesWaiting) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!Usable(port) || !ClearCommError(ToHandle(port), &errors, &status)) return false;
    *bytesWaiting = status.cbInQue;
    return true;
}

bool PortRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    *received = 0;
    if (!Usable(port)) return false;
    DWORD got = 0;
    if (!ReadFile(ToHandle(port), buffer, count, &got, nullptr)) {
        // The reason is read but not passed on: callers only learn that the read failed.
        static_cast<void>(GetLastError());
        return false;
    }
    *received = got;
    return true;
}

bool PortWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    *written = 0;
    if (!Usable(port)) return false;
    DWORD sent = 0;
    if (!WriteFile(ToHandle(port), bytes, count, &sent, nullptr)) return false;
    *written = sent;
    return true;
}

bool PortClose(PortHandle port) { return Usable(port) && CloseHandle(ToHandle(port)) != 0; }

namespace {

bool WaitOnHighResolutionTimer(std::uint32_t milliseconds) {
    const HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution,
                                                TIMER_ALL_ACCESS);
    if (timer == nullptr) return false;
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;  // relative, in 100 ns
    const bool set = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0;
    if (set) WaitForSingleObject(timer, INFINITE);
    CloseHandle(timer);
    return set;
}

// The resolution is the host process's setting: raised for this pause only.
void SleepAtRaisedResolution(std::uint32_t milliseconds) {
    const bool raised = timeBeginPeriod(kFinestPeriodMs) == TIMERR_NOERROR;
    Sleep(milliseconds);
    if (raised) timeEndPeriod(kFinestPeriodMs);
}

}  // namespace

namespace win32 {

PauseClock Pause(std::uint32_t milliseconds, PauseClock preferred) {
    if (preferred == PauseClock::kHighResolutionTimer && WaitOnHighResolutionTimer(milliseconds)) {
        return PauseClock::kHighResolutionTimer;
    }
    SleepAtRaisedResolution(milliseconds);
    return PauseClock::kRaisedResolution;
}

// Windows ends a Sleep on a timer tick, 15.6 ms apart at the default
// resolution, which would stretch the 4 ms closing pause to 15.6 ms; a
// high-resolution waitable timer keeps it without touching the process's
// resolution. Wine is the other way round: its Sleep is precise, but its
// server keeps waitable timers only to the millisecond (a 4 ms timer lasts 5).
PauseClock PreferredPauseClock() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    return wine ? PauseClock::kRaisedResolution : PauseClock::kHighResolutionTimer;
}

}  // namespace win32

void SleepMs(std::uint32_t milliseconds) {
    win32::Pause(milliseconds, win32::PreferredPauseClock());
}

}  // namespace qsn::platform
