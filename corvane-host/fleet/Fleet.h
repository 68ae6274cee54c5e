// Membership of a fleet of worlds that share one Redis: this host registers
// its world every second with a short time-to-live, reserves seats for
// players on whichever world has room, and consumes the seats its own
// players log in with.
//
// Redis is only ever called from the fleet's own thread, with connect and
// command timeouts, so the event loop never waits on it. Requests are
// queued to that thread and their answers posted back to the loop, where
// every callback runs.
#ifndef CORVANE_HOST_FLEET_H
#define CORVANE_HOST_FLEET_H

#include "fleet/FleetOptions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

namespace boost::asio {
class io_context;
}

class CTokenList;

struct CFleetSettings {
    CRedisAddress redis;
    std::string world;
    std::string publicUrl;
    uint32_t maxUsers = 155;
    std::chrono::milliseconds seatTtl{15000};
    // With a token file, only its holders get seats (Authorization: Bearer).
    const CTokenList* tokens = nullptr;
    // Live seats one holder may have across the fleet: a token with a token
    // file, else a client address. Asking beyond gives up the oldest.
    uint32_t seatsPerToken = 2;
    uint32_t seatsPerAddress = 8;
    // Requests to /matchmake and /worlds per client address: a second, at once.
    double rate = 5;
    double burst = 20;
};

// An HTTP answer: its status and a JSON body.
struct CFleetReply {
    unsigned status = 200;
    std::string json;
    unsigned retryAfter = 0; // seconds, sent as Retry-After when not 0
};

class CFleet {
public:
    // `usersOnline` is called on the event loop thread only.
    CFleet(boost::asio::io_context& ioc, CFleetSettings settings, std::function<std::size_t()> usersOnline);
    ~CFleet();

    CFleet(const CFleet&) = delete;
    CFleet& operator=(const CFleet&) = delete;

    // Connects and claims the world's name, then starts the heartbeat.
    // Throws CStartupError when Redis cannot be reached or another live host
    // serves a world of this name.
    void Start();
    // On the loop: removes the world from the registry (on the fleet's
    // thread) and stops the loop's timers. Join once the loop has ended.
    void Stop();
    void Join();

    // POST /matchmake from `client`: a seat on the fullest world with room,
    // or 429 beyond the address's rate.
    void Matchmake(std::string_view authorization, const boost::asio::ip::address& client,
                   std::function<void(CFleetReply)> done);
    // GET /worlds from `client`: the live worlds, read at most every 0.5 s.
    void ListWorlds(const boost::asio::ip::address& client, std::function<void(CFleetReply)> done);
    // A Login token on this world: true when it was a seat issued for this
    // world, unused and unexpired; it is used up then. Always false while
    // another host holds this world's name.
    void ConsumeSeat(std::string_view seat, std::function<void(bool)> done);
    // False while another host serves a world of this name.
    bool HoldsName() const;
    // On the loop: from now on the world sells no seats. It leaves the open
    // index at once (on the fleet's thread) and shows as draining in
    // /worlds; it stays registered, so that its players' seats stay known,
    // until Stop.
    void Drain();

    // Prometheus text of the fleet's series.
    std::string RenderMetrics() const;

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

// A seat token: 32 lowercase hex digits from the system's cryptographic generator.
std::string NewSeatToken();
bool LooksLikeSeat(std::string_view token);

// The registry's Lua scripts, to measure them on their own. Arguments
// (ARGV; no KEYS): Register name instance url users maxUsers version started
// ttl_ms draining (1 or 0); Unregister name instance; Matchmake token ttl_ms holder maxSeats;
// Consume name token instance.
enum class EFleetScript { Register, Unregister, Matchmake, Consume };
std::string FleetScript(EFleetScript script);

class CRedisClient;
// The live worlds as the JSON of GET /worlds; drops the entries of worlds
// whose last heartbeat is older than `ttl`. Throws CRedisError.
std::string ReadWorlds(CRedisClient& client, std::chrono::milliseconds ttl);

#endif
