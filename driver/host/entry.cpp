#include "gate/gate.h"
#include "host/command_table.h"
#include "host/identify.h"
#include "host/lifecycle.h"
#include "io/read.h"
#include "io/write.h"

namespace qsn {

namespace {

std::int32_t NoOperation(const RequestBlock&) { return QSN_FAILED; }

}  // namespace

// clang-format off
constinit const std::array<CommandSlot, kCommandCount> kCommandTable = {{
    /*  1 */ {StartUp,          true,  true},
    /*  2 */ {WarmStart,        true,  false},
    /*  3 */ {ValidateGate,     true,  true},
    /*  4 */ {ValidateGateOnly, true,  true},
    /*  5 */ {SingleRead,       true,  true},
    /*  6 */ {SingleRead,       true,  true},
    /*  7 */ {SingleWrite,      true,  true},
    /*  8 */ {nullptr,          false, false},
    /*  9 */ {nullptr,          false, false},
    /* 10 */ {NoOperation,      false, false},
    /* 11 */ {ClosePort,        true,  false},
    /* 12 */ {ClosePort,        true,  false},
    /* 13 */ {OpenPort,         true,  false},
    /* 14 */ {Identify,         false, true},
    /* 15 */ {ReopenPort,       true,  true},
    /* 16 */ {nullptr,          false, false},
}};
// clang-format on

std::int32_t Dispatch(RequestBlock* request) {
    if (request == nullptr) return kRefused;
    const std::int32_t code = request->command;
    if (code < 1 || code > kCommandCount) return kRefused;
    const CommandSlot& slot = kCommandTable[static_cast<std::size_t>(code - 1)];
    if (slot.handler == nullptr) return kRefused;
    if (slot.needsContext && request->context == nullptr) return kRefused;
    if (slot.needsParams && request->params == nullptr) return kRefused;
    return slot.handler(*request);
}

}  // namespace qsn

extern "C" QSN_EXPORT int32_t QSN_CALL QsnMain(RequestBlock* request) {
    return qsn::Dispatch(request);
}
