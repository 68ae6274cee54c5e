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
    if (avail < 2) {
        return EStep::kNeedMore;
    }
    // Reserved bits need an extension we never offer; a masked frame from
    // a server is forbidden.
    if ((p[0] & 0x70) != 0 || (p[1] & 0x80) != 0) {
        return EStep::kError;
    }
    const auto opcode = static_cast<EWsOpcode>(p[0] & 0x0F);
    const bool fin = (p[0] & 0x80) != 0;
    std::size_t header = 2;
    uint64_t length = p[1] & 0x7F;
    if (length == 126) {
        header = 4;
        if (avail < header) {
            return EStep::kNeedMore;
        }
        length = (uint64_t{p[2]} << 8) | p[3];
    } else if (length == 127) {
        header = 10;
        if (avail < header) {
            return EStep::kNeedMore;
        }
        length = 0;
        for (int i = 2; i < 10; ++i) {
            length = (length << 8) | p[i];
        }
    }
    switch (opcode) {
    case EWsOpcode::kContinuation:
    case EWsOpcode::kText:
    case EWsOpcode::kBinary:
        if (length > kMaxMessage) {
            return EStep::kError;
        }
        break;
    case EWsOpcode::kClose:
    case EWsOpcode::kPing:
    case EWsOpcode::kPong:
        if (!fin || length > 125) {
            return EStep::kError;
        }
        break;
    default:
        return EStep::kError;
    }
    if (avail - header < length) {
        return EStep::kNeedMore;
    }
    frame.fin = fin;
    frame.opcode = opcode;
    frame.payload = std::string_view(reinterpret_cast<const char*>(p + header), static_cast<std::size_t>(length));
    m_begin += header + static_cast<std::size_t>(length);
    return EStep::kFrame;
}
