#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "net_line.h"

namespace plexer {

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

std::optional<NetAddress> ParseNetAddress(const std::string& given) {
    NetAddress address;
    std::string rest;
    if (given.starts_with("tcp://")) {
        rest = given.substr(6);
    } else if (given.starts_with("rfc2217://")) {
        address.rfc2217 = true;
        rest = given.substr(10);
    } else {
        return std::nullopt;
    }
    address.text = given;
    const auto bad = [&given](const std::string& why) {
        return std::invalid_argument(given + ": " + why + " (as tcp://HOST:PORT or rfc2217://HOST:PORT)");
    };
    std::size_t colon = std::string::npos;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) throw bad("an IPv6 address without its ']'");
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] != ':') throw bad("text after the IPv6 address");
        colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
    } else {
        colon = rest.rfind(':');
        address.host = rest.substr(0, colon);
        if (address.host.find(':') != std::string::npos) throw bad("an IPv6 address must be in brackets");
    }
    if (address.host.empty()) throw bad("no host");
    if (colon == std::string::npos) throw bad("no port");
    address.port = rest.substr(colon + 1);
    if (!address.port.empty() && address.port.back() == '/') address.port.pop_back();
    if (!AllDigits(address.port) || address.port.size() > 5 || std::stoul(address.port) < 1 ||
        std::stoul(address.port) > 65535) {
        throw bad("the port must be a number from 1 to 65535");
    }
    for (const char c : address.host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' && c != ':' && c != '%') {
            throw bad("a host name may hold only letters, digits, '.', '-' and '_'");
        }
    }
    return address;
}

}  // namespace plexer
