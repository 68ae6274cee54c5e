#include "net/WsFraming.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// A read asks for at least this much room; moves are a few dozen bytes, so
// one read usually takes every frame a client has sent since the last one.
constexpr std::size_t kMinRead = 1024;

} // namespace

std::size_t WriteServerFrameHeader(uint8_t* out, EWsOpcode opcode, std::size_t payloadSize, bool compressed)
{
    const auto first = static_cast<uint8_t>(0x80 | (compressed ? 0x40 : 0) | static_cast<uint8_t>(opcode));
    return WriteWsFrameHeader(out, first, false, payloadSize);
}

bool IsValidWsCloseCode(uint16_t code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

bool CWsSendQueue::TryPush(EWsOpcode opcode, std::shared_ptr<const std::string> payload, std::size_t limit,
                           bool compressed, bool counted)
{
    if (Cost(payload->size()) > limit || m_charged > limit - Cost(payload->size())) {
        return false;
    }
    Push(opcode, std::move(payload), compressed, counted);
    return true;
}

void CWsSendQueue::Push(EWsOpcode opcode, std::shared_ptr<const std::string> payload, bool compressed, bool counted)
{
    CFrame& frame = m_frames.emplace_back();
    frame.headerSize =
        static_cast<uint8_t>(WriteServerFrameHeader(frame.header, opcode, payload->size(), compressed));
    frame.opcode = opcode;
    frame.counted = counted;
    m_counted += counted ? 1 : 0;
    m_charged += Cost(payload->size());
    m_pongs += opcode == EWsOpcode::kPong ? 1 : 0;
    frame.payload = std::move(payload);
}

std::size_t CWsSendQueue::Gather(std::span<CSendBuffer> out, std::size_t& offered) const
{
    std::size_t count = 0;
    std::size_t skip = m_frontSent;
    for (const CFrame& frame : m_frames) {
        if (count + 2 > out.size()) {
            break;
        }
        const std::pair<const void*, std::size_t> parts[] = {{frame.header, frame.headerSize},
                                                             {frame.payload->data(), frame.payload->size()}};
        for (const auto& [data, size] : parts) {
            if (skip >= size) {
                skip -= size;
                continue;
            }
            out[count] = {static_cast<const char*>(data) + skip, size - skip};
            offered += size - skip;
            skip = 0;
            ++count;
        }
    }
    return count;
}

void CWsSendQueue::DropBacklog()
{
    const std::size_t keep = m_frontSent > 0 ? 1 : 0;
    while (m_frames.size() > keep) {
        PopBack();
    }
}

void CWsSendQueue::Clear()
{
    m_frames.clear();
    m_charged = 0;
    m_pongs = 0;
    m_counted = 0;
    m_frontSent = 0;
}

void CWsSendQueue::PopBack()
{
    const CFrame& frame = m_frames.back();
    m_charged -= Cost(frame.payload->size());
    m_pongs -= frame.opcode == EWsOpcode::kPong ? 1 : 0;
    m_counted -= frame.counted ? 1 : 0;
    m_frames.pop_back();
}

std::span<uint8_t> CWsServerReader::Space()
{
    const std::size_t held = m_end - m_begin;
    const std::size_t want = std::max(kMinRead, m_need > held ? m_need - held : 0);
    if (m_buf.size() - m_end < want && m_begin > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_begin, held);
        m_begin = 0;
        m_end = held;
    }
    if (m_buf.size() - m_end < want) {
        m_buf.resize(std::max(m_end + want, 2 * kMinRead));
    }
    return {m_buf.data() + m_end, m_buf.size() - m_end};
}

void CWsServerReader::Append(const uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const std::span<uint8_t> room = Space();
        const std::size_t n = std::min(room.size(), size);
        std::memcpy(room.data(), data, n);
        Commit(n);
        data += n;
        size -= n;
    }
}

uint16_t CWsServerReader::Next(CFrame& frame)
{
    uint8_t* p = m_buf.data() + m_begin;
    const std::size_t avail = m_end - m_begin;
    CWsFrameHeader h{};
    switch (ReadWsFrameHeader(p, avail, h)) {
    case EWsHeaderRead::kNeedMore:
        return 0;
    case EWsHeaderRead::kBad:
        return kWsProtocolError;
    case EWsHeaderRead::kOk:
        break;
    }
    // A client must mask every frame.
    if (!h.masked) {
        return kWsProtocolError;
    }
    // RSV1 marks a compressed message: only when agreed, and only on the
    // first frame of a data message.
    if (h.rsv1 && (!m_allowCompressed || (h.opcode != EWsOpcode::kText && h.opcode != EWsOpcode::kBinary))) {
        return kWsProtocolError;
    }
    const uint64_t length = h.length;
    switch (h.opcode) {
    case EWsOpcode::kContinuation:
        if (!m_assembling) {
            return kWsProtocolError;
        }
        if (length > m_maxMessage - m_fragments.size()) {
            return kWsMessageTooBig;
        }
        break;
    case EWsOpcode::kText:
    case EWsOpcode::kBinary:
        if (m_assembling) {
            return kWsProtocolError;
        }
        if (length > m_maxMessage) {
            return kWsMessageTooBig;
        }
        break;
    default:
        break;
    }
    const std::size_t total = h.size + static_cast<std::size_t>(length);
    if (avail < total) {
        m_need = total;
        return 0;
    }
    m_need = 0;
    const uint8_t* key = p + h.size - 4;
    uint8_t* payload = p + h.size;
    for (std::size_t i = 0; i < length; ++i) {
        payload[i] ^= key[i & 3];
    }
    // A close frame's body is empty, or a valid code and a reason.
    if (h.opcode == EWsOpcode::kClose && length > 0 &&
        (length < 2 || !IsValidWsCloseCode(static_cast<uint16_t>((payload[0] << 8) | payload[1])))) {
        return kWsProtocolError;
    }
    frame = {h.fin, h.rsv1, h.opcode, payload, static_cast<std::size_t>(length)};
    m_begin += total;
    return 0;
}
