// QsnMain with whatever a careless host may hand it: any command code, any
// bytes in the parameter block and the GAS, a context that is fresh, started
// or partly overwritten. Pointers stay valid (the host owns that much); they
// point at buffers of their exact size or between guard bytes.
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {

using qsn::fuzz::Guarded;

// Room for the largest parameter block.
union AnyBlock {
    InitBlock init;
    PortBlock port;
    IdentBlock ident;
    GateBlock gate;
    PointBlock point;
};

enum ContextStart : std::uint8_t { kFresh, kStarted, kOverwritten, kContextStarts };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qsn::fuzz::Bytes bytes(data, size);
    const auto command = static_cast<std::int32_t>(static_cast<std::int8_t>(bytes.Byte()));
    const std::uint8_t flags = bytes.Byte();

    qsn::fake::Device& device = qsn::fuzz::FreshLine();
    // The unit answers every frame with the next few bytes of the input.
    device.respond = [&bytes](qsn::fake::Device& d, const std::string&) {
        std::string answer(bytes.Byte() % 32, '\0');
        answer.resize(bytes.Take(answer.data(), answer.size()));
        d.input += answer;
    };
    auto context = std::make_unique<Guarded<DriverContext>>();
    const auto start = static_cast<ContextStart>(flags % kContextStarts);
    if (start != kFresh && !qsn::fuzz::StartLine(&context->value)) std::abort();
    if (start == kOverwritten) {
        // The fields before the flag tables: time-out, port, state, descriptor, scratch.
        bytes.Take(&context->value, offsetof(DriverContext, unitCleared));
    }

    auto block = std::make_unique<Guarded<AnyBlock>>();
    bytes.Take(&block->value, sizeof(AnyBlock));
    auto values = std::make_unique<Guarded<std::array<std::int16_t, 16>>>();
    bytes.Take(values->value.data(), sizeof values->value);

    // The GAS: the rest of the input, in a buffer of exactly its size.
    const std::size_t gasLength = bytes.Left() < 64 ? bytes.Left() : 64;
    const auto gas = std::make_unique<char[]>(gasLength + 1);
    bytes.Take(gas.get(), gasLength);
    gas[gasLength] = '\0';

    const bool noGas = (flags & 0x10) != 0;
    const bool noValues = (flags & 0x20) != 0;
    if (command == QSN_VALIDATE_GATE || command == QSN_VALIDATE_GATE_ONLY) {
        block->value.gate.gas = noGas ? nullptr : gas.get();
    } else {
        block->value.point.gas = noGas ? nullptr : gas.get();
        block->value.point.values = noValues ? nullptr : values->value.data();
    }
    RequestBlock request{};
    request.context = &context->value;
    request.command = command;
    request.params = &block->value;
    const std::int32_t result = QsnMain(&request);
    if (result < QSN_OK || result > QSN_NO_LINE) std::abort();
    context->Check();
    block->Check();
    values->Check();
    return 0;
}
