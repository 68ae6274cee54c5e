#include "fleet/Fleet.h"

#include "ops/JsonText.h"

#include "fleet/RedisClient.h"
#include "game/TokenList.h"
#include "ops/StartupError.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
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
// Requests waiting for the Redis thread beyond this are refused at once.
constexpr std::size_t kMaxQueued = 4096;

// Every key shares the {corvane} hash tag, so that a cluster keeps the
// whole registry in one slot and the scripts may touch any of it.
//   {corvane}:world:NAME           hash: name instance url users maxUsers version started beat; expires
//   {corvane}:reserved:NAME        sorted set: seat token -> expiry (ms since the epoch)
//   {corvane}:seat:NAME:TOKEN      "1", expiring with the seat
//   {corvane}:open                 sorted set: worlds with a free seat -> minus seats taken
//   {corvane}:summary              hash: name -> "beat users maxUsers reserved url", for /worlds
// The open index lets matchmaking take the fullest world with room without
// looking at every world: it is ordered fullest first (ties by name), and
// every heartbeat and reservation rewrites its world's entry. A world that
// fills up or dies drops out of it; its next heartbeat puts it back. The
// summary lets /worlds read every world in one command (HGETALL, no
// script); entries whose beat is older than the time-to-live are dropped
// as they are read.
// Time comes from Redis (TIME), so hosts need no common clock.
constexpr const char* kPreludeLua = R"(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local function summarize(name)
  local w = redis.call('HMGET', '{corvane}:world:' .. name, 'beat', 'users', 'maxUsers', 'url')
  if not w[1] then
    redis.call('HDEL', '{corvane}:summary', name)
    return
  end
  local reserved = redis.call('ZCOUNT', '{corvane}:reserved:' .. name, '(' .. now, '+inf')
  redis.call('HSET', '{corvane}:summary', name, w[1] .. ' ' .. w[2] .. ' ' .. w[3] .. ' ' .. reserved .. ' ' .. w[4])
end
)";

// ARGV: name instance url users maxUsers version started ttl_ms.
// Returns {-1, owner} when another instance holds the name, else {expired seats, ''}.
constexpr const char* kRegisterLua = R"(
local wkey = '{corvane}:world:' .. ARGV[1]
local owner = redis.call('HGET', wkey, 'instance')
if owner and owner ~= ARGV[2] then return {-1, owner} end
redis.call('HSET', wkey, 'name', ARGV[1], 'instance', ARGV[2], 'url', ARGV[3], 'users', ARGV[4],
           'maxUsers', ARGV[5], 'version', ARGV[6], 'started', ARGV[7], 'beat', now)
redis.call('PEXPIRE', wkey, ARGV[8])
local rkey = '{corvane}:reserved:' .. ARGV[1]
local expired = redis.call('ZREMRANGEBYSCORE', rkey, '-inf', now)
redis.call('PEXPIRE', rkey, 60000)
local taken = tonumber(ARGV[4]) + redis.call('ZCARD', rkey)
if taken < tonumber(ARGV[5]) then
  redis.call('ZADD', '{corvane}:open', -taken, ARGV[1])
else
  redis.call('ZREM', '{corvane}:open', ARGV[1])
end
summarize(ARGV[1])
return {expired, ''}
)";

// ARGV: name instance.
constexpr const char* kUnregisterLua = R"(
local wkey = '{corvane}:world:' .. ARGV[1]
if redis.call('HGET', wkey, 'instance') ~= ARGV[2] then return 0 end
redis.call('DEL', wkey, '{corvane}:reserved:' .. ARGV[1])
redis.call('ZREM', '{corvane}:open', ARGV[1])
redis.call('HDEL', '{corvane}:summary', ARGV[1])
return 1
)";

// ARGV: token ttl_ms. The world with the most seats taken (players online
// plus seats reserved and unused) that still has one free; ties go to the
// smaller name. Returns {name, url}, or nil when every world is full. The
// head of the open index is checked against the world itself; a head that
// turns out dead or full leaves the index, so each is skipped only once.
constexpr const char* kMatchmakeLua = R"(
local open = '{corvane}:open'
while true do
  local batch = redis.call('ZRANGE', open, 0, 15)
  if #batch == 0 then return nil end
  for _, name in ipairs(batch) do
    local rkey = '{corvane}:reserved:' .. name
    local w = redis.call('HMGET', '{corvane}:world:' .. name, 'users', 'maxUsers', 'url')
    if not w[1] then
      redis.call('DEL', rkey)
      redis.call('HDEL', '{corvane}:summary', name)
    else
      local taken = tonumber(w[1]) + redis.call('ZCOUNT', rkey, '(' .. now, '+inf')
      local max = tonumber(w[2])
      if taken < max then
        redis.call('SET', '{corvane}:seat:' .. name .. ':' .. ARGV[1], '1', 'PX', ARGV[2])
        redis.call('ZADD', rkey, now + tonumber(ARGV[2]), ARGV[1])
        if taken + 1 < max then
          redis.call('ZADD', open, -(taken + 1), name)
        else
          redis.call('ZREM', open, name)
        end
        summarize(name)
        return {name, w[3]}
      end
    end
    redis.call('ZREM', open, name)
  end
end
)";

// ARGV: name token. 1 when the seat was valid; it is gone afterwards.
constexpr const char* kConsumeLua = R"(
if not redis.call('GETDEL', '{corvane}:seat:' .. ARGV[1] .. ':' .. ARGV[2]) then return 0 end
redis.call('ZREM', '{corvane}:reserved:' .. ARGV[1], ARGV[2])
local wkey = '{corvane}:world:' .. ARGV[1]
if redis.call('EXISTS', wkey) == 1 then
  redis.call('HINCRBY', wkey, 'users', 1)
  summarize(ARGV[1])
end
return 1
)";

enum EScript : std::size_t { kRegister, kUnregister, kMatchmake, kConsume, kScriptCount };

std::string ScriptText(EScript script)
{
    static constexpr const char* kBodies[kScriptCount] = {kRegisterLua, kUnregisterLua, kMatchmakeLua, kConsumeLua};
    return std::string(kPreludeLua) + kBodies[script];
}

// Matchmaking outcomes, as labelled in the metrics.
enum EOutcome : std::size_t { kOutcomeOk, kOutcomeFull, kOutcomeUnavailable, kOutcomeUnauthorized, kOutcomeCount };
constexpr const char* kOutcomeNames[kOutcomeCount] = {"ok", "full", "unavailable", "unauthorized"};

CFleetReply Error(unsigned status, std::string_view message)
{
    return {status, "{\"error\":" + JsonQuote(message) + "}"};
}

} // namespace

std::string FleetScript(EFleetScript script) { return ScriptText(static_cast<EScript>(script)); }

std::string ReadWorlds(CRedisClient& client, std::chrono::milliseconds ttl)
{
    const CRedisReply time = client.Command({"TIME"});
    const CRedisReply all = client.Command({"HGETALL", "{corvane}:summary"});
    if (time.elements.size() != 2 || all.type != CRedisReply::EType::Array) {
        throw CRedisError("unexpected answer to TIME or HGETALL");
    }
    const long long now = std::stoll(time.elements[0].text) * 1000 + std::stoll(time.elements[1].text) / 1000;
    struct CRow {
        std::string name;
        std::string json;
    };
    std::vector<CRow> rows;
    std::vector<std::string> stale;
    for (std::size_t i = 0; i + 1 < all.elements.size(); i += 2) {
        const std::string& name = all.elements[i].text;
        std::istringstream fields(all.elements[i + 1].text); // "beat users maxUsers reserved url"
        long long beat = 0;
        long long users = 0;
        long long maxUsers = 0;
        long long reserved = 0;
        std::string url;
        if (!(fields >> beat >> users >> maxUsers >> reserved >> url) || beat < now - ttl.count()) {
            stale.push_back(name);
            continue;
        }
        rows.push_back({name, "{\"name\":" + JsonQuote(name) + ",\"url\":" + JsonQuote(url) +
                                  ",\"users\":" + std::to_string(users) + ",\"maxUsers\":" + std::to_string(maxUsers) +
                                  ",\"reserved\":" + std::to_string(reserved) + "}"});
    }
    if (!stale.empty()) {
        std::vector<std::string> hdel{"HDEL", "{corvane}:summary"};
        std::vector<std::string> zrem{"ZREM", "{corvane}:open"};
        hdel.insert(hdel.end(), stale.begin(), stale.end());
        zrem.insert(zrem.end(), stale.begin(), stale.end());
        client.Command(hdel);
        client.Command(zrem);
    }
    std::sort(rows.begin(), rows.end(), [](const CRow& a, const CRow& b) { return a.name < b.name; });
    std::string json = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        json += (i ? "," : "") + rows[i].json;
    }
    return json + "]";
}

std::string NewSeatToken()
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device random;
    std::string token;
    token.reserve(32);
    for (int word = 0; word < 4; ++word) {
        uint32_t bits = random();
        for (int i = 0; i < 8; ++i, bits >>= 4) {
            token += kHex[bits & 0xF];
        }
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
          countTimer(context)
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
            if (Clock::now() >= nextBeat) {
                lock.unlock();
                Beat();
                lock.lock();
                nextBeat = std::max(nextBeat + kHeartbeat, Clock::now());
                continue;
            }
            if (!jobs.empty()) {
                auto job = std::move(jobs.front());
                jobs.pop_front();
                lock.unlock();
                job();
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
        for (std::size_t i = 0; i < kScriptCount; ++i) {
            const CRedisReply reply = fresh->Command({"SCRIPT", "LOAD", ScriptText(static_cast<EScript>(i))});
            if (reply.type != CRedisReply::EType::String) {
                throw CRedisError("SCRIPT LOAD: " + reply.text);
            }
            shas[i] = reply.text;
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
                             std::to_string(kWorldTtl.count())});
        if (reply.elements.size() != 2) {
            throw CRedisError("unexpected answer to the registration");
        }
        if (reply.elements[0].integer < 0) {
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
            const bool registered = Register();
            if (!registered && !nameTaken) {
                spdlog::error("another host (instance {}) now serves world {}; this one is not registered", takenBy,
                              settings.world);
            }
            nameTaken = !registered;
        } catch (const CRedisError&) {
            // Lose() has logged it; the next beat reconnects.
        }
    }

    void Enqueue(std::function<void()> job, const std::function<void()>& refuse)
    {
        {
            std::lock_guard lock(mutex);
            if (!stopping && jobs.size() < kMaxQueued) {
                jobs.push_back(std::move(job));
                wake.notify_one();
                return;
            }
        }
        refuse();
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
    std::deque<std::function<void()>> jobs;
    bool stopping = false;

    // The fleet's thread only.
    std::unique_ptr<CRedisClient> client;
    std::string shas[kScriptCount];
    Clock::time_point retryAt{};
    std::chrono::milliseconds backoff = kFirstRetry;
    bool nameTaken = false;
    std::string takenBy;

    // Users as published: those online, as the loop last counted them, and
    // those whose seat was consumed but whose login the loop has not yet
    // finished. Counting both keeps a consumed seat from being offered again
    // before the next count.
    std::mutex countMutex;
    uint64_t online = 0;
    uint64_t seated = 0;

    std::atomic<bool> redisUp{false};
    std::atomic<uint64_t> outcomes[kOutcomeCount]{};
    std::atomic<uint64_t> seatsIssued{0};
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

void CFleet::Matchmake(std::string_view authorization, std::function<void(CFleetReply)> done)
{
    CImpl& impl = *m_impl;
    if (impl.settings.tokens != nullptr) {
        constexpr std::string_view kBearer = "Bearer ";
        const bool known = authorization.starts_with(kBearer) &&
                           impl.settings.tokens->Accepts(authorization.substr(kBearer.size()));
        if (!known) {
            impl.CountOutcome(kOutcomeUnauthorized);
            done(Error(401, "matchmaking needs Authorization: Bearer with a known token"));
            return;
        }
    }
    auto shared = std::make_shared<std::function<void(CFleetReply)>>(std::move(done));
    impl.Enqueue(
        [&impl, shared] {
            CFleetReply reply;
            EOutcome outcome = kOutcomeUnavailable;
            if (!impl.Connected()) {
                reply = Error(503, "the fleet's registry is unreachable; try again shortly");
            } else {
                const std::string seat = NewSeatToken();
                try {
                    const CRedisReply answer = impl.Eval(
                        kMatchmake, {seat, std::to_string(impl.settings.seatTtl.count())});
                    if (answer.type == CRedisReply::EType::Array && answer.elements.size() == 2) {
                        outcome = kOutcomeOk;
                        impl.seatsIssued.fetch_add(1, std::memory_order_relaxed);
                        reply = {200, "{\"world\":" + JsonQuote(answer.elements[0].text) +
                                          ",\"url\":" + JsonQuote(answer.elements[1].text) +
                                          ",\"seat\":" + JsonQuote(seat) + "}"};
                    } else {
                        outcome = kOutcomeFull;
                        reply = Error(503, "every world is full; try again shortly");
                    }
                } catch (const CRedisError&) {
                    reply = Error(503, "the fleet's registry is unreachable; try again shortly");
                }
            }
            impl.CountOutcome(outcome);
            impl.Post([shared, reply = std::move(reply)]() mutable { (*shared)(std::move(reply)); });
        },
        [&impl, shared] {
            impl.CountOutcome(kOutcomeUnavailable);
            impl.Post([shared] { (*shared)(Error(503, "too many requests waiting for the registry")); });
        });
}

void CFleet::ListWorlds(std::function<void(CFleetReply)> done)
{
    CImpl& impl = *m_impl;
    auto shared = std::make_shared<std::function<void(CFleetReply)>>(std::move(done));
    const auto unavailable = Error(503, "the fleet's registry is unreachable");
    impl.Enqueue(
        [&impl, shared, unavailable] {
            CFleetReply reply = unavailable;
            if (impl.Connected()) {
                try {
                    reply = {200, ReadWorlds(*impl.client, kWorldTtl)};
                } catch (const CRedisError& e) {
                    impl.Lose(e);
                }
            }
            impl.Post([shared, reply = std::move(reply)]() mutable { (*shared)(std::move(reply)); });
        },
        [&impl, shared, unavailable] { impl.Post([shared, unavailable] { (*shared)(unavailable); }); });
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
    impl.Enqueue(
        [&impl, finish, token = std::string(seat)] {
            bool ok = false;
            if (impl.Connected()) {
                try {
                    ok = impl.Eval(kConsume, {impl.settings.world, token}).integer == 1;
                } catch (const CRedisError&) {
                }
            }
            if (ok) {
                std::lock_guard count(impl.countMutex);
                ++impl.seated;
            }
            finish(ok);
        },
        [finish] { finish(false); });
}

std::string CFleet::RenderMetrics() const
{
    const CImpl& impl = *m_impl;
    std::string out;
    const auto series = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    const auto line = [&out](const std::string& name, uint64_t value) {
        out += name + " " + std::to_string(value) + "\n";
    };
    series("corvane_fleet_redis_up", "gauge", "1 while the fleet's Redis answers, else 0.");
    line("corvane_fleet_redis_up", impl.redisUp ? 1 : 0);
    series("corvane_fleet_matchmaking_total", "counter", "Matchmaking requests answered here, by outcome.");
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
        line(std::string("corvane_fleet_matchmaking_total{outcome=\"") + kOutcomeNames[i] + "\"}",
             impl.outcomes[i].load(std::memory_order_relaxed));
    }
    series("corvane_fleet_seats_issued_total", "counter", "Seats reserved by matchmaking on this host, for any world.");
    line("corvane_fleet_seats_issued_total", impl.seatsIssued.load(std::memory_order_relaxed));
    series("corvane_fleet_seats_consumed_total", "counter", "Seats of this world used to log in.");
    line("corvane_fleet_seats_consumed_total", impl.seatsConsumed.load(std::memory_order_relaxed));
    series("corvane_fleet_seats_refused_total", "counter",
           "Logins refused here for a seat that was unknown, used, expired or of another world.");
    line("corvane_fleet_seats_refused_total", impl.seatsRefused.load(std::memory_order_relaxed));
    series("corvane_fleet_seats_expired_total", "counter", "Seats of this world that expired unused.");
    line("corvane_fleet_seats_expired_total", impl.seatsExpired.load(std::memory_order_relaxed));
    return out;
}
