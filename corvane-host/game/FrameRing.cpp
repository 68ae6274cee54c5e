#include "game/FrameRing.h"

#include <cstdint>

bool CFrameRing::Push(std::shared_ptr<const std::string> frame)
{
    m_charged += Cost(frame->size());
    m_frames.push_back(std::move(frame));
    ++m_sent;
    while (m_charged > m_limit && !m_frames.empty()) {
        if (FirstKept() >= m_protectFrom) {
            return false;
        }
        m_charged -= Cost(m_frames.front()->size());
        m_frames.pop_front();
    }
    return true;
}

CFrameRing::ECount CFrameRing::Locate(uint32_t received, uint64_t& first) const
{
    uint64_t lag = 0; // frames the client lacks
    if (m_sent <= UINT32_MAX) {
        if (received > m_sent) {
            return ECount::kAhead;
        }
        lag = m_sent - received;
    } else {
        // Past the wrap only the distance tells: within half the count's
        // range behind is behind, the rest is ahead.
        lag = static_cast<uint32_t>(static_cast<uint32_t>(m_sent) - received);
        if (lag > INT32_MAX) {
            return ECount::kAhead;
        }
    }
    if (lag > m_frames.size()) {
        return ECount::kTooOld;
    }
    first = m_sent - lag;
    return ECount::kKept;
}
