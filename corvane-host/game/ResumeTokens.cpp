#include "game/ResumeTokens.h"

#include "game/SecureRandom.h"

CResumeTokens::CResumeTokens(Clock::duration memory, std::size_t retiredBound)
    : m_memory(memory), m_retiredBound(retiredBound) {}

std::string CResumeTokens::Issue(uint32_t userId)
{
    std::string token(kResumeTokenSize, '\0');
    FillSecureRandom({reinterpret_cast<uint8_t*>(token.data()), token.size()});
    const CDigest digest = m_digest(token);
    if (const auto old = m_liveOf.find(userId); old != m_liveOf.end()) {
        m_live.erase(old->second);
    }
    m_live[digest] = userId;
    m_liveOf[userId] = digest;
    return token;
}

CResumeTokens::CLookup CResumeTokens::Find(std::string_view token, Clock::time_point now) const
{
    const CDigest digest = m_digest(token);
    if (const auto live = m_live.find(digest); live != m_live.end()) {
        return {kResumeOk, live->second};
    }
    if (const auto retired = m_retired.find(digest); retired != m_retired.end() && now - retired->second.at < m_memory) {
        return {retired->second.why, 0};
    }
    return {kResumeUnknownToken, 0};
}

void CResumeTokens::Retire(uint32_t userId, EResumeCode why, Clock::time_point now)
{
    const auto live = m_liveOf.find(userId);
    if (live == m_liveOf.end()) {
        return;
    }
    const CDigest digest = live->second;
    m_live.erase(digest);
    m_liveOf.erase(live);
    Forget(now);
    if (m_retiredBound == 0) {
        return;
    }
    if (m_retiredOrder.size() >= m_retiredBound) {
        m_retired.erase(m_retiredOrder.front());
        m_retiredOrder.pop_front();
    }
    // Tokens are random: a digest retired twice would take 2^128 tries.
    if (m_retired.emplace(digest, CRetired{why, now}).second) {
        m_retiredOrder.push_back(digest);
    }
}

// Retired tokens leave in the order they came, so the old ones are at the front.
void CResumeTokens::Forget(Clock::time_point now)
{
    while (!m_retiredOrder.empty()) {
        const auto it = m_retired.find(m_retiredOrder.front());
        if (now - it->second.at < m_memory) {
            return;
        }
        m_retired.erase(it);
        m_retiredOrder.pop_front();
    }
}
