#include "game/FrameRing.h"

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
