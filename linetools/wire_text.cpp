#include "wire_text.h"

#include <algorithm>
#include <array>

#include "display_text.h"
#include "optomux/frame.h"
#include "results.h"

namespace plexer {

namespace {

// The commands the driver sends, by letter (case matters). "K" and "L" both
// read and switch: the reading is told by the data field's length.
struct Command {
    char letter;
    const char* what;
};

constexpr std::array<Command, 8> kCommands = {{
    {'A', "power-up clear"},
    {'I', "configure as output"},
    {'k', "set temperature probe"},
    {'L', "read analog inputs"},
    {'K', "read analog outputs"},
    {'M', "read digital points"},
    {'l', "read temperatures"},
    {'S', "write analog outputs"},
}};

constexpr std::size_t kMaskDigits = 4;
constexpr std::size_t kChecksumDigits = 2;

// The driver's own sum, so that the trace judges a frame as the driver does.
std::string Checksum(const std::string& text) {
    char digits[3];
    qsn::CalcChecksum(text.c_str(), digits);
    return digits;
}

std::string WithoutCr(const std::string& text) {
    return !text.empty() && text.back() == '\r' ? text.substr(0, text.size() - 1) : text;
}

const char* CommandWhat(char letter) {
    const auto command = std::ranges::find(kCommands, letter, &Command::letter);
    return command == kCommands.end() ? nullptr : command->what;
}

// " (2048)" for "800"; "" when the text is not hexadecimal.
std::string HexValue(const std::string& digits) {
    unsigned value = 0;
    for (const char c : digits) {
        const int digit = UpperHexValue(c);
        if (digit < 0) return "";
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return digits.empty() ? "" : " (" + std::to_string(value) + ")";
}

// What the data field of a command asks, after its mask.
std::string DataMeaning(char letter, const std::string& data) {
    if (data.size() < kMaskDigits) return data.empty() ? "" : ", data " + data;
    const std::string mask = ", mask " + data.substr(0, kMaskDigits);
    const std::string rest = data.substr(kMaskDigits);
    if (letter == 'k') return mask + ", probe code " + rest;
    if (letter == 'S') return mask + ", value " + rest + HexValue(rest);
    return rest.empty() ? mask : mask + ", data " + rest;
}

// A bare acknowledgement answers configuration and write frames; "K" and "L"
// with one point's mask may be either a read or a switch, so only the frames
// that are always reads expect data.
bool ExpectsData(const std::string& command) {
    if (command.size() < 4) return false;
    const char letter = command[3];
    return letter == 'M' || letter == 'l' || ((letter == 'K' || letter == 'L') && command.find("FFFF") == 4);
}

}  // namespace

std::string DescribeCommand(const std::string& frame, const std::string& reply) {
    const std::string text = WithoutCr(frame);
    if (text.size() < 4 + kChecksumDigits || text[0] != '>') return "not a command frame";
    const std::string body = text.substr(1, text.size() - 1 - kChecksumDigits);
    const std::string sum = text.substr(text.size() - kChecksumDigits);
    const std::string unit = body.substr(0, 2);
    const char letter = body[2];
    const char* what = CommandWhat(letter);
    const bool ambiguous =
        (letter == 'K' || letter == 'L') && body.size() == 3 + kMaskDigits && body.substr(3) != "FFFF";
    if (ambiguous && reply == "A\r") what = letter == 'K' ? "switch digital output on" : "switch digital output off";
    std::string meaning = "unit " + unit + ": " +
                          (what == nullptr ? std::string("command ") + letter : std::string(what)) +
                          DataMeaning(letter, body.substr(3));
    if (ambiguous && reply.empty()) {
        meaning += letter == 'K' ? " (or switch that output on)" : " (or switch that output off)";
    }
    if (Checksum(body) != sum) meaning += ", checksum wrong (" + sum + ", expected " + Checksum(body) + ")";
    if (frame.empty() || frame.back() != '\r') meaning += ", no carriage return";
    return meaning;
}

std::string DescribeReply(const std::string& reply, const std::string& command) {
    if (reply.empty() || reply.back() != '\r') return "no carriage return: cut off or still arriving";
    const std::string text = WithoutCr(reply);
    if (text.empty()) return "unrecognised: carriage return alone";
    if (text[0] == 'N') {
        const std::string code = text.substr(1);
        const std::string meaning = ErrorCodeMeaning(code);
        return "error N" + code + (meaning.empty() ? ": unknown error code" : ": " + meaning);
    }
    if (text[0] != 'A') return "unrecognised: neither acknowledgement nor error";
    if (text.size() == 1) {
        return ExpectsData(command) ? "acknowledged without data (a read expects data and checksum)" : "acknowledged";
    }
    if (text.size() < 1 + kChecksumDigits) return "acknowledged, no room for a checksum";
    const std::string data = text.substr(1, text.size() - 1 - kChecksumDigits);
    const std::string sum = text.substr(text.size() - kChecksumDigits);
    const std::string verdict =
        Checksum(data) == sum ? "checksum ok" : "checksum wrong (" + sum + ", expected " + Checksum(data) + ")";
    return "acknowledged, data " + (data.empty() ? std::string("none") : data) + ", " + verdict;
}

}  // namespace plexer
