#include "sim/wire.h"

#include <algorithm>

#include "display_text.h"
#include "optomux/frame.h"

namespace qsn::sim {

namespace {

// Address, letter and two checksum digits.
constexpr std::size_t kShortestBody = 5;

}  // namespace

bool IsHexText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return plexer::UpperHexValue(c) >= 0; });
}

std::string Checksum(std::string_view text) {
    const std::string copy(text);
    char digits[3];
    CalcChecksum(copy.c_str(), digits);
    return digits;
}

std::uint16_t HexValue(std::string_view digits) {
    return AsciiHexToVal(std::string(digits).c_str());
}

std::string Hex4(std::uint16_t value) {
    char digits[5];
    WordToAsciiHex(value, digits);
    return digits;
}

std::string Hex3(std::uint16_t value) {
    char digits[4];
    Val12ToAsciiHex(value, digits);
    return digits;
}

std::optional<Frame> ParseFrame(std::string_view body) {
    if (body.size() < kShortestBody || !IsHexText(body.substr(0, 2))) return std::nullopt;
    Frame frame;
    frame.address = static_cast<std::uint8_t>(HexValue(body.substr(0, 2)));
    frame.letter = body[2];
    frame.data = body.substr(3, body.size() - kShortestBody);
    frame.checksum = body.substr(body.size() - 2);
    frame.expectedChecksum = Checksum(body.substr(0, body.size() - 2));
    return frame;
}

std::string AckReply() { return "A\r"; }

std::string DataReply(std::string_view data) {
    return "A" + std::string(data) + Checksum(data) + "\r";
}

std::string ErrorReply(std::string_view code) { return "N" + std::string(code) + "\r"; }

FrameAssembler::Event FrameAssembler::FlushNoise() {
    done_.swap(pending_);
    pending_.clear();
    return done_.empty() ? Event::kNone : Event::kNoise;
}

FrameAssembler::Event FrameAssembler::Feed(char c) {
    if (c == '>') {
        // Whatever came before is noise, an unfinished frame included.
        const Event event = FlushNoise();
        inFrame_ = true;
        pending_ = ">";
        return event;
    }
    if (inFrame_ && c == '\r') {
        done_ = pending_.substr(1);
        pending_.clear();
        inFrame_ = false;
        return Event::kFrame;
    }
    pending_.push_back(c);
    if (pending_.size() > kMaxBody) {
        const bool wasFrame = inFrame_;
        inFrame_ = false;
        const Event event = FlushNoise();
        return wasFrame ? Event::kOverflow : event;
    }
    return c == '\r' ? FlushNoise() : Event::kNone;
}

}  // namespace qsn::sim
