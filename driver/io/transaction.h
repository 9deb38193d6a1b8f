// The attempt loop that a read and a write share: up to three attempts, each
// after the first preceded by an input discard, a power-up clear and a pause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "io/config.h"
#include "optomux/reply.h"
#include "qsnwndut.h"
#include "serial/platform.h"
#include "serial/serial.h"

namespace qsn {

inline constexpr int kAttempts = 3;
inline constexpr std::uint32_t kRetryPauseMs = 500;
inline constexpr std::uint32_t kClosingPauseMs = 4;

// `prepare()` sends whatever configuration the unit and point still lack;
// `accept(reply)` judges a complete reply. A reply is read to at most
// `replyLimit` characters, its carriage return included: the longest the
// frame can be answered with, so that a unit trickling characters cannot hold
// the call for long. The result is 0 once a reply is accepted, 1 when complete
// replies came but none was accepted, 2 when none came at all.
template <typename Prepare, typename Accept>
std::int32_t RunAttempts(const RequestBlock& request, const char* frame, std::size_t replyLimit,
                         Prepare prepare, Accept accept) {
    std::int32_t result = QSN_NO_LINE;
    char reply[kReplyCapacity] = {};
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (attempt > 1) {
            SerialDiscardInput(request.context->port);
            PowerupClear(request);
            platform::SleepMs(kRetryPauseMs);
        }
        prepare();
        SendFrame(request, frame, static_cast<std::int32_t>(std::strlen(frame)));
        if (!ReadReply(request, reply, replyLimit)) continue;
        if (accept(reply)) return QSN_OK;
        result = QSN_FAILED;
    }
    return result;
}

}  // namespace qsn
