#include "serial/serial.h"

#include <cstring>

namespace qsn {

namespace {

using platform::CommState;
using platform::CommTimeouts;

// The largest count one read may ask for: the platform read takes 16 bits.
constexpr std::int32_t kMaxReadCount = 65535;

// Within each group the first matching row wins; no match keeps the device's value.
void ApplyControlLines(CommState* state, std::uint16_t openFlags) {
    if (openFlags & (kFlagDtrEnable | kFlagDtrEnableAlt)) {
        state->dtrControl = platform::kDtrEnable;
    } else if (openFlags & kFlagDtrHandshake) {
        state->dtrControl = platform::kDtrHandshake;
    }
    if (openFlags & (kFlagRtsEnable | kFlagRtsEnableAlt)) {
        state->rtsControl = platform::kRtsEnable;
    } else if (openFlags & kFlagRtsHandshake) {
        state->rtsControl = platform::kRtsHandshake;
    } else if (openFlags & kFlagRtsToggle) {
        state->rtsControl = platform::kRtsToggle;
    }
    if (openFlags & kFlagCtsFlow) {
        state->outxCtsFlow = true;
    } else if (openFlags & kFlagDsrFlow) {
        state->outxDsrFlow = true;
    } else if (openFlags & kFlagDsrSensitivity) {
        state->dsrSensitivity = true;
    }
}

std::int32_t CloseAfterFailure(PortHandle handle, std::int32_t code) {
    platform::PortClose(handle);
    return code;
}

}  // namespace

void ApplyLineSettings(CommState* state, const LineSettings& settings, std::uint16_t openFlags) {
    state->baudRate = settings.baudRate;
    state->byteSize = static_cast<std::uint8_t>(settings.dataBits);
    state->parity = static_cast<std::uint8_t>(settings.parity);
    if (state->parity != 0) state->parityCheck = true;
    state->stopBits = static_cast<std::uint8_t>(settings.stopBits);
    state->errorChar = kErrorChar;
    state->errorCharReplace = false;
    ApplyControlLines(state, openFlags);
}

std::int32_t SerialOpen(const char* name, const LineSettings& settings, std::uint16_t openFlags,
                        PortHandle* handle) {
    *handle = platform::PortOpen(name);
    if (*handle == platform::kInvalidHandle) return kSerialOpenFailed;
    if (std::strcmp(name, "NUL") == 0) return kSerialOk;

    CommState state{};
    if (!platform::PortGetState(*handle, &state)) {
        return CloseAfterFailure(*handle, kSerialGetStateFailed);
    }
    if (openFlags == 0) return kSerialOk;

    // The time-outs are set before the control block is written.
    const CommTimeouts timeouts{0, 0, kConfiguredReadTimeoutMs, 0, 0};
    if (!platform::PortSetTimeouts(*handle, timeouts)) {
        return CloseAfterFailure(*handle, kSerialOpenFailed);
    }
    ApplyLineSettings(&state, settings, openFlags);
    if (!platform::PortSetState(*handle, state)) {
        return CloseAfterFailure(*handle, kSerialSetStateFailed);
    }
    platform::PortSetupQueues(*handle, kQueueSize, kQueueSize);
    return kSerialOk;
}

std::int32_t SerialSetReadTimeout(PortHandle handle, std::int32_t timeout) {
    CommTimeouts timeouts{};
    if (!platform::PortGetTimeouts(handle, &timeouts)) return 0;
    const std::uint32_t previous = timeouts.readTotalTimeoutConstant;
    const auto wanted = static_cast<std::uint32_t>(timeout) * 10u;
    if (wanted != previous) {
        timeouts.readTotalTimeoutConstant = wanted;
        if (!platform::PortSetTimeouts(handle, timeouts)) return 0;
    }
    return static_cast<std::int32_t>(previous / 10u);
}

std::int32_t SerialDiscardInput(PortHandle handle) {
    std::uint32_t waiting = 0;
    if (platform::PortClearErrors(handle, &waiting) && waiting == 0) return 0;

    const std::int32_t previous = SerialSetReadTimeout(handle, kDiscardTimeoutUnits);
    char scratch[kDiscardChunk];
    std::uint32_t received = 0;
    std::uint32_t dropped = 0;
    bool lastReadOk = false;
    do {
        received = 0;
        lastReadOk = platform::PortRead(handle, scratch, kDiscardChunk, &received);
        dropped += received;
    } while (lastReadOk && received == kDiscardChunk && dropped < kDiscardLimit);
    // A previous time-out of 0 cannot be told from a failure, so it is not restored.
    if (previous != 0) SerialSetReadTimeout(handle, previous);
    return lastReadOk ? 0 : 1;
}

std::int32_t SerialWrite(PortHandle handle, const void* bytes, std::int32_t count,
                         std::int32_t* written) {
    if (count < 0) return kSerialIoFailed;
    std::uint32_t sent = 0;
    if (!platform::PortWrite(handle, bytes, static_cast<std::uint32_t>(count), &sent)) {
        return kSerialIoFailed;
    }
    if (written != nullptr) *written = static_cast<std::int32_t>(sent);
    return static_cast<std::int32_t>(sent) == count ? kSerialOk : kSerialShortWrite;
}

std::int32_t SerialRead(PortHandle handle, void* buffer, std::int32_t count,
                        std::int32_t* received) {
    if (received != nullptr) *received = 0;
    // A count the 16-bit platform read cannot ask for would overrun the buffer.
    if (count <= 0 || count > kMaxReadCount) return kSerialIoFailed;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::int32_t total = 0;
    do {
        std::uint32_t delivered = 0;
        const auto ask = static_cast<std::uint16_t>(count - total);
        if (!platform::PortRead(handle, bytes + total, ask, &delivered)) return kSerialIoFailed;
        if (delivered == 0) return kSerialIoFailed;
        total += static_cast<std::int32_t>(delivered);
        if (received != nullptr) *received = total;
    } while (total < count);
    return kSerialOk;
}

std::int32_t SerialClose(PortHandle handle) {
    return platform::PortClose(handle) ? kSerialOk : kSerialIoFailed;
}

bool SendFrame(const RequestBlock& request, const char* bytes, std::int32_t count) {
    const PortHandle port = request.context->port;
    SerialDiscardInput(port);
    std::int32_t written = 0;
    return SerialWrite(port, bytes, count, &written) == kSerialOk && written == count;
}

bool ReceiveExact(const RequestBlock& request, char* buffer, std::int32_t count) {
    std::int32_t received = 0;
    return SerialRead(request.context->port, buffer, count, &received) == kSerialOk &&
           received == count;
}

}  // namespace qsn
