// The sixteen-slot command table behind QsnMain.
#pragma once

#include <array>
#include <cstdint>

#include "qsnwndut.h"

namespace qsn {

using Handler = std::int32_t (*)(const RequestBlock& request);

struct CommandSlot {
    Handler handler;     // null: the slot has no handler
    bool needsContext;   // refuse a request whose context is null
    bool needsParams;    // refuse a request whose params is null
};

inline constexpr std::int32_t kCommandCount = 16;

// Slot i serves command code i + 1.
extern const std::array<CommandSlot, kCommandCount> kCommandTable;

// Answers codes without a handler and requests missing a block they need.
inline constexpr std::int32_t kRefused = QSN_FAILED;

std::int32_t Dispatch(RequestBlock* request);

}  // namespace qsn
