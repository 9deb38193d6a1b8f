// The server's stream taken apart wherever it is split, and the addresses
// a port may be given as.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "net_line.h"
#include "telnet.h"

namespace plexer {
namespace {

using telnet::Decoder;
using telnet::Event;

struct Taken {
    std::string data;
    std::vector<Event> events;
    std::vector<std::size_t> splits;
};

Taken TakeInPieces(const std::string& stream, std::size_t cut) {
    Decoder decoder;
    Taken taken;
    decoder.Take(std::string_view(stream).substr(0, cut), taken.data, taken.events, taken.splits);
    decoder.Take(std::string_view(stream).substr(cut), taken.data, taken.events, taken.splits);
    return taken;
}

TEST(Telnet, StreamsTakenApartAlikeWhereverSplit) {
    const std::string iac(1, '\xff');
    struct Case {
        std::string stream, data;
        std::vector<std::uint8_t> options;  // of the events, in order
        std::vector<std::string> bodies;
        std::vector<std::size_t> splits;
    };
    const Case cases[] = {
        {"A1F\r", "A1F\r", {}, {}, {}},
        {"a" + iac + iac + "b", "a\xff" "b", {}, {}, {}},
        {"x" + telnet::Negotiation(telnet::kDo, 44) + "y", "xy", {44}, {""}, {1}},
        // an answer whose value holds an escaped IAC, then data
        {telnet::ComPortCommand(101, std::string("\x00\x00\xff\x00", 4)) + "A\r", "A\r", {44},
         {std::string("\x65\x00\x00\xff\x00", 5)}, {0}},
        // a subnegotiation ended by a command other than SE gives way to it
        {iac + "\xfa\x2c\x6c\x01" + iac + std::string("\xfd\x00z", 3), "z", {44, 0}, {"\x6c\x01", ""}, {0, 0}},
        {iac + "\xf1" + "ok", "ok", {}, {}, {}},  // NOP
    };
    for (const Case& c : cases) {
        for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
            const Taken taken = TakeInPieces(c.stream, cut);
            EXPECT_EQ(taken.data, c.data) << c.stream << " cut at " << cut;
            ASSERT_EQ(taken.events.size(), c.options.size()) << c.stream << " cut at " << cut;
            for (std::size_t i = 0; i < c.options.size(); ++i) {
                EXPECT_EQ(taken.events[i].option, c.options[i]);
                EXPECT_EQ(taken.events[i].body, c.bodies[i]);
            }
            EXPECT_EQ(taken.splits, c.splits);
        }
    }
}

// Any bytes escaped come back as they were; a server's endless
// subnegotiation is cut, not stored whole.
TEST(Telnet, EscapedBytesComeBackAndLongSubnegotiationsAreCut) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(random() % 64, '\0');
        for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 0xff : random() % 256);
        const std::string escaped = telnet::Escaped(bytes);
        const Taken taken = TakeInPieces(escaped, random() % (escaped.size() + 1));
        EXPECT_EQ(taken.data, bytes);
    }
    const Taken endless = TakeInPieces("\xff\xfa\x2c" + std::string(100000, 'x') + "\xff\xf0", 5);
    ASSERT_EQ(endless.events.size(), 1u);
    EXPECT_LE(endless.events[0].body.size(), 64u);
}

TEST(NetAddress, FormsOfAServerAndWhatIsRefused) {
    struct Case {
        const char* given;
        bool server, rfc2217;
        const char* host;
        const char* port;
    };
    const Case good[] = {
        {"/dev/ttyUSB0", false, false, "", ""},
        {"pts/3", false, false, "", ""},
        {"tcp://10.0.0.5:4001", true, false, "10.0.0.5", "4001"},
        {"rfc2217://moxa-3.plant:950", true, true, "moxa-3.plant", "950"},
        {"tcp://[fe80::1%eth0]:7000", true, false, "fe80::1%eth0", "7000"},
    };
    for (const Case& c : good) {
        const std::optional<NetAddress> address = ParseNetAddress(c.given);
        ASSERT_EQ(address.has_value(), c.server) << c.given;
        if (!address) continue;
        EXPECT_EQ(address->rfc2217, c.rfc2217);
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
    }
    for (const char* bad : {"tcp://host", "tcp://:1", "tcp://::1:7000", "tcp://[::1]7000", "tcp://h:0",
                            "tcp://h:65536", "rfc2217://h:x", "tcp://a b:1", "tcp://[::1"}) {
        EXPECT_THROW(ParseNetAddress(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace plexer
