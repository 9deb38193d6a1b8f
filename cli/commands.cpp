#include "commands.h"

#include <charconv>
#include <cmath>

#include "display_text.h"
#include "format.h"
#include "quality.h"

namespace plexer {

namespace {

int ClassNumber(std::int32_t typeCode) { return static_cast<int>(TypeClassOf(typeCode)); }

std::string InvalidReason(const Validation& validation) {
    const std::string why = LogSummary(validation.log);
    return why.empty() ? "refused without a message" : why;
}

void ShowValidation(const Output& out, const Validation& validation) {
    const Gate& gate = validation.gate;
    if (validation.result != QSN_OK) {
        out.Text(Pad(gate.gas, 7) + "invalid: " + InvalidReason(validation) + " (driver result " +
                 std::to_string(validation.result) + ")");
        out.Object({{"gas", gate.gas},
                    {"valid", false},
                    {"result", validation.result},
                    {"reason", InvalidReason(validation)}});
        return;
    }
    const std::string mnemonic = MnemonicOf(gate.typeCode);
    const Family family = FamilyOf(gate.typeCode);
    out.Text(Pad(gate.gas, 7) + "unit 0x" + Hex2(static_cast<unsigned>(gate.unit)) + "  " +
             Pad(mnemonic + " " + FamilyName(family), 21) + "type " + std::to_string(gate.typeCode) + "  class " + std::to_string(ClassNumber(gate.typeCode)) +
             "  point address " + std::to_string(gate.pointAddress) + "  point index " +
             std::to_string(gate.pointIndex));
    out.Object({{"gas", gate.gas},
                {"valid", true},
                {"unit", gate.unit},
                {"type", mnemonic},
                {"typeCode", gate.typeCode},
                {"typeClass", ClassNumber(gate.typeCode)},
                {"family", FamilyName(family)},
                {"pointAddress", gate.pointAddress},
                {"pointIndex", gate.pointIndex},
                {"pointCount", gate.pointCount}});
}

// Shows a failed read or write and adds it to `failures`.
void FailTransfer(const Output& out, Failures& failures, const Gate& gate, std::int32_t command,
                  const Transfer& transfer) {
    const std::string meaning = ResultMeaning(command, transfer.result);
    const std::string cause = FailureCause(transfer.log);
    out.Text(Pad(gate.gas, 7) + "failed: " + meaning);
    out.Object({{"gas", gate.gas},
                {"unit", gate.unit},
                {"ok", false},
                {"result", transfer.result},
                {"reason", meaning},
                {"cause", cause}});
    failures.Add((command == QSN_READ ? "read " : "write ") + gate.gas + ": " + meaning +
                 (cause.empty() ? "" : ": " + cause));
}

// The driver returned success with a value it made up ('?') or clamped.
void ShowBadValue(const Output& out, const Gate& gate, Quality quality) {
    out.Text(Pad(gate.gas, 7) + "failed: " + BadValueText(gate, quality));
    out.Object({{"gas", gate.gas},
                {"unit", gate.unit},
                {"ok", false},
                {"result", QSN_OK},
                {"quality", QualityName(quality)},
                {"reason", BadValueText(gate, quality)}});
}

void ShowPoint(const Output& out, const Gate& gate, const PointValue& point) {
    out.Text(Pad(point.gas, 7) + ValueText(point.family, point.value));
    nlohmann::ordered_json object = {{"gas", point.gas}, {"unit", gate.unit}, {"ok", true}};
    object.update(ValueJson(point.family, point.value));
    out.Object(object);
}

template <typename Number>
std::optional<Number> ParseNumber(const std::string& text) {
    Number number{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

// An analog value in counts, or a percentage of the span with a % sign.
std::optional<long> ParseAnalog(const std::string& text) {
    if (text.empty() || text.back() != '%') return ParseNumber<long>(text);
    const std::optional<double> percent = ParseNumber<double>(text.substr(0, text.size() - 1));
    if (!percent || *percent < 0 || *percent > 100) return std::nullopt;
    return std::lround(*percent * 4095.0 / 100.0);
}

std::optional<long> ParseSwitch(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "on" || text == "1" || text == "true") return 1;
    if (text == "off" || text == "0" || text == "false") return 0;
    return std::nullopt;
}

constexpr long kAnalogMax = 4095;

// The value as the host hands it to the driver, its range checked before the
// line is opened: the driver would refuse it after opening.
std::int16_t WriteValue(const Gate& gate, const std::string& text) {
    const bool digital = IsDigital(FamilyOf(gate.typeCode));
    const std::optional<long> value = digital ? ParseSwitch(text) : ParseAnalog(text);
    if (!value || *value < 0 || *value > kAnalogMax) {
        throw CommandFailure(kExitUsage,
                             "value " + text + " for " + gate.gas + ": expected " +
                                 (digital ? "on or off" : "a count from 0 to 4095, or a percentage from 0% to 100%"));
    }
    return static_cast<std::int16_t>(*value);
}

struct Access {
    const char* reads;
    const char* writes;
};

Access AccessOf(Family family) {
    switch (family) {
    case Family::kAnalogIn: return {"L: counts 0-4095 and % of span", "refused: read-only"};
    case Family::kAnalogOut: return {"K: the output in counts (I configures it first)", "S: counts 0-4095 or N%"};
    case Family::kDigitalIn: return {"M: on or off", "refused: read-only"};
    case Family::kDigitalOut: return {"M: on or off (I configures it first)", "K on, L off"};
    case Family::kTemperature: return {"l: degrees C (k sets the probe type first)", "refused: no write"};
    case Family::kOther: break;
    }
    return {"refused: no read", "refused: no write"};
}

}  // namespace

void ListTypes(const Output& out) {
    out.Text("type  code  class  family             reads (command letter: value)                    writes");
    for (const qsn::GateType& type : qsn::kGateTypes) {
        const Family family = FamilyOf(type.code);
        const Access access = AccessOf(family);
        const std::string familyName = family == Family::kOther ? "other" : FamilyName(family);
        out.Text(Pad(type.mnemonic, 6) + Pad(std::to_string(type.code), 6) +
                 Pad(std::to_string(ClassNumber(type.code)), 7) + Pad(familyName, 19) + Pad(access.reads, 49) +
                 access.writes);
        out.Object({{"type", type.mnemonic},
                    {"typeCode", type.code},
                    {"typeClass", ClassNumber(type.code)},
                    {"family", familyName},
                    {"reads", access.reads},
                    {"writes", access.writes}});
    }
}

std::vector<Gate> ValidGates(Session& session, const std::vector<std::string>& gases, Failures& failures,
                             bool showValid) {
    std::vector<Gate> gates;
    for (const std::string& gas : gases) {
        const Validation validation = session.Driver().Validate(gas);
        if (validation.result != QSN_OK || showValid) ShowValidation(session.Out(), validation);
        if (validation.result == QSN_OK) {
            gates.push_back(validation.gate);
        } else {
            failures.Add(gas + ": " + ResultMeaning(QSN_VALIDATE_GATE, validation.result) + ": " +
                         InvalidReason(validation));
        }
    }
    return gates;
}

void RunIdentify(Session& session, const LineOptions& line) {
    const IdentBlock& ident = session.Driver().Ident();
    const Output& out = session.Out();
    const std::vector<std::string> banner = BannerLines(ident.banner);
    const std::string family = ident.familyName == nullptr ? "" : ident.familyName;
    out.Text(family);
    for (const std::string& text : banner) out.Text(text);
    out.Text("context size      " + std::to_string(ident.contextSize) + " bytes");
    out.Text("default line      " + SettingsText(ident.defaultSettings));
    out.Text("host values       " + std::to_string(ident.identValueA) + ", " + std::to_string(ident.identValueB) +
             ", " + std::to_string(ident.identValueC));
    // Packed fields go in by value: json would bind references to them.
    nlohmann::ordered_json object = {{"family", family},
                                     {"banner", banner},
                                     {"contextSize", static_cast<int>(ident.contextSize)},
                                     {"defaultSettings", SettingsJson(ident.defaultSettings)},
                                     {"identValues",
                                      {static_cast<int>(ident.identValueA), static_cast<int>(ident.identValueB),
                                       static_cast<int>(ident.identValueC)}}};
    if (!line.port.empty()) {
        // With a port, identification also proves that the line opens.
        session.StartLine(line, kDefaultTimeoutMs);
        out.Text("port              " + line.port + " opened");
        object["port"] = line.port;
        object["opened"] = true;
    }
    out.Object(object);
}

void RunValidate(Session& session, const std::vector<std::string>& gases) {
    Failures failures;
    ValidGates(session, gases, failures, true);
    failures.Check();
}

void RunRead(Session& session, const LineOptions& line, const std::vector<std::string>& gases, bool wholeUnit) {
    Failures failures;
    const std::vector<Gate> gates = ValidGates(session, gases, failures);
    if (!gates.empty()) session.StartLine(line, kDefaultTimeoutMs);
    for (const Gate& gate : gates) {
        const Transfer transfer = session.Driver().Read(gate, wholeUnit);
        if (transfer.result != QSN_OK) {
            FailTransfer(session.Out(), failures, gate, QSN_READ, transfer);
            continue;
        }
        // A whole-unit read's lines do not say which position they flag: each
        // value that could be a made-up one is suspect (a read of its own would
        // configure the position, which plexer read must not do unasked).
        const Quality flagged = QualityOf(transfer.log);
        const Quality quality = wholeUnit ? Quality::kSuspect : flagged;
        if (flagged != Quality::kGood) failures.Add("read " + gate.gas + ": " + BadValueText(gate, quality));
        for (const PointValue& point : PointValues(gate, transfer, wholeUnit)) {
            Gate alone = gate;
            alone.gas = point.gas;
            if (flagged != Quality::kGood && (!wholeUnit || MayBeFlagged(point.family, point.value))) {
                ShowBadValue(session.Out(), alone, quality);
            } else {
                ShowPoint(session.Out(), gate, point);
            }
        }
    }
    failures.Check();
}

void RunWrite(Session& session, const LineOptions& line, const std::string& gas, const std::string& valueText) {
    Failures failures;
    const std::vector<Gate> gates = ValidGates(session, {gas}, failures);
    failures.Check();
    const Gate& gate = gates.front();
    const std::int16_t value = WriteValue(gate, valueText);
    session.StartLine(line, kDefaultTimeoutMs);
    const Transfer transfer = session.Driver().Write(gate, value);
    if (transfer.result != QSN_OK) {
        FailTransfer(session.Out(), failures, gate, QSN_WRITE, transfer);
        failures.Check();
    }
    const Family family = FamilyOf(gate.typeCode);
    session.Out().Text(Pad(gate.gas, 7) + "written: " + ValueText(family, value));
    nlohmann::ordered_json object = {{"gas", gate.gas}, {"unit", gate.unit}, {"ok", true}, {"written", true}};
    object.update(ValueJson(family, value));
    session.Out().Object(object);
}

}  // namespace plexer
