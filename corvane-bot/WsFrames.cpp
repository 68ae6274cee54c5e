#include "WsFrames.h"

void AppendClientFrame(std::string& out, EWsOpcode opcode, std::string_view payload, uint32_t mask)
{
    out.push_back(static_cast<char>(0x80 | static_cast<uint8_t>(opcode)));
    const std::size_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
        out.push_back(static_cast<char>(0x80 | 126));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(n & 0xFF));
    } else {
        out.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF));
        }
    }
    const uint8_t key[4] = {static_cast<uint8_t>(mask >> 24), static_cast<uint8_t>(mask >> 16),
                            static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask)};
    out.append(reinterpret_cast<const char*>(key), 4);
    const std::size_t at = out.size();
    out.append(payload);
    for (std::size_t i = 0; i < n; ++i) {
        out[at + i] = static_cast<char>(static_cast<uint8_t>(out[at + i]) ^ key[i & 3]);
    }
}

uint16_t CloseCodeOf(std::string_view payload)
{
    if (payload.size() < 2) {
        return 1005;
    }
    return static_cast<uint16_t>((static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]));
}

std::span<uint8_t> CWsFrameReader::Space()
{
    if (m_buf.size() - m_end < m_chunk && m_begin > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buf.size() - m_end < m_chunk) {
        m_buf.resize(m_end + m_chunk);
    }
    return {m_buf.data() + m_end, m_buf.size() - m_end};
}

CWsFrameReader::EStep CWsFrameReader::Next(CFrame& frame)
{
    const uint8_t* p = m_buf.data() + m_begin;
    const std::size_t avail = m_end - m_begin;
    CWsFrameHeader h{};
    switch (ReadWsFrameHeader(p, avail, h)) {
    case EWsHeaderRead::kNeedMore:
        return EStep::kNeedMore;
    case EWsHeaderRead::kBad:
        return EStep::kError;
    case EWsHeaderRead::kOk:
        break;
    }
    // A server never masks its frames, and no message of the game comes
    // near the limit.
    if (h.masked || (h.opcode <= EWsOpcode::kBinary && h.length > kMaxMessage)) {
        return EStep::kError;
    }
    if (avail - h.size < h.length) {
        return EStep::kNeedMore;
    }
    frame.fin = h.fin;
    frame.opcode = h.opcode;
    frame.payload = std::string_view(reinterpret_cast<const char*>(p + h.size), static_cast<std::size_t>(h.length));
    m_begin += h.size + static_cast<std::size_t>(h.length);
    return EStep::kFrame;
}
