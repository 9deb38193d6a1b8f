// scan: which unit addresses answer. The driver's read gives a silent unit
// three attempts and a second of pauses, which over 256 addresses would take
// minutes; so the scan sends each address one power-up clear of its own on the
// line the driver opened, and waits for an answer only the scan's short
// time-out. A power-up clear is what the driver sends first to any unit anyway.
// On a noisy line a unit may answer with something that does not parse; that
// is told apart from silence, and either is tried once more before the address
// is called absent.
#include <cctype>
#include <cstdio>

#include "commands.h"
#include "interrupt.h"
#include "terminal.h"
#include "format.h"
#include "port_access.h"

namespace plexer {

namespace {

constexpr int kDefaultScanTimeoutMs = 30;
constexpr int kBarWidth = 32;
constexpr int kExitInterrupted = 130;  // as a shell reports a program ended by Ctrl-C

enum class Answer { kAnswers, kGarbled, kSilent };

std::string Hex2(int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value) & 0xFFu);
    return text;
}

// ">" address "A" checksum CR; the checksum is the byte sum of address and letter.
std::string PowerupClearFrame(int unit) {
    const std::string body = Hex2(unit) + "A";
    int sum = 0;
    for (const char c : body) sum += static_cast<unsigned char>(c);
    return ">" + body + Hex2(sum) + "\r";
}

// A power-up clear is answered "A", or "N" and a two-digit error code; both
// prove a unit at the address.
Answer Judge(const std::string& reply) {
    if (reply.empty()) return Answer::kSilent;
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const bool parses = reply == "A\r" || (reply.size() == 4 && reply[0] == 'N' && hex(reply[1]) && hex(reply[2]) &&
                                           reply[3] == '\r');
    return parses ? Answer::kAnswers : Answer::kGarbled;
}

// What came back, printable: control and non-ASCII characters as \xNN.
std::string Shown(const std::string& reply) {
    std::string text;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const auto c = static_cast<unsigned char>(reply[i]);
        if (c == '\r' && i + 1 == reply.size()) break;
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

void DrawProgress(int done, int total, int found) {
    const int filled = total == 0 ? kBarWidth : done * kBarWidth / total;
    const std::string bar = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                            std::to_string(done) + "/" + std::to_string(total) + ", " + std::to_string(found) +
                            " answering";
    WriteWhole(stderr, bar);
}

std::string AddressList(const std::vector<int>& units) {
    std::string list;
    for (const int unit : units) list += " 0x" + Hex2(unit);
    return list;
}

}  // namespace

void RunScan(Session& session, const LineOptions& line, const ScanOptions& scan) {
    if (scan.from > scan.to)
        throw CommandFailure(kExitUsage,
                             "--from " + std::to_string(scan.from) + " is above --to " + std::to_string(scan.to));
    session.StartLine(line, kDefaultScanTimeoutMs);
    const auto wait = std::chrono::milliseconds(line.timeoutMs.value_or(kDefaultScanTimeoutMs));
    const Output& out = session.Out();
    const bool progress = IsTerminal(stderr);
    const int total = scan.to - scan.from + 1;
    const InterruptCatcher catcher;

    std::vector<int> answering;
    std::vector<int> garbled;
    int scanned = 0;
    for (int unit = scan.from; unit <= scan.to && !Interrupted(); ++unit) {
        if (progress) DrawProgress(scanned, total, static_cast<int>(answering.size()));
        const std::string frame = PowerupClearFrame(unit);
        std::string reply = ProbeExchange(session.Driver().Port(), frame, wait);
        Answer answer = Judge(reply);
        if (answer != Answer::kAnswers && !Interrupted()) {
            const std::string again = ProbeExchange(session.Driver().Port(), frame, wait);
            // Something that came back either time tells more than silence.
            if (Judge(again) != Answer::kSilent || answer == Answer::kSilent) {
                reply = again;
                answer = Judge(again);
            }
        }
        ++scanned;
        if (answer == Answer::kSilent) continue;
        (answer == Answer::kAnswers ? answering : garbled).push_back(unit);
        if (progress) WriteWhole(stderr, "\r\x1b[2K");
        const char* verdict = answer == Answer::kAnswers ? "answers" : "garbled";
        out.Text("unit 0x" + Hex2(unit) + " (" + std::to_string(unit) + ") " + verdict + ": " + Shown(reply));
        out.Object({{"unit", unit}, {"answers", answer == Answer::kAnswers}, {"state", verdict}, {"reply", Shown(reply)}});
        std::fflush(stdout);
    }
    const bool interrupted = Interrupted();
    if (progress) {
        DrawProgress(scanned, total, static_cast<int>(answering.size()));
        WriteWhole(stderr, "\n");
    }
    std::string summary = std::to_string(answering.size()) + " of " + std::to_string(scanned) + " addresses answer" +
                          (answering.empty() ? "" : ":" + AddressList(answering));
    if (!garbled.empty()) summary += "; garbled replies from" + AddressList(garbled);
    if (interrupted) summary += " (interrupted after " + std::to_string(scanned) + " of " + std::to_string(total) + ")";
    out.Text(summary);
    out.Object({{"scanned", scanned},
                {"total", total},
                {"answering", answering},
                {"garbled", garbled},
                {"interrupted", interrupted}});
    if (interrupted) throw CommandFailure(kExitInterrupted, "scan interrupted");
    if (answering.empty()) {
        throw CommandFailure(kExitFailed, "no unit answered from 0x" + Hex2(scan.from) + " to 0x" + Hex2(scan.to) +
                                              (garbled.empty() ? "" : " without garbling its reply"));
    }
}

}  // namespace plexer
