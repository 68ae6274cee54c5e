#include "fleet/Fleet.h"

#include "ops/JsonText.h"

#include "fleet/RedisClient.h"
#include "game/SecureRandom.h"
#include "game/SipHash.h"
#include "game/TokenList.h"
#include "ops/Metrics.h"
#include "ops/StartupError.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kConnectTimeout = 500ms;
constexpr auto kCommandTimeout = 1000ms;
constexpr auto kHeartbeat = 1000ms;
// A world whose host stops beating leaves the registry this long after
// its last beat.
constexpr auto kWorldTtl = 3000ms;
constexpr auto kFirstRetry = 100ms;
// Below the heartbeat, so that a host is back within a beat or two of
// Redis coming back.
constexpr auto kMaxRetry = 1000ms;
// How often the loop hands its count of users to the fleet's thread.
constexpr auto kCountRefresh = 250ms;
// Requests waiting for the Redis thread beyond these are refused at once
// (503): a player is better told to retry than left waiting behind a queue
// that a slow Redis cannot drain. Seat checks are bounded by the pending
// game connections already; the bound only guards the thread.
constexpr std::size_t kMaxQueuedSeats = 4096;
constexpr std::size_t kMaxQueuedMatchmakes = 256;
// Script calls sent in one pipeline, one round trip.
constexpr std::size_t kMaxBatch = 64;
// How long one read of the registry answers GET /worlds, and how many
// requests may wait for the next read.
constexpr auto kWorldsCache = 500ms;
constexpr std::size_t kMaxWorldsWaiters = 4096;

// Every key shares the {corvane} hash tag, so that a cluster keeps the
// whole registry in one slot and the scripts may touch any of it.
//   {corvane}:world:NAME           hash: name instance url users maxUsers version started beat draining; expires
//   {corvane}:reserved:NAME        sorted set: seat token -> expiry (ms since the epoch)
//   {corvane}:seat:NAME:TOKEN      the seat's holder, expiring with the seat
//   {corvane}:holder:HOLDER        sorted set: "NAME TOKEN" of the holder's seats -> expiry (µs)
//   {corvane}:open                 sorted set: worlds with a free seat -> minus seats taken
//   {corvane}:summary              hash: name -> "beat users maxUsers reserved url draining", for /worlds
// The open index lets matchmaking take the fullest world with room without
// looking at every world: it is ordered fullest first (ties by name), and
// every heartbeat and reservation rewrites its world's entry. A world that
// fills up or dies drops out of it; its next heartbeat puts it back. The
// summary lets /worlds read every world in one command (HGETALL, no
// script); entries whose beat is older than the time-to-live are dropped
// as they are read. A holder is whoever asked for the seats (a token's
// hash, or a client address): its set bounds its live seats across every
// world. A draining world (its host stopping) is never in the open index:
// every script that would put it there checks the flag.
// Time comes from Redis (TIME), so hosts need no common clock.
constexpr const char* kPreludeLua = R"(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
-- A holder's seats are ordered by the microsecond, so that the oldest of
-- seats asked for within one millisecond is still the first.
local nowUs = tonumber(t[1]) * 1000000 + tonumber(t[2])
local function summarize(name)
  local w = redis.call('HMGET', '{corvane}:world:' .. name, 'beat', 'users', 'maxUsers', 'url', 'draining')
  if not w[1] then
    redis.call('HDEL', '{corvane}:summary', name)
    return
  end
  local reserved = redis.call('ZCOUNT', '{corvane}:reserved:' .. name, '(' .. now, '+inf')
  -- The flag goes last, so that a reader that knows only five fields
  -- still reads the rest.
  redis.call('HSET', '{corvane}:summary', name,
             w[1] .. ' ' .. w[2] .. ' ' .. w[3] .. ' ' .. reserved .. ' ' .. w[4] .. ' ' .. (w[5] or '0'))
end
-- Puts a live world with room back into the open index, unless it drains.
local function reopen(name)
  local w = redis.call('HMGET', '{corvane}:world:' .. name, 'users', 'maxUsers', 'draining')
  if not w[1] then return end
  local taken = tonumber(w[1]) + redis.call('ZCOUNT', '{corvane}:reserved:' .. name, '(' .. now, '+inf')
  if w[3] ~= '1' and taken < tonumber(w[2]) then
    redis.call('ZADD', '{corvane}:open', -taken, name)
  end
  summarize(name)
end
-- Makes every outstanding seat of a world invalid, so that a world of the
-- same name started later counts from zero without overselling.
local function dropSeats(name)
  local rkey = '{corvane}:reserved:' .. name
  for _, token in ipairs(redis.call('ZRANGE', rkey, 0, -1)) do
    local skey = '{corvane}:seat:' .. name .. ':' .. token
    local holder = redis.call('GET', skey)
    if holder then redis.call('ZREM', '{corvane}:holder:' .. holder, name .. ' ' .. token) end
    redis.call('DEL', skey)
  end
  redis.call('DEL', rkey)
end
)";

// ARGV: name instance url users maxUsers version started ttl_ms draining.
// Returns {-1, owner} when another instance holds the name, else {expired seats, ''}.
constexpr const char* kRegisterLua = R"(
local wkey = '{corvane}:world:' .. ARGV[1]
local owner = redis.call('HGET', wkey, 'instance')
if owner and owner ~= ARGV[2] then return {-1, owner} end
redis.call('HSET', wkey, 'name', ARGV[1], 'instance', ARGV[2], 'url', ARGV[3], 'users', ARGV[4],
           'maxUsers', ARGV[5], 'version', ARGV[6], 'started', ARGV[7], 'beat', now, 'draining', ARGV[9])
redis.call('PEXPIRE', wkey, ARGV[8])
local rkey = '{corvane}:reserved:' .. ARGV[1]
local expired = redis.call('ZREMRANGEBYSCORE', rkey, '-inf', now)
redis.call('PEXPIRE', rkey, 60000)
local taken = tonumber(ARGV[4]) + redis.call('ZCARD', rkey)
if ARGV[9] ~= '1' and taken < tonumber(ARGV[5]) then
  redis.call('ZADD', '{corvane}:open', -taken, ARGV[1])
else
  redis.call('ZREM', '{corvane}:open', ARGV[1])
end
summarize(ARGV[1])
return {expired, ''}
)";

// ARGV: name instance. The world's outstanding seats go with it.
constexpr const char* kUnregisterLua = R"(
local wkey = '{corvane}:world:' .. ARGV[1]
if redis.call('HGET', wkey, 'instance') ~= ARGV[2] then return 0 end
dropSeats(ARGV[1])
redis.call('DEL', wkey)
redis.call('ZREM', '{corvane}:open', ARGV[1])
redis.call('HDEL', '{corvane}:summary', ARGV[1])
return 1
)";

// ARGV: token ttl_ms holder maxSeats. The world with the most seats taken
// (players online plus seats reserved and unused) that still has one free;
// ties go to the smaller name. Returns {name, url, replaced}, or nil when
// every world is full. A holder that already has maxSeats live seats gives
// up its oldest first (replaced: how many), so that asking again never
// holds more. The head of the open index is checked against the world
// itself; a head that turns out dead or full leaves the index, so each is
// skipped only once.
constexpr const char* kMatchmakeLua = R"(
local open = '{corvane}:open'
local hkey = '{corvane}:holder:' .. ARGV[3]
redis.call('ZREMRANGEBYSCORE', hkey, '-inf', nowUs)
local replaced = 0
while redis.call('ZCARD', hkey) >= tonumber(ARGV[4]) do
  local oldest = redis.call('ZRANGE', hkey, 0, 0)[1]
  redis.call('ZREM', hkey, oldest)
  local name, token = string.match(oldest, '^(%S+) (%S+)$')
  if name then
    redis.call('DEL', '{corvane}:seat:' .. name .. ':' .. token)
    redis.call('ZREM', '{corvane}:reserved:' .. name, token)
    reopen(name)
  end
  replaced = replaced + 1
end
while true do
  local batch = redis.call('ZRANGE', open, 0, 15)
  if #batch == 0 then return nil end
  for _, name in ipairs(batch) do
    local rkey = '{corvane}:reserved:' .. name
    local w = redis.call('HMGET', '{corvane}:world:' .. name, 'users', 'maxUsers', 'url', 'draining')
    if not w[1] then
      dropSeats(name)
      redis.call('HDEL', '{corvane}:summary', name)
    elseif w[4] ~= '1' then
      local taken = tonumber(w[1]) + redis.call('ZCOUNT', rkey, '(' .. now, '+inf')
      local max = tonumber(w[2])
      if taken < max then
        local expiry = now + tonumber(ARGV[2])
        redis.call('SET', '{corvane}:seat:' .. name .. ':' .. ARGV[1], ARGV[3], 'PX', ARGV[2])
        redis.call('ZADD', rkey, expiry, ARGV[1])
        redis.call('ZADD', hkey, nowUs + tonumber(ARGV[2]) * 1000, name .. ' ' .. ARGV[1])
        local last = redis.call('ZRANGE', hkey, -1, -1, 'WITHSCORES')[2]
        redis.call('PEXPIREAT', hkey, math.ceil(tonumber(last) / 1000))
        if taken + 1 < max then
          redis.call('ZADD', open, -(taken + 1), name)
        else
          redis.call('ZREM', open, name)
        end
        summarize(name)
        return {name, w[3], replaced}
      end
    end
    redis.call('ZREM', open, name)
  end
end
)";

// ARGV: name token instance. 1 when the seat was valid; it is gone
// afterwards. -1, leaving the seat alone, when this instance no longer
// holds the world's name: the seat belongs to the host that does.
constexpr const char* kConsumeLua = R"(
local wkey = '{corvane}:world:' .. ARGV[1]
if redis.call('HGET', wkey, 'instance') ~= ARGV[3] then return -1 end
local holder = redis.call('GETDEL', '{corvane}:seat:' .. ARGV[1] .. ':' .. ARGV[2])
if not holder then return 0 end
redis.call('ZREM', '{corvane}:reserved:' .. ARGV[1], ARGV[2])
redis.call('ZREM', '{corvane}:holder:' .. holder, ARGV[1] .. ' ' .. ARGV[2])
redis.call('HINCRBY', wkey, 'users', 1)
summarize(ARGV[1])
return 1
)";

enum EScript : std::size_t { kRegister, kUnregister, kMatchmake, kConsume, kScriptCount };

std::string ScriptText(EScript script)
{
    static constexpr const char* kBodies[kScriptCount] = {kRegisterLua, kUnregisterLua, kMatchmakeLua, kConsumeLua};
    return std::string(kPreludeLua) + kBodies[script];
}

// Matchmaking outcomes, as labelled in the metrics.
enum EOutcome : std::size_t {
    kOutcomeOk,
    kOutcomeFull,
    kOutcomeUnavailable,
    kOutcomeUnauthorized,
    kOutcomeLimited,
    kOutcomeCount
};
constexpr const char* kOutcomeNames[kOutcomeCount] = {"ok", "full", "unavailable", "unauthorized", "limited"};

CFleetReply Error(unsigned status, std::string_view message, unsigned retryAfter = 0)
{
    return {status, "{\"error\":" + JsonQuote(message) + "}", retryAfter};
}

CFleetReply Limited(unsigned retryAfter)
{
    return Error(429, "too many requests from this address; try again later", retryAfter);
}

// Holders of seats are kept in Redis by a hash of their token: the same on
// every host, and no token in the registry.
constexpr CSipKey kHolderKey{0x636f7276616e6521ULL, 0x686f6c6465727321ULL};

std::string TokenHolder(std::string_view token)
{
    static constexpr char kHex[] = "0123456789abcdef";
    uint64_t hash = SipHash24(kHolderKey, token);
    std::string id = "t";
    for (int i = 0; i < 16; ++i, hash >>= 4) {
        id += kHex[hash & 0xF];
    }
    return id;
}

// The address a client is limited by: IPv4 as is, IPv6 by its /64, which
// one subscriber usually holds whole.
std::string ClientKey(const asio::ip::address& address)
{
    if (address.is_v6() && !address.to_v6().is_v4_mapped()) {
        asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
        std::fill(bytes.begin() + 8, bytes.end(), 0);
        return asio::ip::address_v6(bytes).to_string() + "/64";
    }
    return address.is_v6() ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                           : address.to_string();
}

// Requests to the fleet's routes per client address: `rate` a second and
// `burst` at once. At most kMaxTrackedAddresses are remembered; an address
// whose budget has refilled is as good as forgotten, so those go first when
// room is needed.
class CAddressLimiter {
public:
    CAddressLimiter(double rate, double burst) : m_rate(rate), m_burst(burst) {}

    // 0 when the request may go ahead, else the whole seconds until one may.
    unsigned Take(const std::string& address, Clock::time_point now)
    {
        auto it = m_buckets.find(address);
        if (it == m_buckets.end()) {
            if (m_buckets.size() >= kMaxTrackedAddresses && now >= m_nextPrune) {
                std::erase_if(m_buckets, [&](const auto& entry) { return Refilled(entry.second, now) >= m_burst; });
                m_nextPrune = now + 1s;
            }
            if (m_buckets.size() >= kMaxTrackedAddresses) {
                return 1;
            }
            it = m_buckets.emplace(address, CBucket{m_burst, now}).first;
        }
        CBucket& bucket = it->second;
        bucket.tokens = Refilled(bucket, now);
        bucket.last = now;
        if (bucket.tokens >= 1.0) {
            bucket.tokens -= 1.0;
            return 0;
        }
        return std::max(1u, static_cast<unsigned>(std::ceil((1.0 - bucket.tokens) / m_rate)));
    }

private:
    static constexpr std::size_t kMaxTrackedAddresses = 16384;

    struct CBucket {
        double tokens;
        Clock::time_point last;
    };

    double Refilled(const CBucket& bucket, Clock::time_point now) const
    {
        const std::chrono::duration<double> elapsed = now - bucket.last;
        return std::min(m_burst, bucket.tokens + std::max(0.0, elapsed.count()) * m_rate);
    }

    double m_rate;
    double m_burst;
    std::unordered_map<std::string, CBucket> m_buckets;
    Clock::time_point m_nextPrune{};
};

// A whole decimal number and nothing else: an answer Redis would not give
// is an error of the connection, not of the fleet's thread.
bool ParseWhole(const std::string& text, long long& value)
{
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end;
}

// The JSON of GET /worlds from the answers to TIME and HGETALL of the
// summary; the names of entries older than `ttl` go to `stale`.
std::string WorldsJson(const CRedisReply& time, const CRedisReply& all, std::chrono::milliseconds ttl,
                       std::vector<std::string>& stale)
{
    if (time.elements.size() != 2 || all.type != CRedisReply::EType::Array) {
        throw CRedisError("unexpected answer to TIME or HGETALL");
    }
    long long seconds = 0;
    long long micros = 0;
    if (!ParseWhole(time.elements[0].text, seconds) || !ParseWhole(time.elements[1].text, micros)) {
        throw CRedisError("unexpected answer to TIME");
    }
    const long long now = seconds * 1000 + micros / 1000;
    struct CRow {
        std::string name;
        std::string json;
    };
    std::vector<CRow> rows;
    for (std::size_t i = 0; i + 1 < all.elements.size(); i += 2) {
        const std::string& name = all.elements[i].text;
        // "beat users maxUsers reserved url draining"; a host of an older
        // version writes no draining flag.
        std::istringstream fields(all.elements[i + 1].text);
        long long beat = 0;
        long long users = 0;
        long long maxUsers = 0;
        long long reserved = 0;
        std::string url;
        std::string draining;
        if (!(fields >> beat >> users >> maxUsers >> reserved >> url) || beat < now - ttl.count()) {
            stale.push_back(name);
            continue;
        }
        fields >> draining;
        rows.push_back({name, "{\"name\":" + JsonQuote(name) + ",\"url\":" + JsonQuote(url) +
                                  ",\"users\":" + std::to_string(users) + ",\"maxUsers\":" + std::to_string(maxUsers) +
                                  ",\"reserved\":" + std::to_string(reserved) +
                                  ",\"draining\":" + (draining == "1" ? "true" : "false") + "}"});
    }
    std::sort(rows.begin(), rows.end(), [](const CRow& a, const CRow& b) { return a.name < b.name; });
    std::string json = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        json += (i ? "," : "") + rows[i].json;
    }
    return json + "]";
}

// WorldsJson, and the stale entries removed from the registry.
std::string WorldsJsonDroppingStale(CRedisClient& client, const CRedisReply& time, const CRedisReply& all,
                                    std::chrono::milliseconds ttl)
{
    std::vector<std::string> stale;
    std::string json = WorldsJson(time, all, ttl, stale);
    if (!stale.empty()) {
        std::vector<std::string> hdel{"HDEL", "{corvane}:summary"};
        std::vector<std::string> zrem{"ZREM", "{corvane}:open"};
        hdel.insert(hdel.end(), stale.begin(), stale.end());
        zrem.insert(zrem.end(), stale.begin(), stale.end());
        client.Pipeline({hdel, zrem});
    }
    return json;
}

// One script call waiting for the fleet's thread.
struct CScriptJob {
    EScript script;
    std::vector<std::string> args;
    // On the fleet's thread: the script's answer, or null when Redis gave none.
    std::function<void(const CRedisReply*)> done;
};

} // namespace

std::string FleetScript(EFleetScript script) { return ScriptText(static_cast<EScript>(script)); }

std::string ReadWorlds(CRedisClient& client, std::chrono::milliseconds ttl)
{
    const std::vector<CRedisReply> replies = client.Pipeline({{"TIME"}, {"HGETALL", "{corvane}:summary"}});
    return WorldsJsonDroppingStale(client, replies[0], replies[1], ttl);
}

std::string NewSeatToken()
{
    static constexpr char kHex[] = "0123456789abcdef";
    uint8_t bytes[16];
    FillSecureRandom(bytes);
    std::string token;
    token.reserve(2 * sizeof bytes);
    for (const uint8_t byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 0xF];
    }
    return token;
}

bool LooksLikeSeat(std::string_view token)
{
    return token.size() == 32 &&
           std::all_of(token.begin(), token.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

struct CFleet::CImpl {
    CImpl(asio::io_context& context, CFleetSettings fleetSettings, std::function<std::size_t()> users)
        : ioc(context),
          settings(std::move(fleetSettings)),
          usersOnline(std::move(users)),
          instance(NewSeatToken()),
          started(std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count())),
          countTimer(context),
          limiter(settings.rate, settings.burst)
    {
    }

    // ---- the fleet's thread

    void Run()
    {
        auto nextBeat = Clock::now() + kHeartbeat;
        std::unique_lock lock(mutex);
        for (;;) {
            // The heartbeat goes first: a flood of requests must not let the
            // world expire from the registry.
            const bool due = Clock::now() >= nextBeat;
            if (due || std::exchange(beatNow, false)) {
                lock.unlock();
                Beat();
                lock.lock();
                if (due) {
                    nextBeat = std::max(nextBeat + kHeartbeat, Clock::now());
                }
                continue;
            }
            if (!seatJobs.empty() || !matchJobs.empty() || listingWanted) {
                // Seat checks first: each is a player at the door, while a
                // matchmake is a player still looking.
                std::vector<CScriptJob> batch;
                for (std::deque<CScriptJob>* queue : {&seatJobs, &matchJobs}) {
                    while (!queue->empty() && batch.size() < kMaxBatch) {
                        batch.push_back(std::move(queue->front()));
                        queue->pop_front();
                    }
                }
                const bool listing = std::exchange(listingWanted, false);
                lock.unlock();
                RunBatch(batch, listing);
                lock.lock();
                continue;
            }
            if (stopping) {
                break;
            }
            wake.wait_until(lock, nextBeat);
        }
        lock.unlock();
        if (Connected()) {
            try {
                Eval(kUnregister, {settings.world, instance});
                spdlog::info("world {} left the fleet", settings.world);
            } catch (const CRedisError& e) {
                spdlog::warn("could not remove world {} from the registry: {}", settings.world, e.what());
            }
        }
        client.reset();
    }

    // Sends the batch's scripts, and the reads of /worlds when asked for, in
    // one pipeline: one round trip for all of them.
    void RunBatch(std::vector<CScriptJob>& batch, bool listing)
    {
        std::vector<std::optional<CRedisReply>> replies(batch.size());
        std::optional<std::string> worlds;
        if (Connected()) {
            std::vector<std::vector<std::string>> commands;
            for (const CScriptJob& job : batch) {
                std::vector<std::string> command{"EVALSHA", shas[job.script], "0"};
                command.insert(command.end(), job.args.begin(), job.args.end());
                commands.push_back(std::move(command));
            }
            if (listing) {
                commands.push_back({"TIME"});
                commands.push_back({"HGETALL", "{corvane}:summary"});
            }
            try {
                std::vector<CRedisReply> answers = client->Pipeline(commands);
                for (std::size_t i = 0; i < batch.size(); ++i) {
                    if (answers[i].IsError() && answers[i].text.starts_with("NOSCRIPT")) {
                        answers[i] = Eval(batch[i].script, batch[i].args);
                    }
                    if (answers[i].IsError()) {
                        spdlog::warn("a fleet script failed: {}", answers[i].text);
                    } else {
                        replies[i] = std::move(answers[i]);
                    }
                }
                if (listing) {
                    worlds = WorldsJsonDroppingStale(*client, answers[batch.size()], answers[batch.size() + 1],
                                                     kWorldTtl);
                }
            } catch (const CRedisError& e) {
                if (client) {
                    Lose(e);
                }
            }
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            batch[i].done(replies[i] ? &*replies[i] : nullptr);
        }
        if (listing) {
            Post([this, worlds = std::move(worlds)] { AnswerWorlds(worlds); });
        }
    }

    // A connection, reconnecting when the backoff allows; false when there
    // is none.
    bool Connected()
    {
        if (client) {
            return true;
        }
        const auto now = Clock::now();
        if (now < retryAt) {
            return false;
        }
        try {
            Connect();
            spdlog::info("Redis at {} is reachable again", settings.redis.Describe());
            backoff = kFirstRetry;
            return true;
        } catch (const CRedisError& e) {
            retryAt = now + backoff;
            backoff = std::min<std::chrono::milliseconds>(backoff * 2, kMaxRetry);
            spdlog::debug("Redis at {} unreachable: {}", settings.redis.Describe(), e.what());
            return false;
        }
    }

    void Connect()
    {
        auto fresh = std::make_unique<CRedisClient>(settings.redis, kConnectTimeout, kCommandTimeout);
        std::vector<std::vector<std::string>> loads;
        for (std::size_t i = 0; i < kScriptCount; ++i) {
            loads.push_back({"SCRIPT", "LOAD", ScriptText(static_cast<EScript>(i))});
        }
        const std::vector<CRedisReply> replies = fresh->Pipeline(loads);
        for (std::size_t i = 0; i < kScriptCount; ++i) {
            if (replies[i].type != CRedisReply::EType::String) {
                throw CRedisError("SCRIPT LOAD: " + replies[i].text);
            }
            shas[i] = replies[i].text;
        }
        client = std::move(fresh);
        redisUp = true;
    }

    // Drops a broken connection; the next call reconnects.
    void Lose(const CRedisError& e)
    {
        if (client) {
            spdlog::warn("lost Redis at {}: {}; players online keep playing, matchmaking is off until it is back",
                         settings.redis.Describe(), e.what());
        }
        client.reset();
        redisUp = false;
        retryAt = Clock::now() + kFirstRetry;
        backoff = kFirstRetry * 2;
    }

    // Runs one script by its digest, loading it again if Redis has lost it.
    // Throws CRedisError when the connection breaks (and drops it) or the
    // script fails.
    CRedisReply Eval(EScript script, const std::vector<std::string>& args)
    {
        std::vector<std::string> command{"EVALSHA", shas[script], "0"};
        command.insert(command.end(), args.begin(), args.end());
        try {
            CRedisReply reply = client->Command(command);
            if (reply.IsError() && reply.text.starts_with("NOSCRIPT")) {
                command[0] = "EVAL";
                command[1] = ScriptText(script);
                reply = client->Command(command);
            }
            if (reply.IsError()) {
                throw CRedisError("script failed: " + reply.text);
            }
            return reply;
        } catch (const CRedisError& e) {
            Lose(e);
            throw;
        }
    }

    // Writes the world with a fresh time-to-live. False when another host
    // holds the name.
    bool Register()
    {
        uint64_t users = 0;
        {
            std::lock_guard count(countMutex);
            users = online + seated;
        }
        const CRedisReply reply =
            Eval(kRegister, {settings.world, instance, settings.publicUrl, std::to_string(users),
                             std::to_string(settings.maxUsers), CORVANE_VERSION, started,
                             std::to_string(kWorldTtl.count()), draining ? "1" : "0"});
        if (reply.elements.size() != 2) {
            throw CRedisError("unexpected answer to the registration");
        }
        nameHeld = reply.elements[0].integer >= 0;
        if (!nameHeld) {
            takenBy = reply.elements[1].text;
            return false;
        }
        seatsExpired += static_cast<uint64_t>(reply.elements[0].integer);
        return true;
    }

    void Beat()
    {
        if (!Connected()) {
            return;
        }
        try {
            const bool wasHeld = nameHeld;
            const bool registered = Register();
            if (!registered && wasHeld) {
                spdlog::error("another host (instance {}) now serves world {}; this one is not registered and "
                              "refuses seat logins until it holds the name again",
                              takenBy, settings.world);
            } else if (registered && !wasHeld) {
                spdlog::info("world {} holds its name again", settings.world);
            }
        } catch (const CRedisError&) {
            // Lose() has logged it; the next beat reconnects.
        }
    }

    // False when the queue is full or the fleet stops.
    bool Enqueue(std::deque<CScriptJob>& queue, std::size_t limit, CScriptJob job)
    {
        std::lock_guard lock(mutex);
        if (stopping || queue.size() >= limit) {
            return false;
        }
        queue.push_back(std::move(job));
        wake.notify_one();
        return true;
    }

    template <class F>
    void Post(F&& f)
    {
        asio::post(ioc, std::forward<F>(f));
    }

    // ---- the event loop's side

    void RefreshCount()
    {
        std::lock_guard count(countMutex);
        online = usersOnline();
    }

    void ScheduleRefresh()
    {
        countTimer.expires_after(kCountRefresh);
        countTimer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) {
                RefreshCount();
                ScheduleRefresh();
            }
        });
    }

    // Every /worlds waiting for the read answers with it; a good read is
    // kept for the next kWorldsCache.
    void AnswerWorlds(const std::optional<std::string>& json)
    {
        if (json) {
            worldsJson = *json;
            worldsAt = Clock::now();
        }
        const CFleetReply reply = json ? CFleetReply{200, *json} : Error(503, "the fleet's registry is unreachable");
        for (const auto& waiter : std::exchange(worldsWaiters, {})) {
            waiter(reply);
        }
    }

    void CountOutcome(EOutcome outcome) { outcomes[outcome].fetch_add(1, std::memory_order_relaxed); }

    asio::io_context& ioc;
    const CFleetSettings settings;
    const std::function<std::size_t()> usersOnline;
    const std::string instance;
    const std::string started;
    asio::steady_timer countTimer;

    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<CScriptJob> seatJobs;
    std::deque<CScriptJob> matchJobs;
    bool listingWanted = false;
    bool stopping = false;
    bool beatNow = false; // the drain began: tell the registry before the next beat

    std::atomic<bool> draining{false};

    // The fleet's thread only.
    std::unique_ptr<CRedisClient> client;
    std::string shas[kScriptCount];
    Clock::time_point retryAt{};
    std::chrono::milliseconds backoff = kFirstRetry;
    std::string takenBy;

    // The event loop only.
    CAddressLimiter limiter;
    std::optional<std::string> worldsJson;
    Clock::time_point worldsAt{};
    std::vector<std::function<void(CFleetReply)>> worldsWaiters;

    // Users as published: those online, as the loop last counted them, and
    // those whose seat was consumed but whose login the loop has not yet
    // finished. Counting both keeps a consumed seat from being offered again
    // before the next count.
    std::mutex countMutex;
    uint64_t online = 0;
    uint64_t seated = 0;

    std::atomic<bool> redisUp{false};
    std::atomic<bool> nameHeld{true};
    std::atomic<uint64_t> outcomes[kOutcomeCount]{};
    std::atomic<uint64_t> worldsLimited{0};
    std::atomic<uint64_t> seatsIssued{0};
    std::atomic<uint64_t> seatsReplaced{0};
    std::atomic<uint64_t> seatsConsumed{0};
    std::atomic<uint64_t> seatsRefused{0};
    std::atomic<uint64_t> seatsExpired{0};
};

CFleet::CFleet(asio::io_context& ioc, CFleetSettings settings, std::function<std::size_t()> usersOnline)
    : m_impl(std::make_unique<CImpl>(ioc, std::move(settings), std::move(usersOnline)))
{
}

CFleet::~CFleet()
{
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->stopping = true;
        m_impl->wake.notify_one();
    }
    Join();
}

void CFleet::Start()
{
    CImpl& impl = *m_impl;
    const std::string where = impl.settings.redis.Describe();
    // libhiredis writes with write(): a Redis that has gone away must cost
    // an error, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        impl.Connect();
        if (!impl.Register()) {
            throw CStartupError("world '" + impl.settings.world + "' is already served by another live host; "
                                "choose another --world");
        }
    } catch (const CRedisError& e) {
        throw CStartupError("cannot reach Redis at " + where + ": " + e.what());
    }
    spdlog::info("world {} joined the fleet at {} (players reach it at {})", impl.settings.world, where,
                 impl.settings.publicUrl);
    impl.RefreshCount();
    impl.ScheduleRefresh();
    impl.thread = std::thread([&impl] { impl.Run(); });
}

void CFleet::Stop()
{
    m_impl->countTimer.cancel();
    std::lock_guard lock(m_impl->mutex);
    m_impl->stopping = true;
    m_impl->wake.notify_one();
}

void CFleet::Join()
{
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
}

bool CFleet::HoldsName() const { return m_impl->nameHeld; }

void CFleet::Drain()
{
    CImpl& impl = *m_impl;
    impl.draining = true;
    // The cached list would still show the world open.
    impl.worldsJson.reset();
    std::lock_guard lock(impl.mutex);
    impl.beatNow = true;
    impl.wake.notify_one();
}

void CFleet::Matchmake(std::string_view authorization, const asio::ip::address& client,
                       std::function<void(CFleetReply)> done)
{
    CImpl& impl = *m_impl;
    const std::string address = ClientKey(client);
    if (const unsigned wait = impl.limiter.Take(address, Clock::now()); wait != 0) {
        impl.CountOutcome(kOutcomeLimited);
        done(Limited(wait));
        return;
    }
    std::string holder = "a" + address;
    uint32_t maxSeats = impl.settings.seatsPerAddress;
    if (impl.settings.tokens != nullptr) {
        constexpr std::string_view kBearer = "Bearer ";
        const std::string_view token =
            authorization.starts_with(kBearer) ? authorization.substr(kBearer.size()) : std::string_view();
        if (token.empty() || !impl.settings.tokens->Accepts(token)) {
            impl.CountOutcome(kOutcomeUnauthorized);
            done(Error(401, "matchmaking needs Authorization: Bearer with a known token"));
            return;
        }
        holder = TokenHolder(token);
        maxSeats = impl.settings.seatsPerToken;
    }
    auto shared = std::make_shared<std::function<void(CFleetReply)>>(std::move(done));
    const std::string seat = NewSeatToken();
    CScriptJob job{kMatchmake,
                   {seat, std::to_string(impl.settings.seatTtl.count()), holder, std::to_string(maxSeats)},
                   [&impl, shared, seat](const CRedisReply* answer) {
                       CFleetReply reply = Error(503, "the fleet's registry is unreachable; try again shortly", 1);
                       EOutcome outcome = kOutcomeUnavailable;
                       if (answer != nullptr && answer->type == CRedisReply::EType::Array &&
                           answer->elements.size() == 3) {
                           outcome = kOutcomeOk;
                           impl.seatsIssued.fetch_add(1, std::memory_order_relaxed);
                           impl.seatsReplaced.fetch_add(static_cast<uint64_t>(answer->elements[2].integer),
                                                        std::memory_order_relaxed);
                           reply = {200, "{\"world\":" + JsonQuote(answer->elements[0].text) +
                                             ",\"url\":" + JsonQuote(answer->elements[1].text) +
                                             ",\"seat\":" + JsonQuote(seat) + "}"};
                       } else if (answer != nullptr) {
                           outcome = kOutcomeFull;
                           reply = Error(503, "every world is full; try again shortly", 1);
                       }
                       impl.CountOutcome(outcome);
                       // A seat just taken would not show in a cached list:
                       // the next /worlds reads the registry again.
                       impl.Post([&impl, shared, issued = outcome == kOutcomeOk, reply = std::move(reply)]() mutable {
                           if (issued) {
                               impl.worldsJson.reset();
                           }
                           (*shared)(std::move(reply));
                       });
                   }};
    if (!impl.Enqueue(impl.matchJobs, kMaxQueuedMatchmakes, std::move(job))) {
        impl.CountOutcome(kOutcomeUnavailable);
        impl.Post([shared] { (*shared)(Error(503, "too many requests waiting for the registry", 1)); });
    }
}

void CFleet::ListWorlds(const asio::ip::address& client, std::function<void(CFleetReply)> done)
{
    CImpl& impl = *m_impl;
    const auto now = Clock::now();
    if (const unsigned wait = impl.limiter.Take(ClientKey(client), now); wait != 0) {
        impl.worldsLimited.fetch_add(1, std::memory_order_relaxed);
        done(Limited(wait));
        return;
    }
    if (impl.worldsJson && now < impl.worldsAt + kWorldsCache) {
        done({200, *impl.worldsJson});
        return;
    }
    if (impl.worldsWaiters.size() >= kMaxWorldsWaiters) {
        done(Error(503, "too many requests waiting for the registry", 1));
        return;
    }
    impl.worldsWaiters.push_back(std::move(done));
    if (impl.worldsWaiters.size() > 1) {
        return; // the read asked for by the first waiter answers them all
    }
    std::lock_guard lock(impl.mutex);
    if (impl.stopping) {
        impl.Post([&impl] { impl.AnswerWorlds(std::nullopt); });
        return;
    }
    impl.listingWanted = true;
    impl.wake.notify_one();
}

void CFleet::ConsumeSeat(std::string_view seat, std::function<void(bool)> done)
{
    CImpl& impl = *m_impl;
    auto shared = std::make_shared<std::function<void(bool)>>(std::move(done));
    const auto finish = [&impl, shared](bool ok) {
        impl.Post([&impl, shared, ok] {
            if (ok) {
                impl.seatsConsumed.fetch_add(1, std::memory_order_relaxed);
            } else {
                impl.seatsRefused.fetch_add(1, std::memory_order_relaxed);
            }
            (*shared)(ok);
            if (ok) {
                // The login has been counted by now (or the connection is
                // gone): the seat no longer needs counting on its own.
                std::lock_guard count(impl.countMutex);
                impl.online = impl.usersOnline();
                --impl.seated;
            }
        });
    };
    if (!LooksLikeSeat(seat)) {
        finish(false);
        return;
    }
    CScriptJob job{kConsume, {impl.settings.world, std::string(seat), impl.instance},
                   [&impl, finish](const CRedisReply* answer) {
                       const bool ok = answer != nullptr && answer->integer == 1;
                       if (ok) {
                           std::lock_guard count(impl.countMutex);
                           ++impl.seated;
                       }
                       finish(ok);
                   }};
    if (!impl.Enqueue(impl.seatJobs, kMaxQueuedSeats, std::move(job))) {
        finish(false);
    }
}

std::string CFleet::RenderMetrics() const
{
    const CImpl& impl = *m_impl;
    std::string out;
    const auto counter = [&out](const char* name, const char* help, const std::atomic<uint64_t>& value) {
        AppendMetricHeader(out, name, "counter", help);
        AppendMetricLine(out, name, "", value.load(std::memory_order_relaxed));
    };
    AppendMetricHeader(out, "corvane_fleet_redis_up", "gauge", "1 while the fleet's Redis answers, else 0.");
    AppendMetricLine(out, "corvane_fleet_redis_up", "", impl.redisUp ? 1 : 0);
    AppendMetricHeader(out, "corvane_fleet_name_held", "gauge",
                       "1 while this host holds its world's name in the registry, else 0 (seat logins are refused).");
    AppendMetricLine(out, "corvane_fleet_name_held", "", impl.nameHeld ? 1 : 0);
    AppendMetricHeader(out, "corvane_fleet_matchmaking_total", "counter",
                       "Matchmaking requests answered here, by outcome.");
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
        AppendMetricLine(out, "corvane_fleet_matchmaking_total", std::string("{outcome=\"") + kOutcomeNames[i] + "\"}",
                         impl.outcomes[i].load(std::memory_order_relaxed));
    }
    counter("corvane_fleet_worlds_limited_total", "GET /worlds answered 429 for its client's rate.",
            impl.worldsLimited);
    counter("corvane_fleet_seats_issued_total", "Seats reserved by matchmaking on this host, for any world.",
            impl.seatsIssued);
    counter("corvane_fleet_seats_replaced_total",
            "Seats given up because their holder asked for another beyond its limit of live seats.",
            impl.seatsReplaced);
    counter("corvane_fleet_seats_consumed_total", "Seats of this world used to log in.", impl.seatsConsumed);
    counter("corvane_fleet_seats_refused_total",
            "Logins refused here for a seat that was unknown, used, expired, of another world, or while the name "
            "was lost.",
            impl.seatsRefused);
    counter("corvane_fleet_seats_expired_total", "Seats of this world that expired unused.", impl.seatsExpired);
    return out;
}
