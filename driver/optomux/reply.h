// Replies of Optomux modules: read up to the carriage return, classify,
// verify the checksum; and the two-character acknowledgement of the
// configuration commands. Failures are logged here; callers see true or false.
#pragma once

#include <cstddef>

#include "qsnwndut.h"

namespace qsn {

// A module that never sends its carriage return is given up after this many characters.
inline constexpr std::size_t kReplyLimit = 1000;
// The reply buffer each read or write transaction owns.
inline constexpr std::size_t kReplyCapacity = 500;

// Reads one reply into `buffer`, replacing its carriage return with the
// terminating zero. Stores at most `size` characters (and never more than
// kReplyLimit); a reply that fills them without a carriage return fails.
bool ReadReply(const RequestBlock& request, char* buffer, std::size_t size);

template <std::size_t N>
bool ReadReply(const RequestBlock& request, char (&buffer)[N]) {
    return ReadReply(request, buffer, N);
}

// True for an acknowledgement; an error reply is logged with `gas` and its code.
bool CheckReply(const char* reply, bool write, const char* gas);

// The reply "A" + data + two checksum digits: true when the digits match the data.
bool VerifyReplyChecksum(const char* reply);

struct ConfigAck {
    bool received;      // both characters arrived
    bool acknowledged;  // and they are "A" and a carriage return
};

// The most characters read of an answer to a configuration frame: room for
// an error reply ("N", its code, CR) and some noise.
inline constexpr std::size_t kConfigAckLimit = 8;

// Reads two characters and, when they are not a whole answer, on to the
// carriage return (at most kConfigAckLimit in all); logs nothing, the caller does.
ConfigAck ReadConfigAck(const RequestBlock& request);

}  // namespace qsn
