#include "results.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace plexer {

namespace {

struct ErrorCode {
    const char* code;
    const char* meaning;
};

constexpr std::array<ErrorCode, 8> kErrorCodes = {{
    {"00", "power-up clear expected"},
    {"01", "undefined command"},
    {"02", "checksum error"},
    {"03", "buffer overrun"},
    {"04", "non-printable character"},
    {"05", "data field error"},
    {"06", "communications watchdog"},
    {"07", "limits invalid"},
}};

// "the unit answered N05 (data field error)" from the driver's line for an error reply.
std::string ErrorReplyText(const std::string& text) {
    static constexpr std::string_view kCode = "ErrorCode ";
    const std::size_t at = text.find(kCode);
    if (at == std::string::npos) return "";
    std::string code = text.substr(at + kCode.size());
    code = code.substr(0, code.find(' '));
    const std::string meaning = ErrorCodeMeaning(code);
    return "the unit answered N" + code + " (" + (meaning.empty() ? "an unknown error code" : meaning) + ")";
}

std::string Trimmed(const std::string& text) { return text.substr(0, text.find_last_not_of(' ') + 1); }

}  // namespace

std::string ErrorCodeMeaning(const std::string& code) {
    const auto entry = std::ranges::find(kErrorCodes, code, &ErrorCode::code);
    return entry == kErrorCodes.end() ? "" : entry->meaning;
}

std::vector<PointValue> PointValues(const Gate& gate, const Transfer& transfer, bool wholeUnit) {
    const Family family = FamilyOf(gate.typeCode);
    if (!wholeUnit) return {{gate.gas, family, transfer.values[1]}};
    const unsigned status = static_cast<std::uint16_t>(transfer.values[0]);
    std::vector<PointValue> points;
    for (unsigned i = 0; i < transfer.values.size(); ++i) {
        const std::int16_t value =
            IsDigital(family) ? static_cast<std::int16_t>((status >> i) & 1u) : transfer.values[i];
        points.push_back({GasAt(gate.gas, static_cast<int>(i)), family, value});
    }
    return points;
}

std::string LogSummary(const std::vector<LogLine>& log) {
    std::string summary;
    for (const LogLine& line : log) {
        if (!summary.empty()) summary += "; ";
        summary += line.text;
    }
    return summary;
}

std::string FailureCause(const std::vector<LogLine>& log) {
    // An error reply says most: the unit heard the frame and said what was wrong.
    for (const LogLine& line : log) {
        const std::string answered = ErrorReplyText(line.text);
        if (IsReplyFault(line) && !answered.empty()) return answered + ": " + Trimmed(line.text);
    }
    for (const LogLine& line : log) {
        if (IsReplyFault(line)) return line.text;
    }
    // The closing "Single Read failed!" or "Single Write failed!" only repeats the result.
    for (const LogLine& line : log) {
        if (line.level == 32 && line.text.find("Single ") == std::string::npos) return line.text;
    }
    return "";
}

}  // namespace plexer
