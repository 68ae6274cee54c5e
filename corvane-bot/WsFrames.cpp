#include "WsFrames.h"

#include <algorithm>
#include <new>
#include <utility>

void AppendClientFrame(std::string& out, EWsOpcode opcode, std::string_view payload, uint32_t mask)
{
    uint8_t header[kWsMaxServerHeader];
    const std::size_t n = payload.size();
    out.append(reinterpret_cast<const char*>(header),
               WriteWsFrameHeader(header, static_cast<uint8_t>(0x80 | static_cast<uint8_t>(opcode)), true, n));
    const uint8_t key[4] = {static_cast<uint8_t>(mask >> 24), static_cast<uint8_t>(mask >> 16),
                            static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask)};
    out.append(reinterpret_cast<const char*>(key), 4);
    const std::size_t at = out.size();
    out.append(payload);
    for (std::size_t i = 0; i < n; ++i) {
        out[at + i] = static_cast<char>(static_cast<uint8_t>(out[at + i]) ^ key[i & 3]);
    }
}

CWsInflater::CWsInflater()
{
    if (inflateInit2(&m_stream, -15) != Z_OK) {
        throw std::bad_alloc();
    }
}

CWsInflater::~CWsInflater() { inflateEnd(&m_stream); }

std::optional<std::string_view> CWsInflater::Inflate(std::string_view payload)
{
    static constexpr uint8_t kTail[] = {0x00, 0x00, 0xFF, 0xFF};
    // m_out only grows: resizing it down and up again for every message
    // would clear the room anew each time, far more bytes than the message.
    static constexpr std::size_t kMinRoom = 4096;
    z_stream& z = m_stream;
    std::size_t produced = 0;
    const std::pair<const void*, std::size_t> inputs[] = {{payload.data(), payload.size()}, {kTail, sizeof kTail}};
    for (const auto& [data, size] : inputs) {
        z.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        z.avail_in = static_cast<uInt>(size);
        for (;;) {
            if (produced > CWsFrameReader::kMaxMessage) {
                return std::nullopt;
            }
            if (m_out.size() - produced < kMinRoom) {
                m_out.resize(produced + std::max(kMinRoom, produced));
            }
            const std::size_t room = m_out.size() - produced;
            z.next_out = reinterpret_cast<Bytef*>(m_out.data() + produced);
            z.avail_out = static_cast<uInt>(room);
            const int rc = inflate(&z, Z_SYNC_FLUSH);
            produced += room - z.avail_out;
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                return std::nullopt;
            }
            if (z.avail_in == 0 && z.avail_out > 0) {
                break;
            }
        }
    }
    return std::string_view(m_out.data(), produced);
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
    if (h.rsv1 && (!m_allowCompressed || (h.opcode != EWsOpcode::kText && h.opcode != EWsOpcode::kBinary))) {
        return EStep::kError;
    }
    if (avail - h.size < h.length) {
        return EStep::kNeedMore;
    }
    frame.fin = h.fin;
    frame.compressed = h.rsv1;
    frame.opcode = h.opcode;
    frame.payload = std::string_view(reinterpret_cast<const char*>(p + h.size), static_cast<std::size_t>(h.length));
    m_begin += h.size + static_cast<std::size_t>(h.length);
    return EStep::kFrame;
}
