// Settings of a host that joins a fleet of worlds, and the parsers for
// their text forms.
#ifndef CORVANE_HOST_FLEETOPTIONS_H
#define CORVANE_HOST_FLEETOPTIONS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// Where the fleet's Redis is: redis://[[USER]:PASSWORD@]HOST[:PORT][/DB].
struct CRedisAddress {
    std::string host;
    uint16_t port = 6379;
    unsigned db = 0;
    std::string user;
    std::string password; // empty: no AUTH

    // The URL without the password, for log lines.
    std::string Describe() const;
};

struct CFleetOptions {
    std::string redisUrl;  // empty: no fleet, one world on its own
    std::string world;     // empty: HOST:PORT of the listening address
    std::string publicUrl; // empty: ws://HOST:PORT/ws of the listening address
    std::chrono::milliseconds seatTtl{15000};
    uint32_t seatsPerToken = 2;
    uint32_t seatsPerAddress = 8;
    double rate = 5;
    double burst = 20;

    bool Enabled() const { return !redisUrl.empty(); }
};

// Throws std::invalid_argument with a one-line reason.
CRedisAddress ParseRedisUrl(std::string_view url);

// World names go into Redis keys and JSON: 1 to 100 of A-Z a-z 0-9 . _ - : [ ].
bool IsValidWorldName(std::string_view name);

// A public URL must be ws:// or wss:// with something after the scheme.
bool IsValidPublicUrl(std::string_view url);

#endif
