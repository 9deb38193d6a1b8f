// A TCP listener for a face: bound to an IPv4 or IPv6 address (localhost is
// the IPv4 loopback, which every client reaches), non-blocking, told back as
// the kernel bound it.
#pragma once

#include <string>

namespace plexer::gateway {

struct Listener {
    int fd = -1;
    int port = 0;          // as bound: the one asked for, or the free one for 0
    std::string address;   // "127.0.0.1:5020", "[::1]:5020"
    bool loopback = true;
};

// Throws std::runtime_error "<what>cannot listen on HOST:PORT: why".
Listener Listen(const std::string& host, int port, int backlog, const std::string& what = "");

// A waiting client, non-blocking, with TCP_NODELAY so that each answer leaves
// at once; -1 (errno set) when none is waiting or no descriptor is left.
int AcceptClient(int listenFd);

// Out of descriptors: the spare is given up to take the newcomer and close it,
// so that the listener does not stay readable, then taken again. False when
// the newcomer or the spare could not be had.
bool TurnAwayThroughSpare(int listenFd, int* spare);

}  // namespace plexer::gateway
