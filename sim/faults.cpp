#include "sim/faults.h"

#include <cctype>

#include "sim/wire.h"

namespace qsn::sim {

namespace {

// Well past the 1000 characters after which the driver stops reading.
constexpr std::size_t kBabbleLength = 1200;

// "A", at least one data character or none, two checksum digits, CR.
bool HasChecksum(const std::string& reply) {
    return reply.size() >= 4 && reply.front() == 'A' && reply.back() == '\r';
}

void Note(Transmission& out, const std::string& fault) {
    if (!out.faults.empty()) out.faults += ", ";
    out.faults += fault;
}

std::string Babble() {
    std::string text;
    while (text.size() < kBabbleLength) text += "A0123456789ABCDEF";
    return text.substr(0, kBabbleLength);
}

void BumpChecksum(std::string& reply) {
    const std::size_t at = reply.size() - 3;
    const auto wrong = static_cast<std::uint16_t>((HexValue(reply.substr(at, 2)) + 1) & 0xFF);
    reply.replace(at, 2, Hex4(wrong).substr(2));
}

void LowerChecksum(std::string& reply) {
    for (std::size_t i = reply.size() - 3; i < reply.size() - 1; ++i) {
        reply[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(reply[i])));
    }
}

}  // namespace

std::string ReplyChecksumState(const std::string& bytes) {
    if (!HasChecksum(bytes)) return "none";
    const std::string data = bytes.substr(1, bytes.size() - 4);
    return Checksum(data) == bytes.substr(bytes.size() - 3, 2) ? "ok" : "bad";
}

// Portable across standard libraries, unlike the std distributions.
bool FaultInjector::Chance(double probability) {
    if (probability <= 0) return false;
    if (probability >= 1) return true;
    return static_cast<double>(random_() >> 11) * 0x1.0p-53 < probability;
}

// One of the seven low bits flipped: still 7-bit, never the same character.
char FaultInjector::Corrupt(char c) {
    const unsigned bit = static_cast<unsigned>(random_() % 7);
    return static_cast<char>(static_cast<unsigned char>(c) ^ (1u << bit));
}

void FaultInjector::DamageCharacters(Transmission& out, const FaultSettings& faults) {
    std::string kept;
    int dropped = 0;
    int corrupted = 0;
    for (const char c : out.bytes) {
        if (Chance(faults.dropRate)) {
            ++dropped;
        } else if (Chance(faults.corruptRate)) {
            kept.push_back(Corrupt(c));
            ++corrupted;
        } else {
            kept.push_back(c);
        }
    }
    out.bytes = kept;
    if (dropped > 0) Note(out, std::to_string(dropped) + " dropped");
    if (corrupted > 0) Note(out, std::to_string(corrupted) + " corrupted");
}

Transmission FaultInjector::Apply(const std::string& reply, const FaultSettings& faults) {
    Transmission out{reply, ""};
    if (Chance(faults.silence)) {
        Note(out, "silence");
        out.bytes.clear();
        return out;
    }
    if (Chance(faults.errorReply)) {
        out.bytes = ErrorReply(faults.errorCode);
        Note(out, "error reply");
    }
    if (HasChecksum(out.bytes) && Chance(faults.badChecksum)) {
        BumpChecksum(out.bytes);
        Note(out, "bad checksum");
    }
    if (HasChecksum(out.bytes) && Chance(faults.lowercaseChecksum)) {
        LowerChecksum(out.bytes);
        Note(out, "lower-case checksum");
    }
    if (Chance(faults.babble)) {
        out.bytes = Babble();
        Note(out, "babble");
    } else if (Chance(faults.truncate)) {
        out.bytes.pop_back();
        Note(out, "cut before CR");
    }
    DamageCharacters(out, faults);
    return out;
}

}  // namespace qsn::sim
