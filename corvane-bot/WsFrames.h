// The client side of WebSocket framing, kept to what a load generator needs:
// server frames are parsed in place from one read buffer (a message is
// handed on as a view into it unless it came in fragments), and client
// frames are built masked. Reading large chunks and parsing here costs far
// less per message than a full stream per message, which matters when
// every player receives every other player's moves.
#ifndef CORVANE_BOT_WSFRAMES_H
#define CORVANE_BOT_WSFRAMES_H

#include "net/WsFrameHeader.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Appends one masked, unfragmented client frame.
void AppendClientFrame(std::string& out, EWsOpcode opcode, std::string_view payload, uint32_t mask);

// The close code carried by a close frame's payload (1005 when it has none).
uint16_t CloseCodeOf(std::string_view payload);

// Inflates the compressed messages of one permessage-deflate connection, as
// a browser does: one raw inflater for the connection's life, its history
// kept, the 00 00 ff ff the sender removed put back after each message.
class CWsInflater {
public:
    CWsInflater();
    ~CWsInflater();
    CWsInflater(const CWsInflater&) = delete;
    CWsInflater& operator=(const CWsInflater&) = delete;

    // The message, valid until the next call; nothing for bad deflate data
    // or a message over CWsFrameReader::kMaxMessage.
    std::optional<std::string_view> Inflate(std::string_view payload);

private:
    z_stream m_stream{};
    std::string m_out;
};

class CWsFrameReader {
public:
    // A message larger than this is a protocol error.
    static constexpr std::size_t kMaxMessage = 16u << 20;

    explicit CWsFrameReader(std::size_t chunk = 64 * 1024) : m_chunk(chunk), m_buf(2 * chunk) {}

    // Free room for the next read, at least one chunk.
    std::span<uint8_t> Space();
    // Bytes received but not yet parsed (the handshake answer reads here).
    std::string_view Pending() const
    {
        return {reinterpret_cast<const char*>(m_buf.data() + m_begin), m_end - m_begin};
    }
    void Drop(std::size_t n) { m_begin += n; }
    void Commit(std::size_t n) { m_end += n; }
    // Once permessage-deflate is agreed, the first frame of a data message
    // may carry RSV1 (compressed); before, and on any other frame, it is a
    // protocol error.
    void AllowCompressed() { m_allowCompressed = true; }

    // Parses every complete frame of what was committed and calls
    // onMessage(EWsOpcode, std::string_view payload, bool compressed) for
    // each data message and each control frame. The view is valid during
    // the call only.
    // False on a protocol error; the connection is then unusable.
    template <class F>
    bool Parse(F&& onMessage);

private:
    enum class EStep { kNeedMore, kFrame, kError };
    struct CFrame {
        bool fin = false;
        bool compressed = false;
        EWsOpcode opcode = EWsOpcode::kContinuation;
        std::string_view payload;
    };
    EStep Next(CFrame& frame);

    std::size_t m_chunk;
    std::vector<uint8_t> m_buf;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    // A fragmented message being put together.
    std::string m_fragments;
    EWsOpcode m_fragmentOpcode = EWsOpcode::kContinuation;
    bool m_fragmentCompressed = false;
    bool m_allowCompressed = false;
};

template <class F>
bool CWsFrameReader::Parse(F&& onMessage)
{
    CFrame frame;
    for (;;) {
        const EStep step = Next(frame);
        if (step == EStep::kNeedMore) {
            break;
        }
        if (step == EStep::kError) {
            return false;
        }
        const bool control = static_cast<uint8_t>(frame.opcode) >= 0x8;
        const bool assembling = m_fragmentOpcode != EWsOpcode::kContinuation;
        if (control) {
            onMessage(frame.opcode, frame.payload, false);
        } else if (frame.opcode == EWsOpcode::kContinuation) {
            if (!assembling || m_fragments.size() + frame.payload.size() > kMaxMessage) {
                return false;
            }
            m_fragments.append(frame.payload);
            if (frame.fin) {
                const EWsOpcode opcode = m_fragmentOpcode;
                m_fragmentOpcode = EWsOpcode::kContinuation;
                onMessage(opcode, std::string_view(m_fragments), m_fragmentCompressed);
                m_fragments.clear();
            }
        } else if (assembling) {
            return false;
        } else if (frame.fin) {
            onMessage(frame.opcode, frame.payload, frame.compressed);
        } else {
            m_fragmentOpcode = frame.opcode;
            m_fragmentCompressed = frame.compressed;
            m_fragments.assign(frame.payload);
        }
    }
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    }
    return true;
}

#endif
