// The server side of WebSocket framing. Game connections do their own
// framing so that every frame queued for a connection can go out in one
// gathered write: a stream that writes one message per call costs a system
// call and a wake-up of the reader per frame, which is most of the host's
// time when every player receives every other player's moves.
#ifndef CORVANE_HOST_WSFRAMING_H
#define CORVANE_HOST_WSFRAMING_H

#include "net/GatheredSend.h"
#include "net/WsFrameHeader.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Close codes the reader reports.
inline constexpr uint16_t kWsProtocolError = 1002;
inline constexpr uint16_t kWsMessageTooBig = 1009;

// Writes the header of one unmasked, unfragmented frame, with RSV1 when the
// payload is compressed; returns its length.
std::size_t WriteServerFrameHeader(uint8_t* out, EWsOpcode opcode, std::size_t payloadSize, bool compressed = false);

// Whether a peer may send `code` in a close frame: 1000 to 1003, 1007 to
// 1014, and the 3000 to 4999 of registered and private uses. 1004 is
// reserved, 1005, 1006 and 1015 only ever stand locally for a missing
// code, and the rest of 0 to 2999 is unassigned.
bool IsValidWsCloseCode(uint16_t code);

// What a queued frame costs against the send-queue bound on top of its
// payload: its place in the queue and its header. Without it a frame with
// no payload (the pong of an empty ping) would be free, and a peer could
// have any number of them queued.
inline constexpr std::size_t kWsQueuedFrameCost = 64;
// Pongs waiting behind a full socket when one more ping comes: the peer
// pings faster than it reads, and is cut rather than buffered.
inline constexpr std::size_t kWsMaxQueuedPongs = 16;

// The frames waiting to be written on one connection, each charged its
// payload plus kWsQueuedFrameCost against the connection's bound.
class CWsSendQueue {
public:
    // What a frame with `payloadSize` bytes is charged.
    static constexpr std::size_t Cost(std::size_t payloadSize) { return payloadSize + kWsQueuedFrameCost; }

    // Queues the frame if the charges of all queued frames stay within
    // `limit`; else queues nothing and returns false. `compressed` sets RSV1.
    // `counted` frames (the module's) are counted by Counted while queued.
    bool TryPush(EWsOpcode opcode, std::shared_ptr<const std::string> payload, std::size_t limit,
                 bool compressed = false, bool counted = false);
    // Queues without a bound: only for the one close frame of a connection.
    void Push(EWsOpcode opcode, std::shared_ptr<const std::string> payload, bool compressed = false,
              bool counted = false);

    // Points `out` at the headers and payloads of the queued frames, from
    // the first unwritten byte; returns the buffers used and adds their
    // bytes to `offered`.
    std::size_t Gather(std::span<CSendBuffer> out, std::size_t& offered) const;
    // Takes `n` written bytes off the front. Calls onFrame(EWsOpcode, payload
    // size) for every frame finished; true when one of them was a close.
    template <class F>
    bool Written(std::size_t n, F&& onFrame);
    // Drops every frame but the one partly written.
    void DropBacklog();
    void Clear();

    bool Empty() const { return m_frames.empty(); }
    std::size_t Frames() const { return m_frames.size(); }
    std::size_t Charged() const { return m_charged; }
    std::size_t Pongs() const { return m_pongs; }
    // Counted frames not yet written whole.
    std::size_t Counted() const { return m_counted; }

private:
    struct CFrame {
        std::shared_ptr<const std::string> payload;
        uint8_t header[kWsMaxServerHeader];
        uint8_t headerSize;
        EWsOpcode opcode;
        bool counted;
    };
    void PopBack();

    std::deque<CFrame> m_frames;
    std::size_t m_charged = 0;
    std::size_t m_pongs = 0;
    std::size_t m_counted = 0;
    std::size_t m_frontSent = 0; // bytes of the first frame already written
};

// Parses client frames from one read buffer: unmasks them in place, puts
// fragmented messages together, and enforces the message size limit before
// a frame's payload is buffered.
class CWsServerReader {
public:
    explicit CWsServerReader(std::size_t maxMessage) : m_maxMessage(maxMessage) {}

    // Free room for the next read; grows to hold a whole frame.
    std::span<uint8_t> Space();
    void Commit(std::size_t n) { m_end += n; }
    // Once permessage-deflate is agreed, the first frame of a data message
    // may carry RSV1; before, and on other frames, it is a protocol error.
    void AllowCompressed() { m_allowCompressed = true; }
    // Bytes that arrived before the reader took over the connection.
    void Append(const uint8_t* data, std::size_t size);

    // Calls onFrame(EWsOpcode, const uint8_t*, std::size_t, bool compressed)
    // for every complete data message and control frame, until it returns
    // false. A compressed message's size is checked before it is inflated. Returns 0, or
    // the close code of a protocol failure; the reader is then unusable.
    template <class F>
    uint16_t Parse(F&& onFrame);

private:
    struct CFrame {
        bool fin;
        bool compressed;
        EWsOpcode opcode;
        const uint8_t* payload;
        std::size_t size;
    };
    // 0 with frame.payload null when more bytes are needed.
    uint16_t Next(CFrame& frame);

    std::size_t m_maxMessage;
    std::vector<uint8_t> m_buf;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::size_t m_need = 0; // length of the frame that is partly here
    std::string m_fragments;
    bool m_assembling = false;
    bool m_fragmentCompressed = false;
    bool m_allowCompressed = false;
    EWsOpcode m_fragmentOpcode = EWsOpcode::kBinary;
};

template <class F>
bool CWsSendQueue::Written(std::size_t n, F&& onFrame)
{
    n += m_frontSent;
    bool closeWritten = false;
    while (!m_frames.empty()) {
        const CFrame& frame = m_frames.front();
        const std::size_t size = frame.payload->size();
        if (n < frame.headerSize + size) {
            break;
        }
        n -= frame.headerSize + size;
        onFrame(frame.opcode, size);
        closeWritten = closeWritten || frame.opcode == EWsOpcode::kClose;
        m_pongs -= frame.opcode == EWsOpcode::kPong ? 1 : 0;
        m_counted -= frame.counted ? 1 : 0;
        m_charged -= Cost(size);
        m_frames.pop_front();
    }
    m_frontSent = n;
    return closeWritten;
}

template <class F>
uint16_t CWsServerReader::Parse(F&& onFrame)
{
    for (;;) {
        CFrame frame{};
        if (const uint16_t code = Next(frame); code != 0) {
            return code;
        }
        if (frame.payload == nullptr) {
            break;
        }
        bool more = true;
        if (static_cast<uint8_t>(frame.opcode) >= 0x8) {
            more = onFrame(frame.opcode, frame.payload, frame.size, false);
        } else if (frame.opcode == EWsOpcode::kContinuation) {
            m_fragments.append(reinterpret_cast<const char*>(frame.payload), frame.size);
            if (frame.fin) {
                m_assembling = false;
                more = onFrame(m_fragmentOpcode, reinterpret_cast<const uint8_t*>(m_fragments.data()),
                               m_fragments.size(), m_fragmentCompressed);
                std::string().swap(m_fragments);
            }
        } else if (frame.fin) {
            more = onFrame(frame.opcode, frame.payload, frame.size, frame.compressed);
        } else {
            m_assembling = true;
            m_fragmentOpcode = frame.opcode;
            m_fragmentCompressed = frame.compressed;
            m_fragments.assign(reinterpret_cast<const char*>(frame.payload), frame.size);
        }
        if (!more) {
            break;
        }
    }
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    }
    return 0;
}

#endif
