#include "request.h"

#include <modbus/modbus.h>

#include <algorithm>

namespace plexer::gateway {

namespace {

constexpr std::size_t kMaxPduLength = MODBUS_MAX_PDU_LENGTH;
constexpr std::uint16_t kCoilOn = 0xFF00;
constexpr std::uint16_t kNever = 0xFFFF;
constexpr long long kTenthsCap = 0xFFFE;

std::uint16_t Word(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

// The most a function may read or write in one request; 0 for a function the gateway does not know.
int QuantityLimit(std::uint8_t function) {
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS: return MODBUS_MAX_READ_BITS;
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: return MODBUS_MAX_READ_REGISTERS;
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER: return 1;
    case MODBUS_FC_WRITE_MULTIPLE_COILS: return MODBUS_MAX_WRITE_BITS;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: return MODBUS_MAX_WRITE_REGISTERS;
    default: return 0;
    }
}

// The values a write carries, once its lengths agree; false if they do not.
bool ParseWriteValues(const std::uint8_t* pdu, std::size_t length, Request& request) {
    switch (request.function) {
    case MODBUS_FC_WRITE_SINGLE_COIL: {
        const std::uint16_t value = Word(pdu + 3);
        if (value != kCoilOn && value != 0) return false;
        request.values = {static_cast<std::uint16_t>(value == kCoilOn)};
        return true;
    }
    case MODBUS_FC_WRITE_SINGLE_REGISTER: request.values = {Word(pdu + 3)}; return true;
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const bool bits = request.function == MODBUS_FC_WRITE_MULTIPLE_COILS;
        const std::size_t bytes = bits ? (request.quantity + 7u) / 8u : request.quantity * 2u;
        if (length < 6 || pdu[5] != bytes || length != 6 + bytes) return false;
        for (std::size_t i = 0; i < request.quantity; ++i) {
            const unsigned byte = pdu[6 + i / 8];
            request.values.push_back(bits ? static_cast<std::uint16_t>(byte >> (i % 8) & 1u) : Word(pdu + 6 + 2 * i));
        }
        return true;
    }
    default: return true;
    }
}

std::uint16_t Bounded(long long value) { return static_cast<std::uint16_t>(std::clamp(value, 0LL, 0xFFFFLL)); }

std::vector<std::uint16_t> HealthRegisters(const HealthView& view, PollClock::time_point now) {
    const UnitHealth& health = view.unit;
    std::vector<std::uint16_t> registers(kHealthRegisters, 0);
    const long counts[] = {health.counters.transactions, health.counters.failures, health.counters.retries};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto count = static_cast<std::uint32_t>(std::max(counts[i], 0L));
        registers[2 * i] = static_cast<std::uint16_t>(count >> 16);
        registers[2 * i + 1] = static_cast<std::uint16_t>(count & 0xFFFFu);
    }
    registers[kLastResult] = health.lastResult ? Bounded(*health.lastResult) : kNever;
    registers[kLastGoodAge] = kNever;
    if (health.lastGood) {
        const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(now - *health.lastGood).count() / 100;
        if (tenths <= kTenthsCap) registers[kLastGoodAge] = Bounded(tenths);
    }
    registers[kDemoted] = DemotedAt(health, now) ? 1 : 0;
    registers[kLineLost] = view.lineUp ? 0 : 1;
    return registers;
}

// Where a register address of a unit's table lies: the raw (or scaled)
// register of a position, or one word of a position served as float.
struct Place {
    std::size_t gate = 0;
    bool isFloat = false;
    int word = 0;
};

std::optional<Place> PlaceOf(const UnitMap& unit, const PointMap& map, Table table, std::size_t address) {
    const auto& row = unit.point[static_cast<std::size_t>(table)];
    if (address < kPositions) {
        if (row[address] < 0) return std::nullopt;
        return Place{static_cast<std::size_t>(row[address]), false, 0};
    }
    const bool registers = table == Table::kInputRegisters || table == Table::kHoldingRegisters;
    if (!registers || address < kFloatBase || address >= kFloatBase + 2u * kPositions) return std::nullopt;
    const std::size_t position = (address - kFloatBase) / 2;
    if (row[position] < 0) return std::nullopt;
    const auto gate = static_cast<std::size_t>(row[position]);
    if (map.Settings(gate).serving != Serving::kFloat) return std::nullopt;
    return Place{gate, true, static_cast<int>((address - kFloatBase) % 2)};
}

std::uint16_t RegisterValue(const PointMap& map, const Place& place, const PointVerdict& point) {
    const PointSettings& settings = map.Settings(place.gate);
    if (place.isFloat) {
        const std::vector<std::uint16_t> words = FloatRegisters(static_cast<float>(*point.eu), map.FloatWordOrder());
        return words[static_cast<std::size_t>(place.word)];
    }
    if (settings.serving == Serving::kScaled) return ScaledRegister(settings, *point.eu);
    return static_cast<std::uint16_t>(*point.verdict.counts);
}

// A '?' position is not a point; every other value that is not a reading fails the target.
Exception ExceptionOf(const Verdict& verdict) {
    if (verdict.Good()) return kNone;
    return verdict.reason == Reason::kNotConfigured ? kIllegalAddress : kTargetFailed;
}

// A write's items in address order, up to the first address with no point
// (0x02) or a float cut in half (0x03), which `fault` then names.
struct WriteItems {
    std::vector<WriteItem> items;
    Exception fault = kNone;
};

WriteItems ItemsOf(const Request& request, const PointMap& map, const UnitMap& unit) {
    const Table table = TableOfFunction(request.function);
    WriteItems wanted;
    for (std::size_t i = 0; i < request.quantity; ++i) {
        const std::optional<Place> place = PlaceOf(unit, map, table, request.address + i);
        if (!place) return {std::move(wanted.items), kIllegalAddress};
        const PointSettings& settings = map.Settings(place->gate);
        if (place->isFloat) {
            // Both words of a float, high word first in the request, or nothing.
            if (place->word != 0 || i + 1 >= request.quantity) return {std::move(wanted.items), kIllegalValue};
            const float eu = FloatOf(request.values[i], request.values[i + 1], map.FloatWordOrder());
            wanted.items.push_back({place->gate, eu, true});
            ++i;
        } else if (table != Table::kCoils && settings.serving == Serving::kScaled) {
            const double eu = static_cast<std::int16_t>(request.values[i]) / settings.multiplier;
            wanted.items.push_back({place->gate, eu, true});
        } else {
            // Counts: a coil's 0 or 1, a raw register, also the one beside a float.
            wanted.items.push_back({place->gate, static_cast<double>(request.values[i]), false});
        }
    }
    return wanted;
}

// The place of every address of a read, or none when one holds no point.
std::optional<std::vector<Place>> PlacesRead(const Request& request, const UnitMap& unit, const PointMap& map) {
    const Table table = TableOfFunction(request.function);
    std::vector<Place> places;
    for (std::size_t address = request.address; address < request.address + request.quantity; ++address) {
        const std::optional<Place> place = PlaceOf(unit, map, table, address);
        if (!place) return std::nullopt;
        places.push_back(*place);
    }
    return places;
}

}  // namespace

std::optional<std::size_t> FrameLength(const std::uint8_t* bytes, std::size_t count) {
    if (count < kHeaderLength) return 0;
    const std::size_t length = Word(bytes + 4);  // the unit id and the PDU
    if (Word(bytes + 2) != 0 || length < 2 || length > kMaxPduLength + 1) return std::nullopt;
    const std::size_t total = kHeaderLength - 1 + length;
    return count >= total ? total : 0;
}

Cut CutRequest(std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& adu) {
    const std::optional<std::size_t> length = FrameLength(input.data(), input.size());
    if (!length) return Cut::kBroken;
    if (*length == 0) return Cut::kWaiting;
    const auto end = input.begin() + static_cast<long>(*length);
    adu.assign(input.begin(), end);
    input.erase(input.begin(), end);
    return Cut::kRequest;
}

Parsed ParseRequest(const std::uint8_t* adu, std::size_t length) {
    Request request;
    request.unit = adu[kHeaderLength - 1];
    request.function = adu[kHeaderLength];
    const std::uint8_t* pdu = adu + kHeaderLength;
    const std::size_t pduLength = length - kHeaderLength;
    const int limit = QuantityLimit(request.function);
    if (limit == 0) return {request, kIllegalFunction};
    if (pduLength < 5) return {request, kIllegalValue};
    request.address = Word(pdu + 1);
    const bool single =
        request.function == MODBUS_FC_WRITE_SINGLE_COIL || request.function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    request.quantity = single ? 1 : Word(pdu + 3);
    // A multiple write has its length checked with its byte count.
    const bool sized = (IsWrite(request.function) && !single) || pduLength == 5;
    const bool valid =
        sized && request.quantity >= 1 && request.quantity <= limit && ParseWriteValues(pdu, pduLength, request);
    return {request, valid ? kNone : kIllegalValue};
}

bool IsWrite(std::uint8_t function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

Table TableOfFunction(std::uint8_t function) {
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_MULTIPLE_COILS: return Table::kCoils;
    case MODBUS_FC_READ_DISCRETE_INPUTS: return Table::kDiscreteInputs;
    case MODBUS_FC_READ_INPUT_REGISTERS: return Table::kInputRegisters;
    default: return Table::kHoldingRegisters;
    }
}

bool ReadsHealth(const Request& request) {
    return request.function == MODBUS_FC_READ_INPUT_REGISTERS && request.address >= kHealthBase &&
           request.address < kFloatBase;
}

std::vector<std::size_t> GatesRead(const Request& request, const PointMap& map) {
    const UnitMap* unit = map.Unit(request.unit);
    if (unit == nullptr || ReadsHealth(request)) return {};
    const std::optional<std::vector<Place>> places = PlacesRead(request, *unit, map);
    std::vector<std::size_t> gates;
    if (places) {
        for (const Place& place : *places) gates.push_back(place.gate);
    }
    return gates;
}

ReadAnswer AnswerRead(const Request& request, const PointMap& map, std::span<const PointVerdict> verdicts,
                      const HealthView* health, PollClock::time_point now) {
    const UnitMap* unit = map.Unit(request.unit);
    if (unit == nullptr) return {kPathUnavailable, {}};
    if (ReadsHealth(request)) {
        const std::size_t first = request.address - kHealthBase;
        if (first + request.quantity > kHealthRegisters) return {kIllegalAddress, {}};
        if (health == nullptr) return {kTargetFailed, {}};
        const std::vector<std::uint16_t> all = HealthRegisters(*health, now);
        const auto from = all.begin() + static_cast<long>(first);
        return {kNone, {from, from + request.quantity}};
    }
    const std::optional<std::vector<Place>> places = PlacesRead(request, *unit, map);
    if (!places) return {kIllegalAddress, {}};
    ReadAnswer answer;
    const Table table = TableOfFunction(request.function);
    const bool bits = table == Table::kCoils || table == Table::kDiscreteInputs;
    for (std::size_t i = 0; i < places->size(); ++i) {
        const Exception exception = i >= verdicts.size() ? kTargetFailed : ExceptionOf(verdicts[i].verdict);
        if (exception != kNone) return {exception, {}};
        answer.values.push_back(bits ? static_cast<std::uint16_t>(*verdicts[i].verdict.counts != 0)
                                     : RegisterValue(map, (*places)[i], verdicts[i]));
    }
    return answer;
}

WriteAnswer AnswerWrite(const Request& request, const Running& running) {
    const UnitMap* unit = running.map.Unit(request.unit);
    if (unit == nullptr) return {kPathUnavailable, {}};
    // A read-only unit refuses every write, even one to an address where it has no point.
    if (running.config.readOnly || unit->settings.readOnly) return {kIllegalFunction, {}};
    const WriteItems wanted = ItemsOf(request, running.map, *unit);
    WritePlan plan = PlanWrites(running, wanted.items);
    if (plan.refusal != Refusal::kNone) return {ExceptionOfRefusal(plan.refusal), {}};
    if (wanted.fault != kNone) return {wanted.fault, {}};
    return {kNone, std::move(plan)};
}

Exception ExceptionOfRefusal(Refusal refusal) {
    switch (refusal) {
    case Refusal::kNone: return kNone;
    case Refusal::kReadOnly: return kIllegalFunction;
    case Refusal::kNoSuchPoint:
    case Refusal::kNotAnOutput: return kIllegalAddress;
    case Refusal::kOutOfRange: return kIllegalValue;
    }
    return kIllegalValue;
}

std::vector<std::uint8_t> ExceptionAdu(const std::uint8_t* adu, std::uint8_t code) {
    std::vector<std::uint8_t> answer(adu, adu + kHeaderLength);
    answer[4] = 0;
    answer[5] = 3;  // unit id, function and code
    answer.push_back(static_cast<std::uint8_t>(adu[kHeaderLength] | 0x80u));
    answer.push_back(code);
    return answer;
}

}  // namespace plexer::gateway
