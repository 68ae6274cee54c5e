// corvane-bot's fleet mode (--matchmake): players that join a fleet of
// worlds as the page does, through POST /matchmake and a login with the
// seat, and that look for another world whenever theirs ends them (a drain's
// 1001 "draining" or LoginAck 5, a host gone). It measures what a player
// sees of a rolling restart: how often it was moved, and how long it went
// from an error to playing again.
//
// One thread per player, blocking calls with timeouts: a drill of a few
// dozen players, not a load test.
#ifndef CORVANE_BOT_FLEETPLAYER_H
#define CORVANE_BOT_FLEETPLAYER_H

#include "BotOptions.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

// A player that goes longer than this from an error to playing again has
// seen an error that stayed one.
inline constexpr double kFleetGapLimitMs = 2000;

struct CFleetResult {
    uint32_t users = 0;
    double durationS = 0;
    uint64_t matchmakes = 0;        // answered 200
    uint64_t matchmakeFailures = 0; // unreachable, or answered otherwise
    uint64_t logins = 0;            // LoginAck 0
    uint64_t moved = 0;             // told to go by a draining world (close or LoginAck 5)
    uint64_t interruptions = 0;     // errors after which the player had to find a world again
    uint64_t gapsOverLimit = 0;     // of those, not followed by play within kFleetGapLimitMs
    double longestGapMs = 0;
    uint64_t movesSent = 0;         // on connections that stayed open until answered or 2 s
    uint64_t movesAnswered = 0;
    uint64_t movesUnanswered = 0;   // not answered within 2 s on a connection that stayed open
    uint32_t playingAtEnd = 0;
    std::map<int32_t, uint64_t> refusals; // LoginAck codes other than 0
    std::map<uint16_t, uint64_t> closes;  // close codes of connections the host ended

    // An error that stayed one, a login refused for any reason but a drain
    // (a seat refused or a world oversold), a move lost, a player not
    // playing at the end.
    bool Failed() const;
};

// "http://HOST:PORT[/]": where POST /matchmake is asked.
std::optional<CWsUrl> ParseHttpUrl(std::string_view text, std::string& error);

// Runs options.users players for options.duration seconds at options.rate
// moves a second, asking the `options.matchmake` hosts in turn (the next one
// when one fails). Status goes to `status` once a second unless quiet.
CFleetResult RunFleet(const CBotOptions& options, std::ostream& status);

void WriteFleetSummary(std::ostream& out, const CFleetResult& result);
void WriteFleetJson(std::ostream& out, const CFleetResult& result);

#endif
