// The reply path: a read or write through QsnMain on the fake port, with the
// unit's answers to each frame taken from the fuzzer. First byte: which
// request; next two: the value a write sends; then the answers, each a length
// byte and that many bytes, one answer per frame sent; past them, silence.
// A small model of the protocol, written apart from the driver, says which
// frames must go out, which answers may be accepted and what they decode to.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using qsn::fuzz::Guarded;

struct Shape {
    std::int32_t command;
    const char* gas;
    std::int32_t unit, typeCode, pointAddress, kind, count, bit;
    int point;  // 1 to 16, as the model reads it off the GAS
};

constexpr Shape kShapes[] = {
    {QSN_READ, "01AI3", 1, 30, 104, 1, 1, 0, 4},       {QSN_READ, "01AI3", 1, 30, 104, 1, 16, 0, 4},
    {QSN_READ, "0AAO2", 10, 40, 1003, 1, 1, 0, 3},     {QSN_READ, "0AAO2", 10, 40, 1003, 1, 0, 0, 3},
    {QSN_READ, "03DI2", 3, 50, 300, 6, 1, 2, 3},       {QSN_READ, "03DOF", 3, 60, 300, 6, 16, 15, 16},
    {QSN_READ, "0BCK0", 11, 210, 1101, 1, 1, 0, 1},    {QSN_READ, "0BP1F", 11, 330, 1116, 1, 16, 0, 16},
    {QSN_WRITE, "02AO0", 2, 40, 201, 1, 1, 0, 1},      {QSN_WRITE, "02AO0", 2, 40, 201, 1, 16, 0, 1},
    {QSN_WRITE, "05DO7", 5, 60, 500, 6, 1, 0, 8},      {QSN_READ_ALT, "FFAI0", 255, 30, 25501, 1, 1, 0, 1},
};

struct Exchange {
    std::string frame;
    std::string answer;
};

using Values = std::array<std::int16_t, 16>;

// --- The model: frames, replies and values as the protocol states them. ---

std::string Hex(unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xFu];
    return text;
}

std::string Sum(const std::string& text) {
    unsigned sum = 0;
    for (const char c : text) sum += static_cast<unsigned char>(c);
    return Hex(sum % 256, 2);
}

std::string Frame(const std::string& body) { return ">" + body + Sum(body) + "\r"; }

bool Digital(const Shape& s) { return s.typeCode == 50 || s.typeCode == 60; }
bool Temperature(const Shape& s) { return s.typeCode >= 180; }
bool Single(const Shape& s) { return s.count == 1; }

// Reads of every type, and the analog output write; the digital write is built by its value.
std::string CommandFrame(const Shape& s, std::int16_t value) {
    const std::string unit = Hex(static_cast<unsigned>(s.unit), 2);
    const std::string mask = Hex(1u << (s.point - 1), 4);
    if (s.command == QSN_WRITE && s.typeCode == 40) {
        return Frame(unit + "S" + (Single(s) ? mask : "FFFF") + Hex(static_cast<std::uint16_t>(value) & 0xFFFu, 3));
    }
    if (s.command == QSN_WRITE) return Frame(unit + (value == 1 ? "K" : "L") + mask);
    if (Digital(s)) return Frame(unit + "M");
    const char* letter = s.typeCode == 30 ? "L" : s.typeCode == 40 ? "K" : "l";
    return Frame(unit + letter + (Single(s) ? mask : "FFFF"));
}

// The configuration a transaction may send first: power-up clear, output or probe set-up.
bool Preparation(const Shape& s, const std::string& frame) {
    const std::string unit = Hex(static_cast<unsigned>(s.unit), 2);
    const std::string mask = Hex(1u << (s.point - 1), 4);
    return frame == Frame(unit + "A") || frame == Frame(unit + "I" + mask) ||
           frame.rfind(">" + unit + "k" + mask, 0) == 0;
}

unsigned Value(const std::string& digits) {
    unsigned value = 0;
    for (const char c : digits) value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
    return value;
}

std::int16_t DecodeField(const Shape& s, const std::string& field) {
    if (field[0] == '?') return 0;
    const unsigned v = Value(field);
    if (Temperature(s)) return static_cast<std::int16_t>(static_cast<std::int16_t>(v) / 16);
    if (s.typeCode == 40) return static_cast<std::int16_t>(v);
    return static_cast<std::int16_t>(v < 4096 ? 0 : v > 8192 ? 4096 : v - 4096);
}

// The values after a read that accepted `text` ("A", data, checksum), or none
// when the text is not a reply to this read.
std::optional<Values> Decode(const Shape& s, const std::string& text, Values values) {
    if (text.size() < 3 || text[0] != 'A') return std::nullopt;
    const std::string data = text.substr(1, text.size() - 3);
    if (text.substr(text.size() - 2) != Sum(data)) return std::nullopt;
    const std::size_t width = s.typeCode == 40 ? 3 : 4;
    const std::size_t fields = Digital(s) || Single(s) ? 1 : 16;
    if (data.size() != width * fields) return std::nullopt;
    for (std::size_t i = 0; i < fields; ++i) {
        const std::string field = data.substr(i * width, width);
        const bool digits = field.find_first_not_of("0123456789ABCDEF") == std::string::npos;
        const bool unreadable = !Digital(s) && field.find_first_not_of('?') == std::string::npos;
        if (!digits && !unreadable) return std::nullopt;
    }
    if (Digital(s)) {
        const unsigned status = Value(data);
        if (Single(s)) values[1] = static_cast<std::int16_t>(status >> s.bit & 1u);
        else values[0] = static_cast<std::int16_t>(status);
    } else if (Single(s)) {
        values[1] = DecodeField(s, data);
    } else {
        for (std::size_t i = 0; i < fields; ++i) values[i] = DecodeField(s, data.substr(data.size() - (i + 1) * width, width));
    }
    return values;
}

// How far a read goes for its CR: the longest reply valid for the frame, its
// CR included, but never under the acknowledgement's 8.
std::size_t ReplyBound(const Shape& s) {
    if (s.command == QSN_WRITE) return 8;
    return std::max<std::size_t>(8, 3 + (s.typeCode == 40 ? 3 : 4) * (Digital(s) || Single(s) ? 1 : 16) + 1);
}

bool Refused(const Shape& s, std::int16_t value) {
    if (s.command != QSN_WRITE) return false;
    if (s.typeCode == 40) return static_cast<std::uint16_t>(value) > 4095;
    return value != 0 && value != 1;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

// What the model requires of the call, from the frames it sent and the answers it got.
void CheckAgainstModel(const Shape& s, std::int16_t value, const std::vector<Exchange>& exchanges,
                       std::int32_t result, const Values& before, const Values& after) {
    if (Refused(s, value)) {
        Check(result == QSN_FAILED && exchanges.empty() && after == before);
        return;
    }
    const std::string command = CommandFrame(s, value);
    Values expected = before;
    bool accepted = false;
    bool mustFail = false;  // a complete reply of the right length was rejected
    bool complete = false;
    int attempts = 0;
    for (const Exchange& e : exchanges) {
        Check(!accepted);  // nothing goes out after an accepted reply
        if (e.frame != command) {
            Check(Preparation(s, e.frame));
            continue;
        }
        ++attempts;
        const std::size_t cr = e.answer.find('\r');
        if (cr == std::string::npos || cr >= ReplyBound(s)) continue;
        complete = true;
        const std::string text = e.answer.substr(0, cr);
        if (s.command == QSN_WRITE) {
            // Judged by its first character; how much may follow the "A" is the driver's choice.
            if (text.size() > 1 && text[0] == 'A') return;
            accepted = text == "A";
            mustFail = !accepted;
        } else if (const std::optional<Values> decoded = Decode(s, text, before)) {
            accepted = true;
            expected = *decoded;
        } else {
            mustFail = true;
        }
    }
    Check(attempts >= 1 && attempts <= 3);
    if (accepted) {
        Check(result == QSN_OK && after == expected);
        return;
    }
    Check(attempts == 3 && after == before);
    if (mustFail) Check(result == QSN_FAILED);
    if (!complete) Check(result == QSN_NO_LINE);
    Check(result == QSN_FAILED || result == QSN_NO_LINE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qsn::fuzz::Bytes bytes(data, size);
    const Shape& shape = kShapes[bytes.Byte() % std::size(kShapes)];
    const auto value = static_cast<std::int16_t>(bytes.Byte() | bytes.Byte() << 8);

    qsn::fake::Device& device = qsn::fuzz::FreshLine();
    std::vector<Exchange> exchanges;
    device.respond = [&bytes, &exchanges](qsn::fake::Device& d, const std::string& frame) {
        std::string answer(bytes.Byte(), '\0');
        answer.resize(bytes.Take(answer.data(), answer.size()));
        d.input += answer;
        exchanges.push_back({frame, answer});
    };
    auto context = std::make_unique<Guarded<DriverContext>>();
    if (!qsn::fuzz::StartLine(&context->value)) std::abort();
    exchanges.clear();

    auto values = std::make_unique<Guarded<Values>>();
    values->value.fill(-7);
    values->value[0] = value;
    values->value[1] = value;
    const Values before = values->value;
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
    CheckAgainstModel(shape, value, exchanges, result, before, values->value);
    context->Check();
    values->Check();
    block->Check();
    return 0;
}
