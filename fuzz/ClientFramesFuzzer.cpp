// The host's reader of client WebSocket frames, fed the input in reads of
// varying sizes, with the connection pausing now and then (a handler that
// returns false, as a session waiting for its seat check does). What it
// reports must be what a plain reading of the whole input as client frames
// (RFC 6455, section 5) gives: the same messages, unmasked and put together
// from their fragments, in the same order, and the same close code.
#include "FuzzCheck.h"

#include "net/WsFraming.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace {

struct CResult {
    std::vector<std::pair<EWsOpcode, std::string>> messages;
    uint16_t code = 0;
};

// The whole input read as client frames, one after the other, until the
// input ends or a frame breaks the protocol.
CResult ReadWhole(const uint8_t* p, std::size_t size, std::size_t maxMessage)
{
    CResult result;
    std::string fragments;
    bool assembling = false;
    EWsOpcode fragmentOpcode = EWsOpcode::kBinary;
    for (std::size_t at = 0;;) {
        const std::size_t left = size - at;
        if (left < 2) {
            return result;
        }
        const uint8_t b0 = p[at];
        const uint8_t b1 = p[at + 1];
        // RSV2 and RSV3 are never used; RSV1 (compression, which this reader
        // has not agreed to) is refused once the whole header is in.
        if ((b0 & 0x30) != 0) {
            result.code = kWsProtocolError;
            return result;
        }
        const bool fin = (b0 & 0x80) != 0;
        const auto opcode = static_cast<EWsOpcode>(b0 & 0x0F);
        std::size_t head = 2;
        uint64_t length = b1 & 0x7F;
        if (length >= 126) {
            head = length == 126 ? 4 : 10;
            if (left < head) {
                return result;
            }
            length = 0;
            for (std::size_t i = 2; i < head; ++i) {
                length = (length << 8) | p[at + i];
            }
        }
        const bool control = opcode == EWsOpcode::kClose || opcode == EWsOpcode::kPing || opcode == EWsOpcode::kPong;
        const bool data =
            opcode == EWsOpcode::kContinuation || opcode == EWsOpcode::kText || opcode == EWsOpcode::kBinary;
        if ((!control && !data) || (control && (!fin || length > 125)) || (b1 & 0x80) == 0 || (b0 & 0x40) != 0) {
            result.code = kWsProtocolError;
            return result;
        }
        if ((opcode == EWsOpcode::kContinuation && !assembling) ||
            ((opcode == EWsOpcode::kText || opcode == EWsOpcode::kBinary) && assembling)) {
            result.code = kWsProtocolError;
            return result;
        }
        if (data && length > maxMessage - (opcode == EWsOpcode::kContinuation ? fragments.size() : 0)) {
            result.code = kWsMessageTooBig;
            return result;
        }
        head += 4;
        if (left < head || left - head < length) {
            return result;
        }
        std::string payload(reinterpret_cast<const char*>(p + at + head), static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<char>(payload[i] ^ p[at + head - 4 + (i & 3)]);
        }
        at += head + payload.size();
        // A close body is empty, or a code a peer may send (RFC 6455,
        // section 7.4, and the codes registered since) and a reason.
        if (opcode == EWsOpcode::kClose && !payload.empty()) {
            const unsigned code = payload.size() < 2 ? 0 : (static_cast<uint8_t>(payload[0]) << 8) |
                                                                static_cast<uint8_t>(payload[1]);
            if (!((code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
                  (code >= 3000 && code <= 4999))) {
                result.code = kWsProtocolError;
                return result;
            }
        }
        if (control) {
            result.messages.emplace_back(opcode, std::move(payload));
        } else if (opcode != EWsOpcode::kContinuation) {
            if (fin) {
                result.messages.emplace_back(opcode, std::move(payload));
            } else {
                assembling = true;
                fragmentOpcode = opcode;
                fragments = std::move(payload);
            }
        } else {
            fragments += payload;
            if (fin) {
                assembling = false;
                result.messages.emplace_back(fragmentOpcode, std::move(fragments));
                fragments.clear();
            }
        }
    }
}

} // namespace

// An input is three bytes of settings, then the bytes a client sends: the
// message size limit, a seed for the sizes of the reads, and after how many
// messages the handler pauses the connection (0: never).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    static constexpr std::size_t kLimits[] = {0, 1, 125, 126, 1000, 4096, 65535, 65536, 1 << 20};
    const std::size_t maxMessage = kLimits[data[0] % std::size(kLimits)];
    uint32_t random = data[1] | 0x100u;
    const unsigned pauseEvery = data[2] % 8;
    const uint8_t* stream = data + 3;
    const std::size_t streamSize = size - 3;

    const CResult expected = ReadWhole(stream, streamSize, maxMessage);

    CResult got;
    CWsServerReader reader(maxMessage);
    unsigned sincePause = 0;
    const auto onFrame = [&](EWsOpcode opcode, const uint8_t* payload, std::size_t length, bool) {
        FUZZ_CHECK(length <= std::max<std::size_t>(maxMessage, 125), "a message over the limit");
        got.messages.emplace_back(opcode, std::string(reinterpret_cast<const char*>(payload), length));
        return pauseEvery == 0 || ++sincePause % pauseEvery != 0;
    };
    for (std::size_t at = 0; at < streamSize && got.code == 0;) {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        const std::span<uint8_t> room = reader.Space();
        FUZZ_CHECK(!room.empty(), "no room for the next read");
        const std::size_t n = std::min({static_cast<std::size_t>(1 + random % 700), room.size(), streamSize - at});
        std::memcpy(room.data(), stream + at, n);
        reader.Commit(n);
        at += n;
        // A paused connection resumes where it stopped before it reads again.
        for (std::size_t before = ~std::size_t{0}; got.code == 0 && got.messages.size() != before;) {
            before = got.messages.size();
            got.code = reader.Parse(onFrame);
        }
    }
    FUZZ_CHECK(got.code == expected.code, "a different close code than the frames call for");
    FUZZ_CHECK(got.messages == expected.messages, "different messages than the frames hold");
    return 0;
}
