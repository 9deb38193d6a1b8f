#include "optomux/reply.h"

#include <algorithm>
#include <cstring>

#include "kaldor.h"
#include "optomux/frame.h"
#include "serial/serial.h"

namespace qsn {
namespace {

constexpr std::size_t kChecksumLength = 2;
// A NUL on the line would end the reply text early and hide what followed it
// (a checksummed prefix would pass); it is kept as this character instead.
constexpr char kNulStandIn = '.';

// Length of `text`, looking at no more than `limit` characters.
std::size_t BoundedLength(const char* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

bool ChecksumMatches(const char* afterAck) {
    // The longest text ReadReply can produce; anything longer cannot be a reply.
    const std::size_t length = BoundedLength(afterAck, kReplyLimit);
    if (length < kChecksumLength || length == kReplyLimit) return false;
    char data[kReplyLimit];
    const std::size_t dataLength = length - kChecksumLength;
    std::memcpy(data, afterAck, dataLength);
    data[dataLength] = '\0';
    char expected[3];
    CalcChecksum(data, expected);
    return std::memcmp(afterAck + dataLength, expected, kChecksumLength) == 0;
}

}  // namespace

bool ReadReply(const RequestBlock& request, char* buffer, std::size_t size) {
    const std::size_t limit = std::min(size, kReplyLimit);
    for (std::size_t at = 0; at < limit; ++at) {
        if (!ReceiveExact(request, buffer + at, 1)) {
            err(8, "QSNDUT: Failed to read a character from PLC");
            return false;
        }
        if (buffer[at] == '\r') {
            buffer[at] = '\0';
            return true;
        }
        if (buffer[at] == '\0') buffer[at] = kNulStandIn;
    }
    err(32, "QSNDUT: Error. CR not found in PLC Reply!");
    return false;
}

bool CheckReply(const char* reply, bool write, const char* gas) {
    if (reply[0] == 'A') return true;
    if (reply[0] == 'N') {
        if (write) {
            err(32, "QSNDUT:Gate %s: Write failed! ErrorCode %s H ", gas, reply + 1);
        } else {
            err(32, "QSNDUT:Gate %s: Read failed! ErrorCode %s H ", gas, reply + 1);
        }
        return false;
    }
    err(32, "QSNDUT:Write failed! Unrecognized reply from PLC");
    return false;
}

bool VerifyReplyChecksum(const char* reply) {
    // An empty text has no "A" to skip; it carries no checksum either.
    if (reply[0] != '\0' && ChecksumMatches(reply + 1)) return true;
    err(32, "QSNDUT: Checksum Error. Plc String %s ", reply);
    return false;
}

ConfigAck ReadConfigAck(const RequestBlock& request) {
    char answer[3] = {};
    const bool received = ReceiveExact(request, answer, 2);
    const ConfigAck ack{received, std::memcmp(answer, "A\r", 3) == 0};
    // A longer answer (an error reply) is read to its end here: its tail would
    // arrive after the next send's discard and pass for that frame's reply.
    if (received && answer[1] != '\r') {
        char c = '\0';
        for (std::size_t count = 2; count < kConfigAckLimit && c != '\r'; ++count) {
            if (!ReceiveExact(request, &c, 1)) break;
        }
    }
    return ack;
}

}  // namespace qsn
