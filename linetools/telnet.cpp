#include "telnet.h"

namespace plexer::telnet {

std::string Escaped(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (const char c : data) {
        out.push_back(c);
        if (static_cast<std::uint8_t>(c) == kIac) out.push_back(c);
    }
    return out;
}

std::string Negotiation(std::uint8_t verb, std::uint8_t option) {
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPortCommand(std::uint8_t command, std::string_view value) {
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                    static_cast<char>(command)};
    out += Escaped(value);
    out += {static_cast<char>(kIac), static_cast<char>(kSe)};
    return out;
}

void Decoder::Take(std::string_view bytes, std::string& data, std::vector<Event>& events,
                   std::vector<std::size_t>& splits) {
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        switch (state_) {
        case State::kData:
            if (b == kIac) state_ = State::kCommand;
            else data.push_back(c);
            break;
        case State::kCommand:
            if (b == kIac) {
                data.push_back(c);
                state_ = State::kData;
            } else if (b == kSb) {
                sub_.clear();
                state_ = State::kSub;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                state_ = State::kVerb;
            } else {
                state_ = State::kData;  // NOP, GA and the like carry nothing for a serial line
            }
            break;
        case State::kVerb:
            events.push_back({Event::Kind::kNegotiation, verb_, b, {}});
            splits.push_back(data.size());
            state_ = State::kData;
            break;
        case State::kSub:
            if (b == kIac) state_ = State::kSubIac;
            else if (sub_.size() < kLongestSub) sub_.push_back(c);
            break;
        case State::kSubIac:
            if (b == kIac) {
                if (sub_.size() < kLongestSub) sub_.push_back(c);
                state_ = State::kSub;
            } else {
                // SE, or anything else, ends it: a broken subnegotiation is not let swallow the data after it.
                if (!sub_.empty()) {
                    events.push_back({Event::Kind::kSubnegotiation, kSb, static_cast<std::uint8_t>(sub_[0]),
                                      sub_.substr(1)});
                    splits.push_back(data.size());
                }
                state_ = b == kSe ? State::kData : State::kCommand;
                if (state_ == State::kCommand) Take(std::string_view(&c, 1), data, events, splits);
            }
            break;
        }
    }
}

}  // namespace plexer::telnet
