// corvane-bot --chaos: the resume side of a player (its token and the
// frames it has received since its login), the host's answers to a resume,
// and the schedule of the cuts.
#ifndef CORVANE_BOT_CHAOS_H
#define CORVANE_BOT_CHAOS_H

#include "ClientProtocol.h"
#include "game/HostProtocol.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a player needs to resume its login on a new connection.
struct CResumeSession {
    // Empty until the host sends one, and once it is used.
    std::string token;
    // Module messages received since the login, over all its connections,
    // modulo 2^32 as on the wire.
    uint32_t frames = 0;

    bool Resumable() const { return token.size() == kResumeTokenSize; }
};

// Bodies (behind the 4-byte frame) of the host's answers; nothing when cut
// short, or for a token of another size. Unlike the client library's
// decoders they do not throw: a load tool counts bad input and goes on.
std::optional<CorvaneClient::CResumeAck> ParseResumeAck(std::string_view body);
std::optional<std::string> ParseResumeToken(std::string_view body);

// The names of the ResumeAck codes, for the report ("code 9" beyond them).
std::string ResumeCodeName(int32_t code);

// When the cuts fall: `rate` a second, evenly spaced, so that a run of a
// few seconds gets its share.
class CCutSchedule {
public:
    using Clock = std::chrono::steady_clock;

    CCutSchedule(double rate, Clock::time_point start);
    // Cuts due by `now` that were not handed out yet.
    uint64_t Due(Clock::time_point now);

private:
    double m_rate;
    Clock::time_point m_start;
    uint64_t m_given = 0;
};

#endif
