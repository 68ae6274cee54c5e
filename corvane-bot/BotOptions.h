// What one run of corvane-bot is asked to do, and the parsers of the flags
// that carry structure (the action mix and the URL).
#ifndef CORVANE_BOT_BOTOPTIONS_H
#define CORVANE_BOT_BOTOPTIONS_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class EAction : uint8_t { kMove, kAttack, kArea, kTalk };
inline constexpr std::size_t kActionCount = 4;

// Relative weights of the actions; they need not add up to 100.
struct CActionMix {
    std::array<uint32_t, kActionCount> weights{90, 5, 3, 2};

    uint32_t Total() const { return weights[0] + weights[1] + weights[2] + weights[3]; }
    // The action for a draw in [0, Total()).
    EAction Pick(uint32_t draw) const;
};

// "move=90,attack=5,area=3,talk=2"; names may be left out (weight 0) but
// not repeated. Nothing when malformed or when every weight is 0.
std::optional<CActionMix> ParseMix(std::string_view text, std::string& error);

struct CWsUrl {
    std::string host;
    uint16_t port = 80;
    std::string target = "/";
};

// ws://HOST[:PORT][/PATH]; an IPv6 host goes in brackets.
std::optional<CWsUrl> ParseWsUrl(std::string_view text, std::string& error);

struct CBotOptions {
    std::string url = "ws://127.0.0.1:7780/ws";
    CWsUrl endpoint;
    uint32_t users = 155;
    double rate = 5.0;
    double duration = 10.0;
    double ramp = 1.0;
    CActionMix mix;
    uint64_t seed = 1;
    std::string token;
    std::string jsonFile;
    std::string reportFile;
    uint32_t threads = 2;
    uint32_t idle = 0;
    int serverPid = 0;
    // Time allowed, after the load, for the answers still on their way.
    double drain = 5.0;
    bool quiet = false;
    // Offer permessage-deflate and inflate what arrives compressed.
    bool deflate = false;
    // This many players decode everything and have their moves and attacks
    // matched to answers; the others, once entered, only parse frame headers
    // (for closes and pings) and skip the payloads, so that the bot's own
    // inflating does not become the limit. 0: every player.
    uint32_t decodeSample = 0;
    // Fleet mode: hosts (http://HOST:PORT) whose POST /matchmake seats the
    // players, asked in turn (FleetPlayer.h). Empty: players log in at url.
    std::vector<std::string> matchmake;

    // The sample is spread evenly over the players, which connect in index
    // order, so that it is not only the first to connect (and perhaps the
    // first served by the server's loops). Exactly decodeSample of indexes
    // 0 to users - 1 decode.
    bool Decodes(uint32_t player) const
    {
        return decodeSample == 0 || decodeSample >= users ||
               static_cast<uint64_t>(player) * decodeSample % users < decodeSample;
    }
    // Players that decode among those simulated.
    uint32_t DecodingUsers() const { return decodeSample == 0 ? users : std::min(users, decodeSample); }

    // Connections cut a second (closed without a close frame) and resumed.
    double chaos = 0;
    // A connection that receives nothing for this long is given up and
    // resumed on a new one; 0: never.
    double silence = 0;
    // Where the control player connects (default: the URL).
    std::string controlUrl;
    CWsUrl controlEndpoint;

    // Players may resume: their frames are checked against player 0's,
    // the control, which the bot never cuts.
    bool Resumes() const { return chaos > 0 || silence > 0; }
};

#endif
