// The unit's side of the Optomux framing: splitting received frames into their
// fields and forming the three reply shapes. Checksums and hexadecimal fields
// go through the driver's own encoders, so both ends agree by construction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qsn::sim {

// One received frame: the characters between ">" and the carriage return.
struct Frame {
    std::uint8_t address = 0;
    char letter = 0;
    std::string data;
    std::string checksum;          // as received
    std::string expectedChecksum;  // over address, letter and data

    bool ChecksumOk() const { return checksum == expectedChecksum; }
};

// Nothing when the body cannot be a frame: shorter than an address, a letter
// and a checksum, or an address that is not two hexadecimal digits.
std::optional<Frame> ParseFrame(std::string_view body);

bool IsHexText(std::string_view text);
std::string Checksum(std::string_view text);
std::uint16_t HexValue(std::string_view digits);  // 2 to 4 digits
std::string Hex4(std::uint16_t value);
std::string Hex3(std::uint16_t value);

std::string AckReply();
std::string DataReply(std::string_view data);
std::string ErrorReply(std::string_view code);

// Collects frames out of the received byte stream: anything outside ">" ... CR
// is noise, a new ">" abandons an unfinished frame, and an over-long one is
// dropped rather than held without bound.
class FrameAssembler {
public:
    enum class Event { kNone, kFrame, kNoise, kOverflow };

    // What the byte completed, if anything; Text() then holds it.
    Event Feed(char c);
    const std::string& Text() const { return done_; }
    bool InFrame() const { return inFrame_; }

private:
    Event FlushNoise();

    static constexpr std::size_t kMaxBody = 256;
    bool inFrame_ = false;
    std::string pending_;
    std::string done_;
};

}  // namespace qsn::sim
