// The gateway's framing of a client's byte stream into requests, the stream
// arriving in pieces of any size as reads off a socket do. First byte: how
// the stream is cut into pieces; the rest: the stream. The requests framed
// must be those a model of the MBAP header finds in the whole stream.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "request.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Framing {
    std::vector<Bytes> requests;
    bool broken = false;  // a header that is not Modbus TCP's: the connection is closed
    Bytes left;           // a request still arriving
};

// Each request is the 7-byte header (transaction, protocol 0, length, unit)
// and length - 1 bytes more; the length counts the unit and a PDU of 1 to 253 bytes.
Framing Model(const std::uint8_t* data, std::size_t size) {
    Framing framing;
    std::size_t at = 0;
    while (size - at >= 7) {
        const std::size_t protocol = std::size_t{data[at + 2]} << 8 | data[at + 3];
        const std::size_t length = std::size_t{data[at + 4]} << 8 | data[at + 5];
        if (protocol != 0 || length < 2 || length > 254) {
            framing.broken = true;
            return framing;
        }
        if (size - at < 6 + length) break;
        framing.requests.emplace_back(data + at, data + at + 6 + length);
        at += 6 + length;
    }
    framing.left.assign(data + at, data + size);
    return framing;
}

// The stream fed in pieces, each framed as it lands.
Framing Framed(std::uint8_t cuts, const std::uint8_t* data, std::size_t size) {
    Framing framing;
    unsigned state = cuts;
    for (std::size_t at = 0; at < size && !framing.broken;) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + (state >> 16) % (cuts % 2 ? 9 : 300));
        framing.left.insert(framing.left.end(), data + at, data + at + piece);
        at += piece;
        Bytes adu;
        plexer::gateway::Cut cut;
        while ((cut = plexer::gateway::CutRequest(framing.left, adu)) == plexer::gateway::Cut::kRequest) {
            framing.requests.push_back(adu);
        }
        framing.broken = cut == plexer::gateway::Cut::kBroken;
    }
    return framing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Framing expected = Model(data + 1, size - 1);
    const Framing framed = Framed(data[0], data + 1, size - 1);
    if (framed.requests != expected.requests || framed.broken != expected.broken) std::abort();
    if (!framed.broken && framed.left != expected.left) std::abort();
    return 0;
}
