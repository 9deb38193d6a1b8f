// scan: which unit addresses answer. The driver's read gives a silent unit
// three attempts and a second of pauses, which over 256 addresses would take
// minutes; so the scan sends each address one power-up clear of its own on the
// line the driver opened, and waits for an answer only the scan's short
// time-out. A power-up clear is what the driver sends first to any unit anyway.
#include <cstdio>

#include "commands.h"
#include "console.h"
#include "format.h"
#include "port_access.h"

namespace plexer {

namespace {

constexpr int kDefaultScanTimeoutMs = 30;
constexpr int kBarWidth = 32;

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

void DrawProgress(int done, int total, int found) {
    const int filled = total == 0 ? kBarWidth : done * kBarWidth / total;
    std::fprintf(stderr, "\r[%s%s] %d/%d, %d answering", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(), done, total, found);
    std::fflush(stderr);
}

std::string ReplyText(const std::string& reply) { return reply.substr(0, reply.size() - 1); }

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
    for (int unit = scan.from; unit <= scan.to && !Interrupted(); ++unit) {
        if (progress) DrawProgress(unit - scan.from, total, static_cast<int>(answering.size()));
        const std::string reply = ProbeExchange(session.Driver().Port(), PowerupClearFrame(unit), wait);
        if (reply.empty()) continue;
        answering.push_back(unit);
        if (progress) std::fprintf(stderr, "\r\x1b[2K");
        out.Text("unit 0x" + Hex2(unit) + " (" + std::to_string(unit) + ") answers: " + ReplyText(reply));
        out.Object({{"unit", unit}, {"answers", true}, {"reply", ReplyText(reply)}});
    }
    if (progress) {
        DrawProgress(total, total, static_cast<int>(answering.size()));
        std::fprintf(stderr, "\n");
    }
    std::string list;
    for (const int unit : answering) list += " 0x" + Hex2(unit);
    out.Text(std::to_string(answering.size()) + " of " + std::to_string(total) + " addresses answer" +
             (answering.empty() ? "" : ":" + list));
    out.Object({{"scanned", total}, {"answering", answering}, {"interrupted", Interrupted()}});
    if (answering.empty()) {
        throw CommandFailure(kExitFailed, "no unit answered from 0x" + Hex2(scan.from) + " to 0x" + Hex2(scan.to));
    }
}

}  // namespace plexer
