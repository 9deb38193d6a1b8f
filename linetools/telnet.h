// Telnet as a client of a COM port server speaks it: data with its IAC bytes
// doubled, option negotiation, and the COM port option's subnegotiations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plexer::telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;

// The COM port option's commands; the server answers each with its code + 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kAnswerOffset = 100;

std::string Escaped(std::string_view data);
std::string Negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
std::string ComPortCommand(std::uint8_t command, std::string_view value);

// Something the server said besides data.
struct Event {
    enum class Kind { kNegotiation, kSubnegotiation } kind;
    std::uint8_t verb = 0;    // DO, DONT, WILL, WONT; SB for a subnegotiation
    std::uint8_t option = 0;
    std::string body;         // a subnegotiation's bytes after its option, unescaped
};

// The server's stream taken apart as it comes, split anywhere.
class Decoder {
public:
    // Data to `data`, the rest to `events`, and to `splits` the size `data`
    // had when each event came, since what follows an answer may depend on it.
    void Take(std::string_view bytes, std::string& data, std::vector<Event>& events,
              std::vector<std::size_t>& splits);

private:
    enum class State { kData, kCommand, kVerb, kSub, kSubIac };
    // A server's subnegotiation is a few bytes; a longer one is cut, not stored whole.
    static constexpr std::size_t kLongestSub = 64;
    State state_ = State::kData;
    std::uint8_t verb_ = 0;
    std::string sub_;
};

}  // namespace plexer::telnet
