// scan: which unit addresses answer. The driver's read gives a silent unit
// three attempts and a second of pauses, which over 256 addresses would take
// minutes; so the scan opens the port itself, sends each address one power-up
// clear of its own, waits for an answer only the scan's short time-out, and
// hands the line to the driver afterwards. A power-up clear is what the driver
// sends first to any unit anyway.
// On a noisy line a unit may answer with something that does not parse; that
// is told apart from silence, and either is tried once more before the address
// is called absent.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "display_text.h"
#include "interrupt.h"
#include "terminal.h"
#include "format.h"
#include "optomux/frame.h"
#include "port_access.h"

namespace plexer {

namespace {

constexpr int kDefaultScanTimeoutMs = 30;
constexpr int kBarWidth = 32;

enum class Answer { kAnswers, kGarbled, kSilent };

std::string PowerupClearFrame(int unit) {
    char frame[qsn::kFrameCapacity];
    qsn::BuildCommandFrame(static_cast<std::uint16_t>(unit), 'A', "", frame);
    return frame;
}

// A power-up clear is answered "A", or "N" and a two-digit error code; both
// prove a unit at the address.
Answer Judge(const std::string& reply) {
    if (reply.empty()) return Answer::kSilent;
    const bool parses = reply == "A\r" || (reply.size() == 4 && reply[0] == 'N' && IsHexDigit(reply[1]) &&
                                           IsHexDigit(reply[2]) && reply[3] == '\r');
    return parses ? Answer::kAnswers : Answer::kGarbled;
}

// What came back, printable, without the carriage return that ends it.
std::string Shown(const std::string& reply) {
    return Escaped(!reply.empty() && reply.back() == '\r' ? std::string_view(reply).substr(0, reply.size() - 1)
                                                           : std::string_view(reply));
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
    for (const int unit : units) list += " 0x" + Hex2(static_cast<unsigned>(unit));
    return list;
}

struct Probe {
    std::string reply;
    Answer answer;
};

// One power-up clear, and one more when it is not answered clearly.
Probe ProbeUnit(HostLine& port, int unit, std::chrono::milliseconds wait) {
    const std::string frame = PowerupClearFrame(unit);
    Probe probe{port.Exchange(frame, wait), Answer::kSilent};
    probe.answer = Judge(probe.reply);
    if (probe.answer == Answer::kAnswers || Interrupted()) return probe;
    const std::string again = port.Exchange(frame, wait);
    // Something that came back either time tells more than silence.
    if (Judge(again) != Answer::kSilent || probe.answer == Answer::kSilent) probe = {again, Judge(again)};
    return probe;
}

std::unique_ptr<HostLine> OpenPort(const LineConfig& config) {
    try {
        return std::make_unique<HostLine>(config.portName, config.settings);
    } catch (const std::runtime_error& e) {
        throw CommandFailure(kExitNoLine, std::string("port ") + e.what());
    }
}

}  // namespace

void RunScan(Session& session, const LineOptions& line, const ScanOptions& scan) {
    if (scan.from > scan.to)
        throw CommandFailure(kExitUsage,
                             "--from " + std::to_string(scan.from) + " is above --to " + std::to_string(scan.to));
    const LineConfig config = session.TakeLine(line, kDefaultScanTimeoutMs);
    std::unique_ptr<HostLine> port = OpenPort(config);
    const auto wait = std::chrono::milliseconds(line.timeoutMs.value_or(DefaultTimeoutMs(line.port, kDefaultScanTimeoutMs)));
    const Output& out = session.Out();
    const bool progress = IsTerminal(stderr);
    const int total = scan.to - scan.from + 1;
    const InterruptCatcher catcher;

    std::vector<int> answering;
    std::vector<int> garbled;
    int scanned = 0;
    for (int unit = scan.from; unit <= scan.to && !Interrupted(); ++unit) {
        if (progress) DrawProgress(scanned, total, static_cast<int>(answering.size()));
        const Probe probe = ProbeUnit(*port, unit, wait);
        ++scanned;
        if (probe.answer == Answer::kSilent) continue;
        (probe.answer == Answer::kAnswers ? answering : garbled).push_back(unit);
        if (progress) WriteWhole(stderr, "\r\x1b[2K");
        const char* verdict = probe.answer == Answer::kAnswers ? "answers" : "garbled";
        out.Text("unit 0x" + Hex2(static_cast<unsigned>(unit)) + " (" + std::to_string(unit) + ") " + verdict + ": " +
                 Shown(probe.reply));
        out.Object({{"unit", unit},
                    {"answers", probe.answer == Answer::kAnswers},
                    {"state", verdict},
                    {"reply", Shown(probe.reply)}});
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
    port.reset();
    session.HandBack(config, line.port);
    if (interrupted) throw CommandFailure(kExitInterrupted, "scan interrupted");
    if (answering.empty()) {
        throw CommandFailure(kExitFailed, "no unit answered from 0x" + Hex2(static_cast<unsigned>(scan.from)) +
                                              " to 0x" + Hex2(static_cast<unsigned>(scan.to)) +
                                              (garbled.empty() ? "" : " without garbling its reply"));
    }
}

}  // namespace plexer
