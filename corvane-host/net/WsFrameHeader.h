// The fixed part of a WebSocket frame, read and written the same way at both
// ends of a game connection: the host reads the masked frames of its clients
// and writes unmasked ones, the load bot the other way round.
#ifndef CORVANE_HOST_WSFRAMEHEADER_H
#define CORVANE_HOST_WSFRAMEHEADER_H

#include <cstddef>
#include <cstdint>

enum class EWsOpcode : uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

struct CWsFrameHeader {
    bool fin;
    bool rsv1; // permessage-deflate: the message is compressed
    bool masked;
    EWsOpcode opcode;
    std::size_t size; // bytes before the payload, the masking key included
    uint64_t length;  // bytes of the payload
};

// The longest header of an unmasked frame (a masked one adds its key).
inline constexpr std::size_t kWsMaxServerHeader = 10;

// Writes a frame's header up to the masking key: `first` (FIN, RSV1 and the
// opcode), then the payload's length in its shortest form, with the mask bit
// when `masked`; returns its length.
inline std::size_t WriteWsFrameHeader(uint8_t* out, uint8_t first, bool masked, uint64_t length)
{
    const uint8_t maskBit = masked ? 0x80 : 0;
    out[0] = first;
    if (length < 126) {
        out[1] = static_cast<uint8_t>(maskBit | length);
        return 2;
    }
    if (length <= 0xFFFF) {
        out[1] = static_cast<uint8_t>(maskBit | 126);
        out[2] = static_cast<uint8_t>(length >> 8);
        out[3] = static_cast<uint8_t>(length & 0xFF);
        return 4;
    }
    out[1] = static_cast<uint8_t>(maskBit | 127);
    for (int i = 0; i < 8; ++i) {
        out[2 + i] = static_cast<uint8_t>((length >> (56 - 8 * i)) & 0xFF);
    }
    return kWsMaxServerHeader;
}

enum class EWsHeaderRead { kNeedMore, kBad, kOk };

// Reads the header at p. kBad for RSV2 or RSV3 (no extension uses them), an
// unknown opcode, or a control frame that is fragmented or longer than 125
// bytes; whether a frame must be masked, may carry RSV1, and how long a data
// frame may be, is the reader's to check.
inline EWsHeaderRead ReadWsFrameHeader(const uint8_t* p, std::size_t avail, CWsFrameHeader& header)
{
    if (avail < 2) {
        return EWsHeaderRead::kNeedMore;
    }
    if ((p[0] & 0x30) != 0) {
        return EWsHeaderRead::kBad;
    }
    header.fin = (p[0] & 0x80) != 0;
    header.rsv1 = (p[0] & 0x40) != 0;
    header.masked = (p[1] & 0x80) != 0;
    header.opcode = static_cast<EWsOpcode>(p[0] & 0x0F);
    std::size_t size = 2;
    uint64_t length = p[1] & 0x7F;
    if (length == 126) {
        size = 4;
        if (avail < size) {
            return EWsHeaderRead::kNeedMore;
        }
        length = (uint64_t{p[2]} << 8) | p[3];
    } else if (length == 127) {
        size = 10;
        if (avail < size) {
            return EWsHeaderRead::kNeedMore;
        }
        length = 0;
        for (int i = 2; i < 10; ++i) {
            length = (length << 8) | p[i];
        }
    }
    switch (header.opcode) {
    case EWsOpcode::kContinuation:
    case EWsOpcode::kText:
    case EWsOpcode::kBinary:
        break;
    case EWsOpcode::kClose:
    case EWsOpcode::kPing:
    case EWsOpcode::kPong:
        if (!header.fin || length > 125) {
            return EWsHeaderRead::kBad;
        }
        break;
    default:
        return EWsHeaderRead::kBad;
    }
    header.size = size + (header.masked ? 4 : 0);
    header.length = length;
    return EWsHeaderRead::kOk;
}

#endif
