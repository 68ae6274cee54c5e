// The resume tokens of the users logged in: one live token per user, drawn
// from the system's cryptographic generator, kept only as a keyed hash and
// looked up without the time telling anything about the tokens. A token is
// good for one resume. Retired tokens are remembered for a while, and at
// most a bounded number of them, so that a late resume learns why it is
// refused; past that it is simply unknown.
#ifndef CORVANE_HOST_RESUMETOKENS_H
#define CORVANE_HOST_RESUMETOKENS_H

#include "game/HostProtocol.h"
#include "game/TokenDigest.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

class CResumeTokens {
public:
    using Clock = std::chrono::steady_clock;

    // Retired tokens are remembered for `memory`, and `retiredBound` of
    // them at most (the oldest is forgotten first).
    CResumeTokens(Clock::duration memory, std::size_t retiredBound);

    // A new live token for the user (kResumeTokenSize bytes); its previous
    // live one, if any, is forgotten without being retired.
    std::string Issue(uint32_t userId);

    struct CLookup {
        EResumeCode code; // kResumeOk for a live token
        uint32_t userId;  // of a live token; 0 otherwise
    };
    CLookup Find(std::string_view token, Clock::time_point now) const;

    // Ends the user's live token: from then on Find answers `why` (a
    // kResumeTokenUsed, kResumeExpired or kResumeOverflow).
    void Retire(uint32_t userId, EResumeCode why, Clock::time_point now);

    std::size_t Live() const { return m_live.size(); }
    std::size_t Retired() const { return m_retiredOrder.size(); }

private:
    using CDigest = CTokenDigest;
    using CDigestHash = CTokenDigestHash;
    using CDigestEqual = CTokenDigestEqual;
    struct CRetired {
        EResumeCode why;
        Clock::time_point at;
    };

    void Forget(Clock::time_point now);

    CTokenDigester m_digest;
    Clock::duration m_memory;
    std::size_t m_retiredBound;
    std::unordered_map<CDigest, uint32_t, CDigestHash, CDigestEqual> m_live;
    std::unordered_map<uint32_t, CDigest> m_liveOf;
    std::unordered_map<CDigest, CRetired, CDigestHash, CDigestEqual> m_retired;
    std::deque<CDigest> m_retiredOrder; // oldest first
};

#endif
