// The reply path: a read or write through QsnMain on the fake port, with the
// unit's answers to each frame taken from the fuzzer. First byte: which
// request; next two: the value a write sends; then the answers, each a length
// byte and that many bytes, one answer per frame sent; past them, silence.
#include <array>
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {

using qsn::fuzz::Guarded;

struct Shape {
    std::int32_t command;
    const char* gas;
    std::int32_t unit, typeCode, pointAddress, kind, count, bit;
};

constexpr Shape kShapes[] = {
    {QSN_READ, "01AI3", 1, 30, 104, 1, 1, 0},      {QSN_READ, "01AI3", 1, 30, 104, 1, 16, 0},
    {QSN_READ, "0AAO2", 10, 40, 1003, 1, 1, 0},    {QSN_READ, "0AAO2", 10, 40, 1003, 1, 0, 0},
    {QSN_READ, "03DI2", 3, 50, 300, 6, 1, 2},      {QSN_READ, "03DOF", 3, 60, 300, 6, 16, 15},
    {QSN_READ, "0BCK0", 11, 210, 1101, 1, 1, 0},   {QSN_READ, "0BP1F", 11, 330, 1116, 1, 16, 0},
    {QSN_WRITE, "02AO0", 2, 40, 201, 1, 1, 0},     {QSN_WRITE, "02AO0", 2, 40, 201, 1, 16, 0},
    {QSN_WRITE, "05DO7", 5, 60, 500, 6, 1, 0},     {QSN_READ_ALT, "FFAI0", 255, 30, 25501, 1, 1, 0},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qsn::fuzz::Bytes bytes(data, size);
    const Shape& shape = kShapes[bytes.Byte() % std::size(kShapes)];
    const auto value = static_cast<std::int16_t>(bytes.Byte() | bytes.Byte() << 8);

    qsn::fake::Device& device = qsn::fuzz::FreshLine();
    device.respond = [&bytes](qsn::fake::Device& d, const std::string&) {
        std::string answer(bytes.Byte(), '\0');
        answer.resize(bytes.Take(answer.data(), answer.size()));
        d.input += answer;
    };
    auto context = std::make_unique<Guarded<DriverContext>>();
    if (!qsn::fuzz::StartLine(&context->value)) std::abort();

    auto values = std::make_unique<Guarded<std::array<std::int16_t, 16>>>();
    values->value.fill(-7);
    values->value[0] = value;
    values->value[1] = value;
    const std::array<std::int16_t, 16> before = values->value;
    auto block = std::make_unique<Guarded<PointBlock>>();
    block->value.gas = shape.gas;
    block->value.unit = shape.unit;
    block->value.typeCode = shape.typeCode;
    block->value.pointAddress = shape.pointAddress;
    block->value.dataKind = shape.kind;
    block->value.count = shape.count;
    block->value.bitNumber = shape.bit;
    block->value.values = values->value.data();

    const std::int32_t result = qsn::fuzz::Call(&context->value, shape.command, &block->value);
    if (result < QSN_OK || result > QSN_NO_LINE) std::abort();
    // A failed read leaves the values alone; a single read touches element 1 only.
    for (std::size_t i = 0; i < before.size(); ++i) {
        const bool mayChange = result == QSN_OK && shape.command != QSN_WRITE &&
                               (shape.count != 1 || i == 1);
        if (!mayChange && values->value[i] != before[i]) std::abort();
    }
    context->Check();
    values->Check();
    block->Check();
    return 0;
}
