// The simulator's frame input: any byte stream on the line, assembled into
// frames, parsed, answered by a unit of each kind and passed through the
// fault injector. Every answer must be one well-formed reply with its checksum.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string>

#include "sim/faults.h"
#include "sim/unit.h"
#include "sim/wire.h"

namespace {

using namespace qsn::sim;

std::array<Unit, 3> Rack() {
    UnitOptions digital;
    digital.kind = UnitKind::kDigital;
    digital.outputs = 0x00FF;
    digital.cleared = true;
    digital.animation.shape = Shape::kToggle;
    UnitOptions analog;
    analog.kind = UnitKind::kAnalog;
    analog.outputs = 0x0F0F;
    analog.animation.shape = Shape::kSine;
    UnitOptions temperature;
    temperature.kind = UnitKind::kTemperature;
    temperature.probes[0] = 0x05;
    temperature.probes[15] = 0x11;
    temperature.temperatures[0] = 2047.9375;
    temperature.temperatures[15] = -2048;
    temperature.animation.shape = Shape::kRamp;
    return {Unit(digital), Unit(analog), Unit(temperature)};
}

// A unit answers "A", an error reply "N" and its code, or "A", data of
// hexadecimal digits (or "?" for a point it cannot read) and their sum's two digits.
void CheckReply(const std::string& reply) {
    if (reply.empty() || reply.back() != '\r') std::abort();
    if (std::count(reply.begin(), reply.end(), '\r') != 1) std::abort();
    if (reply[0] == 'N' || reply == "A\r") return;
    if (reply[0] != 'A' || reply.size() < 4) std::abort();
    const std::string data = reply.substr(1, reply.size() - 4);
    if (data.find_first_not_of("0123456789ABCDEF?") != std::string::npos) std::abort();
    unsigned sum = 0;
    for (const char c : data) sum += static_cast<unsigned char>(c);
    static const char kDigits[] = "0123456789ABCDEF";
    if (reply[reply.size() - 3] != kDigits[sum / 16 % 16] || reply[reply.size() - 2] != kDigits[sum % 16]) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<Unit, 3> rack = Rack();
    FaultInjector injector(size);
    FaultSettings faults;
    faults.dropRate = 0.05;
    faults.corruptRate = 0.05;
    faults.truncate = 0.05;
    faults.babble = 0.01;
    FrameAssembler assembler;
    double elapsedS = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (assembler.Feed(static_cast<char>(data[i])) != FrameAssembler::Event::kFrame) continue;
        const std::optional<Frame> frame = ParseFrame(assembler.Text());
        if (!frame) continue;
        elapsedS += 0.37;
        for (Unit& unit : rack) {
            const std::string reply = unit.Answer(*frame, elapsedS);
            CheckReply(reply);
            injector.Apply(reply, faults);
        }
    }
    return 0;
}
