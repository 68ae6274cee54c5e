// The fixed part of a WebSocket frame, read the same way at both ends of a
// game connection: the host reads the masked frames of its clients, the
// load bot the unmasked frames of the server.
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
