// What a run measured, and the three ways it is written out: the summary
// table for people, one JSON object for scripts, one HTML page with charts.
#ifndef CORVANE_BOT_BOTRESULT_H
#define CORVANE_BOT_BOTRESULT_H

#include "LatencyHistogram.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Counters that every I/O thread keeps for its players and that add up.
struct CBotCounters {
    uint64_t connected = 0;
    uint64_t entered = 0;
    // Entered players that decode everything (all of them without a sample).
    uint64_t decoding = 0;
    uint64_t refused = 0;
    uint64_t cutOff = 0;
    uint64_t movesSent = 0;
    uint64_t movesAnswered = 0;
    // Moves overtaken by a later move's answer without an answer of their own.
    uint64_t movesSkipped = 0;
    uint64_t attacksSent = 0;
    uint64_t attacksAnswered = 0;
    uint64_t areasSent = 0;
    uint64_t talksSent = 0;
    // Sent by players outside the decoding sample: they never see the
    // answers, so these are in neither the sent nor the answered counts.
    uint64_t movesUnchecked = 0;
    uint64_t attacksUnchecked = 0;
    // Actions dropped because the player was more than a second behind its
    // schedule: the bot could not keep up.
    uint64_t actionsLate = 0;
    uint64_t framesReceived = 0;
    uint64_t bytesReceived = 0; // on the wire: frames as they arrived
    uint64_t bytesDecoded = 0;  // payloads of data messages, inflated (decoding players only)
    uint64_t deflateAgreed = 0; // connections with permessage-deflate
    uint64_t protocolErrors = 0;
    uint64_t idleConnected = 0;
    uint64_t idleClosed = 0;
    // Close codes the server sent (1006: the connection ended without one).
    std::map<uint16_t, uint64_t> closes;
    // Connections the bot cut (--chaos) or gave up as silent (--silence).
    uint64_t cuts = 0;
    uint64_t silenceCuts = 0;
    uint64_t resumesOk = 0;
    uint64_t resumesRefused = 0;
    // Refusals by code name.
    std::map<std::string, uint64_t> resumeRefusals;
    // Cut players that never got back (no connection within a minute).
    uint64_t resumesAbandoned = 0;
    // Cut while holding no token (none sent yet, or the host sends none):
    // only a fresh login was left.
    uint64_t cutsWithoutToken = 0;
    // Sent on a connection that --silence then gave up as dead, and never
    // answered: they did not reach the host (a resume carries only what the
    // host sends). Neither unanswered nor skipped.
    uint64_t movesUndelivered = 0;
    uint64_t attacksUndelivered = 0;

    void Merge(const CBotCounters& other);
};

// One second of the load phase.
struct CBotSecond {
    double t = 0;
    double movesSent = 0;
    double movesAnswered = 0;
    double movesUnchecked = 0;
    double moveP50Ms = 0;
    double moveP99Ms = 0;
    // Bytes each player received on the wire, and each decoding player decoded.
    double wireBytesPerUser = 0;
    double decodedBytesPerUser = 0;
    // Server CPU in cores over that second, when its pid is known.
    std::optional<double> serverCpu;
};

struct CBotResult {
    std::string url;
    uint32_t users = 0;
    uint32_t idle = 0;
    double rate = 0;
    uint32_t threads = 0;
    bool deflate = false;
    // Players that decode; 0: all of them.
    uint32_t decodeSample = 0;
    CBotCounters counters;
    uint64_t movesUnanswered = 0;
    uint64_t attacksUnanswered = 0;
    CLatencyHistogram moves;
    CLatencyHistogram attacks;
    std::vector<CBotSecond> seconds;
    double durationS = 0;
    // Both CPU figures cover the load phase only.
    double botCpuS = 0;
    uint64_t loadFrames = 0;
    uint64_t loadBytes = 0;
    uint64_t loadDecoded = 0;
    std::optional<double> serverCpuS;
    std::optional<uint64_t> serverRssKiB;
    std::optional<uint64_t> serverRssBeforeKiB;
    // Resumes (--chaos, --silence): cut to resumed, and the frames of the
    // players compared with the control's.
    bool resumes = false;
    double chaos = 0;
    CLatencyHistogram resumeTimes;
    uint64_t framesCompared = 0;
    uint64_t framesLost = 0;
    uint64_t framesRepeated = 0;
    uint64_t framesUnmatched = 0;
    uint64_t framesSkipped = 0;
    // The control player was cut off by the server or had to resume: the
    // comparison then has no sound reference.
    bool controlBroken = false;

    bool Failed() const;
    // Load-phase bytes a second: on the wire per player entered, decoded
    // per decoding player entered.
    double WireBytesPerUserS() const;
    double DecodedBytesPerUserS() const;
};

void WriteSummary(std::ostream& out, const CBotResult& result);
void WriteJson(std::ostream& out, const CBotResult& result);
void WriteHtml(std::ostream& out, const CBotResult& result);

#endif
