// A fleet of real corvane-host processes sharing a real redis-server that
// each test starts on a free loopback port.
#include "GameClient.h"
#include "HostFixture.h"
#include "HostProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <deque>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numeric>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace CorvaneClient;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kRedisServer = "/usr/bin/redis-server";

bool CanConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Polls `condition` every 20 ms until it holds or the time is up.
template <class F>
bool Eventually(F condition, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

struct CSeat {
    int status = 0;
    std::string world;
    std::string url;
    std::string seat;
};

std::string JsonField(const std::string& json, const std::string& key)
{
    std::smatch m;
    if (std::regex_search(json, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) {
        return m[1];
    }
    return {};
}

class CFleetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access(kRedisServer, X_OK) != 0) {
            GTEST_SKIP() << kRedisServer << " is not installed (scripts/deps build)";
        }
        StartRedis();
    }

    void TearDown() override
    {
        if (HasFailure()) {
            for (const auto& [name, host] : m_hosts) {
                std::cerr << "---- " << name << " stderr:\n" << host->Stderr();
            }
        }
    }

    void StartRedis()
    {
        if (m_redisPort == 0) {
            m_redisPort = FreeLoopbackPort();
        }
        m_redis = std::make_unique<CHostProcess>(kRedisServer);
        m_redis->Spawn({"--port", std::to_string(m_redisPort), "--bind", "127.0.0.1", "--save", "", "--appendonly",
                        "no", "--protected-mode", "no"});
        ASSERT_TRUE(Eventually([&] { return CanConnect(m_redisPort); }, 10s)) << m_redis->Stdout();
    }

    void StopRedis()
    {
        m_redis->Signal(SIGTERM);
        ASSERT_TRUE(m_redis->WaitExit(10s).has_value());
    }

    std::string RedisUrl() const { return "redis://127.0.0.1:" + std::to_string(m_redisPort); }

    CHostProcess& StartWorld(const std::string& name, const std::vector<std::string>& extra = {})
    {
        auto host = std::make_unique<CHostProcess>();
        std::vector<std::string> args{"--redis", RedisUrl(), "--world", name};
        args.insert(args.end(), extra.begin(), extra.end());
        host->Start(args);
        return *(m_hosts[name] = std::move(host));
    }

    CSeat Matchmake(const std::string& via, const std::string& authorization = {})
    {
        const CHttpReply reply = HttpPost("127.0.0.1", m_hosts.at(via)->Port(), "/matchmake", authorization);
        return {reply.status, JsonField(reply.body, "world"), JsonField(reply.body, "url"), JsonField(reply.body, "seat")};
    }

    // Names of the live worlds, as `via` sees them; nothing when it answers
    // other than 200.
    std::optional<std::set<std::string>> Worlds(const std::string& via)
    {
        const CHttpReply reply = HttpGet("127.0.0.1", m_hosts.at(via)->Port(), "/worlds");
        if (reply.status != 200) {
            return std::nullopt;
        }
        std::set<std::string> names;
        const std::regex name("\"name\":\"([^\"]*)\"");
        for (auto it = std::sregex_iterator(reply.body.begin(), reply.body.end(), name); it != std::sregex_iterator();
             ++it) {
            names.insert((*it)[1]);
        }
        return names;
    }

    double Metric(const std::string& world, const std::string& series)
    {
        const CHttpReply reply = HttpGet("127.0.0.1", m_hosts.at(world)->Port(), "/metrics");
        const std::size_t at = reply.body.find("\n" + series + " ");
        return at == std::string::npos ? -1 : std::stod(reply.body.substr(at + series.size() + 2));
    }

    std::unique_ptr<CGameClient> Connect(const std::string& world)
    {
        auto client = std::make_unique<CGameClient>();
        client->Connect({.host = "127.0.0.1", .port = m_hosts.at(world)->Port()});
        return client;
    }

    int LoginCode(const std::string& world, const std::string& seat) { return Connect(world)->Login(seat).code; }

    uint16_t m_redisPort = 0;
    std::unique_ptr<CHostProcess> m_redis;
    std::map<std::string, std::unique_ptr<CHostProcess>> m_hosts;
};

TEST_F(CFleetTest, MatchmakingFillsTheFullestWorldFirstThenAnswers503)
{
    for (const char* name : {"alpha", "bravo", "charlie"}) {
        StartWorld(name, {"--max-users", "2"});
    }
    const std::vector<std::string> via{"charlie", "alpha", "bravo", "charlie", "alpha", "bravo"};
    std::vector<std::string> got;
    for (const std::string& host : via) {
        const CSeat seat = Matchmake(host);
        ASSERT_EQ(seat.status, 200);
        EXPECT_EQ(seat.url, "ws://127.0.0.1:" + std::to_string(m_hosts.at(seat.world)->Port()) + "/ws");
        EXPECT_EQ(seat.seat.size(), 32u);
        got.push_back(seat.world);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"alpha", "alpha", "bravo", "bravo", "charlie", "charlie"}));

    const CHttpReply full = HttpPost("127.0.0.1", m_hosts.at("alpha")->Port(), "/matchmake");
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.contentType, "application/json");
    EXPECT_NE(full.body.find("\"error\":"), std::string::npos);

    const CHttpReply worlds = HttpGet("127.0.0.1", m_hosts.at("bravo")->Port(), "/worlds");
    EXPECT_NE(worlds.body.find("{\"name\":\"bravo\",\"url\":\"ws://127.0.0.1:" +
                               std::to_string(m_hosts.at("bravo")->Port()) +
                               "/ws\",\"users\":0,\"maxUsers\":2,\"reserved\":2,\"draining\":false}"),
              std::string::npos)
        << worlds.body;
    EXPECT_EQ(Metric("alpha", "corvane_fleet_matchmaking_total{outcome=\"ok\"}"), 2);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_matchmaking_total{outcome=\"full\"}"), 1);
    EXPECT_EQ(Metric("charlie", "corvane_fleet_seats_issued_total"), 2);
}

TEST_F(CFleetTest, ConcurrentMatchmakingOnThreeHostsNeverOversells)
{
    const std::vector<std::string> names{"alpha", "bravo", "charlie"};
    for (const std::string& name : names) {
        StartWorld(name, {"--max-users", "2"});
    }
    std::mutex mutex;
    std::map<std::string, int> byWorld;
    int refused = 0;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 30; ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            const CHttpReply reply =
                HttpPost("127.0.0.1", m_hosts.at(names[static_cast<std::size_t>(i % 3)])->Port(), "/matchmake");
            std::lock_guard lock(mutex);
            if (reply.status == 200) {
                ++byWorld[JsonField(reply.body, "world")];
            } else if (reply.status == 503) {
                ++refused;
            }
        });
    }
    go = true;
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(byWorld, (std::map<std::string, int>{{"alpha", 2}, {"bravo", 2}, {"charlie", 2}}));
    EXPECT_EQ(refused, 24);
}

TEST_F(CFleetTest, ASeatLogsInOnceOnItsOwnWorldOnly)
{
    // Players that vanish are kept for a resume for 1 s only.
    StartWorld("alpha", {"--max-users", "2", "--seat-ttl", "2", "--resume-window", "1"});
    StartWorld("bravo", {"--max-users", "2", "--seat-ttl", "2", "--resume-window", "1"});

    const CSeat first = Matchmake("bravo");
    ASSERT_EQ(first.world, "alpha");
    // A client may send right behind its Login: nothing it sends is handled
    // before the seat has been checked and the LoginAck sent.
    auto player = Connect("alpha");
    ASSERT_TRUE(player->SendBinary(Frame(kHostModuleId, kCmdLogin, EncodeLogin(first.seat))));
    ASSERT_TRUE(player->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    const auto ack = player->Receive(5s);
    ASSERT_TRUE(ack.has_value());
    ASSERT_EQ(ack->cmd, kMsgLoginAck);
    EXPECT_EQ(DecodeLoginAck(ack->body).code, kLoginOk);
    EXPECT_TRUE(player->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 5s).has_value());

    EXPECT_EQ(LoginCode("alpha", first.seat), kLoginUnauthorized) << "a used seat";

    const CSeat second = Matchmake("alpha");
    ASSERT_EQ(second.world, "alpha");
    EXPECT_EQ(LoginCode("bravo", second.seat), kLoginUnauthorized) << "a seat of another world";
    auto secondPlayer = Connect("alpha");
    EXPECT_EQ(secondPlayer->Login(second.seat).code, kLoginOk) << "the foreign try left the seat valid";

    const CSeat third = Matchmake("alpha");
    ASSERT_EQ(third.world, "bravo");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(LoginCode("bravo", third.seat), kLoginUnauthorized) << "an expired seat";
    EXPECT_EQ(LoginCode("bravo", ""), kLoginUnauthorized) << "no seat at all";

    EXPECT_EQ(Metric("alpha", "corvane_fleet_seats_consumed_total"), 2);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_seats_refused_total"), 1);
    EXPECT_TRUE(Eventually([&] { return Metric("bravo", "corvane_fleet_seats_expired_total") == 1; }, 3s));

    // A player who leaves while the seat is being checked costs nothing.
    {
        auto leaving = Connect("bravo");
        ASSERT_TRUE(leaving->SendBinary(Frame(kHostModuleId, kCmdLogin, EncodeLogin(Matchmake("alpha").seat))));
    }
    EXPECT_TRUE(Eventually([&] { return Metric("bravo", "corvane_fleet_seats_consumed_total") == 1; }, 3s));
    EXPECT_EQ(HttpGet("127.0.0.1", m_hosts.at("bravo")->Port(), "/healthz").status, 200);
    EXPECT_TRUE(Eventually([&] { return Metric("bravo", "corvane_users_online") == 0; }, 3s));

    // A full world that has room again is offered again after its heartbeat.
    secondPlayer.reset();
    EXPECT_TRUE(Eventually([&] { return Matchmake("bravo").world == "alpha"; }, 3s));
}

// These poll the worlds 50 times a second from one address.
const std::vector<std::string> kPolled{"--fleet-rate", "100", "--fleet-burst", "100"};

TEST_F(CFleetTest, AKilledHostLeavesWithinThreeSecondsAStoppedOneAtOnce)
{
    for (const char* name : {"alpha", "bravo", "charlie"}) {
        StartWorld(name, kPolled);
    }
    ASSERT_EQ(Worlds("alpha"), (std::set<std::string>{"alpha", "bravo", "charlie"}));

    m_hosts.at("bravo")->Signal(SIGKILL);
    ASSERT_TRUE(m_hosts.at("bravo")->WaitExit(5s).has_value());
    const auto killedAt = Clock::now();
    ASSERT_TRUE(Eventually([&] { return Worlds("alpha") == std::set<std::string>{"alpha", "charlie"}; }, 5s));
    EXPECT_LE(Clock::now() - killedAt, 3800ms) << "a time-to-live of 3 s, the 0.5 s cache of /worlds, the polling";

    m_hosts.at("charlie")->Signal(SIGTERM);
    EXPECT_EQ(m_hosts.at("charlie")->WaitExit(5s), 0);
    const auto stoppedAt = Clock::now();
    ASSERT_TRUE(Eventually([&] { return Worlds("alpha") == std::set<std::string>{"alpha"}; }, 2s));
    EXPECT_LE(Clock::now() - stoppedAt, 800ms) << "at once, but for the cache of /worlds";
}

TEST_F(CFleetTest, WithoutRedisPlayersKeepPlayingAndTheWorldComesBack)
{
    StartWorld("alpha", kPolled);
    auto mover = Connect("alpha");
    ASSERT_EQ(mover->Login(Matchmake("alpha").seat).code, kLoginOk);
    auto watcher = Connect("alpha");
    ASSERT_EQ(watcher->Login(Matchmake("alpha").seat).code, kLoginOk);
    for (CGameClient* c : {mover.get(), watcher.get()}) {
        ASSERT_TRUE(c->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
        ASSERT_TRUE(c->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 5s));
    }

    StopRedis();
    EXPECT_EQ(Matchmake("alpha").status, 503);
    EXPECT_TRUE(Eventually([&] { return Metric("alpha", "corvane_fleet_redis_up") == 0; }, 3s));
    EXPECT_EQ(HttpGet("127.0.0.1", m_hosts.at("alpha")->Port(), "/healthz").status, 200);

    ASSERT_TRUE(mover->Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, EncodeMoveTo(Pos{31, 17})));
    const uint32_t moverId = mover->UserId();
    const bool seen = Eventually(
        [&] {
            const auto poses = watcher->WaitFor(EasyDemo::kModuleId, EasyDemo::kPoseList, 100ms);
            if (!poses) {
                return false;
            }
            for (const ObjPos& p : DecodePoseList(poses->body)) {
                if (p.id == moverId && p.x == 31 && p.y == 17) {
                    return true;
                }
            }
            return false;
        },
        5s);
    EXPECT_TRUE(seen) << "the watcher sees the mover's step while Redis is down";

    StartRedis();
    const auto backAt = Clock::now();
    ASSERT_TRUE(Eventually([&] { return Worlds("alpha") == std::set<std::string>{"alpha"}; }, 5s));
    EXPECT_LE(Clock::now() - backAt, 3s);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_redis_up"), 1);
    const CHttpReply worlds = HttpGet("127.0.0.1", m_hosts.at("alpha")->Port(), "/worlds");
    EXPECT_NE(worlds.body.find("\"users\":2"), std::string::npos) << worlds.body;
    EXPECT_EQ(Matchmake("alpha").status, 200);
}

TEST_F(CFleetTest, StartUpErrorsAreOneLine)
{
    StartWorld("alpha");
    CHostProcess twin;
    twin.Spawn({"--listen", "127.0.0.1:0", "--module", ModulePath().string(), "--redis", RedisUrl(), "--world",
                "alpha"});
    EXPECT_EQ(twin.WaitExit(10s), 2);
    EXPECT_EQ(CountLines(twin.Stderr(), "corvane-host: world 'alpha' is already served by another live host"), 1)
        << twin.Stderr();

    CHostProcess noRedis;
    noRedis.Spawn({"--listen", "127.0.0.1:0", "--module", ModulePath().string(), "--redis",
                   "redis://127.0.0.1:" + std::to_string(FreeLoopbackPort())});
    EXPECT_EQ(noRedis.WaitExit(10s), 2);
    EXPECT_EQ(CountLines(noRedis.Stderr(), "corvane-host: cannot reach Redis at redis://127.0.0.1:"), 1)
        << noRedis.Stderr();

    CHostProcess badUrl;
    badUrl.Spawn({"--module", ModulePath().string(), "--redis", "http://127.0.0.1:6379"});
    EXPECT_EQ(badUrl.WaitExit(10s), 2);
    EXPECT_EQ(CountLines(badUrl.Stderr(), "does not start with redis://"), 1) << badUrl.Stderr();
}

TEST_F(CFleetTest, WithATokenFileOnlyKnownPlayersGetSeats)
{
    CHostProcess scratch; // only for its private folder
    const auto tokens = scratch.Folder() / "tokens.txt";
    std::ofstream(tokens) << "s3cret\n";
    StartWorld("alpha", {"--token-file", tokens.string()});

    EXPECT_EQ(Matchmake("alpha").status, 401);
    EXPECT_EQ(Matchmake("alpha", "Bearer wrong").status, 401);
    const CSeat seat = Matchmake("alpha", "Bearer s3cret");
    ASSERT_EQ(seat.status, 200);
    EXPECT_EQ(LoginCode("alpha", "s3cret"), kLoginUnauthorized) << "a token is not a seat";
    EXPECT_EQ(LoginCode("alpha", seat.seat), kLoginOk);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_matchmaking_total{outcome=\"unauthorized\"}"), 2);
}

// Records the request lines that reach it and answers each with 200: the
// game server's state for GET /gameserver, {} otherwise.
class CRecordingEndpoint {
public:
    static constexpr const char* kGameServer =
        R"({"object_meta":{"name":"corvane-x"},"status":{"state":"Scheduled","address":"10.1.2.3",)"
        R"("ports":[{"name":"game","port":7123}]}})";

    CRecordingEndpoint()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen");
        }
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }

    ~CRecordingEndpoint()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

    uint16_t Port() const { return m_port; }

    std::vector<std::string> Requests()
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void Serve()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int conn = ::accept(m_fd, nullptr, nullptr);
            if (conn < 0) {
                continue;
            }
            std::string request;
            char buffer[1024];
            // Headers, then the two-byte body of a POST.
            const auto complete = [&] {
                const std::size_t end = request.find("\r\n\r\n");
                return end != std::string::npos && (request.starts_with("GET ") || request.size() >= end + 6);
            };
            while (!complete()) {
                pollfd c{conn, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) {
                    break;
                }
                const ssize_t n = ::read(conn, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                request.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string body = request.starts_with("GET /gameserver ") ? kGameServer : "{}";
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                       "\r\nConnection: close\r\n\r\n" + body;
            (void)!::write(conn, answer.data(), answer.size());
            ::close(conn);
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request.substr(0, request.find("\r\n")) + " " +
                                 request.substr(request.find("\r\n\r\n") + 4));
        }
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

TEST(CAgonesTest, AHostTellsTheSdkItIsReadyThenHealthy)
{
    CRecordingEndpoint sdk;
    ::setenv("AGONES_SDK_HTTP_PORT", std::to_string(sdk.Port()).c_str(), 1);
    CHostProcess host;
    host.Start();
    ::unsetenv("AGONES_SDK_HTTP_PORT");

    ASSERT_TRUE(Eventually([&] { return sdk.Requests().size() >= 3; }, 8s)) << host.Stderr();
    const std::vector<std::string> requests = sdk.Requests();
    EXPECT_EQ(requests[0], "POST /ready HTTP/1.1 {}");
    EXPECT_EQ(requests[1], "POST /health HTTP/1.1 {}");
    EXPECT_EQ(requests[2], "POST /health HTTP/1.1 {}");
}

// Shutdown tells Agones to end the game server: only once the drain is over.
TEST(CAgonesTest, ShutdownComesWhenTheDrainEndsNotWhenItBegins)
{
    CRecordingEndpoint sdk;
    ::setenv("AGONES_SDK_HTTP_PORT", std::to_string(sdk.Port()).c_str(), 1);
    CHostProcess host;
    host.Start({"--drain-timeout", "30"});
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    auto player = std::make_unique<CGameClient>();
    player->Connect({.host = "127.0.0.1", .port = host.Port()});
    ASSERT_EQ(player->Login("").code, kLoginOk);

    host.Signal(SIGTERM);
    EXPECT_FALSE(host.WaitExit(1s).has_value()) << "a player is still on";
    const auto shutdowns = [&] {
        const std::vector<std::string> requests = sdk.Requests();
        return std::count(requests.begin(), requests.end(), "POST /shutdown HTTP/1.1 {}");
    };
    EXPECT_EQ(shutdowns(), 0);
    player->Close();
    ASSERT_EQ(host.WaitExit(5s), 0) << host.Stderr();
    EXPECT_EQ(shutdowns(), 1);
}

} // namespace

namespace {

TEST_F(CFleetTest, UnderAgonesTheWorldIsRegisteredAtTheAddressTheSdkGives)
{
    CRecordingEndpoint sdk;
    ::setenv("AGONES_SDK_HTTP_PORT", std::to_string(sdk.Port()).c_str(), 1);
    StartWorld("alpha");
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    const CHttpReply worlds = HttpGet("127.0.0.1", m_hosts.at("alpha")->Port(), "/worlds");
    EXPECT_NE(worlds.body.find("\"url\":\"ws://10.1.2.3:7123/ws\""), std::string::npos) << worlds.body;
    ASSERT_TRUE(Eventually([&] { return sdk.Requests().size() >= 2; }, 5s));
    EXPECT_EQ(sdk.Requests()[0], "GET /gameserver HTTP/1.1 ");
    EXPECT_EQ(sdk.Requests()[1], "POST /ready HTTP/1.1 {}");
}

} // namespace

namespace {

// One HTTP/1.1 connection from a chosen loopback address (127.0.0.0/8 is
// all loopback on Linux), kept alive across requests: how the host tells
// clients apart by address.
class CHttpFrom {
public:
    struct CAnswer {
        int status = 0;
        int retryAfter = 0;
        std::string body;
    };

    CHttpFrom(const std::string& source, uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        const timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            throw std::runtime_error("cannot connect from " + source);
        }
    }
    ~CHttpFrom() { ::close(m_fd); }

    CHttpFrom(const CHttpFrom&) = delete;
    CHttpFrom& operator=(const CHttpFrom&) = delete;

    // Status 0 when the connection failed or timed out.
    CAnswer Request(const std::string& method, const std::string& target, const std::string& authorization = {})
    {
        std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n";
        if (!authorization.empty()) {
            request += "Authorization: " + authorization + "\r\n";
        }
        request += "\r\n";
        if (::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            return {};
        }
        std::size_t end = std::string::npos;
        while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return {};
            }
        }
        const std::string head = m_buffer.substr(0, end + 2);
        const auto number = [&head](const std::string& name) {
            std::smatch m;
            return std::regex_search(head, m, std::regex("\r\n" + name + ": *([0-9]+)", std::regex::icase))
                       ? std::stoi(m[1])
                       : 0;
        };
        const std::size_t length = static_cast<std::size_t>(number("Content-Length"));
        while (m_buffer.size() < end + 4 + length) {
            if (!Fill()) {
                return {};
            }
        }
        CAnswer answer{std::stoi(head.substr(9, 3)), number("Retry-After"), m_buffer.substr(end + 4, length)};
        m_buffer.erase(0, end + 4 + length);
        return answer;
    }

private:
    bool Fill()
    {
        char chunk[4096];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
};

CHttpFrom::CAnswer RequestFrom(const std::string& source, uint16_t port, const std::string& method,
                               const std::string& target, const std::string& authorization = {})
{
    return CHttpFrom(source, port).Request(method, target, authorization);
}

// A TCP relay on loopback that holds every chunk `delay` before passing it
// on, both ways: a Redis that far away.
class CDelayProxy {
public:
    CDelayProxy(uint16_t target, std::chrono::milliseconds delay) : m_target(target), m_delay(delay)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen");
        }
        m_port = ntohs(addr.sin_port);
        m_threads.emplace_back([this] { Accept(); });
    }

    ~CDelayProxy()
    {
        m_stop = true;
        for (std::thread& t : m_threads) {
            t.join();
        }
        for (const int fd : m_fds) {
            ::close(fd);
        }
        ::close(m_listener);
    }

    uint16_t Port() const { return m_port; }

private:
    void Accept()
    {
        while (!m_stop) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept(m_listener, nullptr, nullptr);
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(m_target);
            if (client < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            m_fds.insert(m_fds.end(), {client, server});
            m_threads.emplace_back([this, client, server] { Pump(client, server); });
            m_threads.emplace_back([this, server, client] { Pump(server, client); });
        }
    }

    // Reads `from` and writes each chunk to `to` once it is `m_delay` old.
    void Pump(int from, int to)
    {
        std::deque<std::pair<Clock::time_point, std::string>> held;
        bool open = true;
        while (!m_stop && (open || !held.empty())) {
            int wait = 50;
            if (!held.empty()) {
                const auto due = std::chrono::ceil<std::chrono::milliseconds>(held.front().first - Clock::now());
                wait = static_cast<int>(std::clamp<long long>(due.count(), 0, 50));
            }
            pollfd p{from, POLLIN, 0};
            if (open && ::poll(&p, 1, wait) > 0) {
                char chunk[65536];
                const ssize_t n = ::read(from, chunk, sizeof chunk);
                if (n <= 0) {
                    open = false;
                } else {
                    held.emplace_back(Clock::now() + m_delay, std::string(chunk, static_cast<std::size_t>(n)));
                }
            } else if (!open) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            }
            while (!held.empty() && held.front().first <= Clock::now()) {
                (void)!::send(to, held.front().second.data(), held.front().second.size(), MSG_NOSIGNAL);
                held.pop_front();
            }
        }
        ::shutdown(to, SHUT_WR);
    }

    uint16_t m_target;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::vector<int> m_fds;          // the accept thread's until the end
    std::vector<std::thread> m_threads; // idem
};

// The seats reserved on every live world, as /worlds tells them.
int ReservedSeats(uint16_t port, const std::string& source = "127.0.0.1")
{
    const CHttpFrom::CAnswer worlds = RequestFrom(source, port, "GET", "/worlds");
    int total = 0;
    const std::regex reserved("\"reserved\":([0-9]+)");
    for (auto it = std::sregex_iterator(worlds.body.begin(), worlds.body.end(), reserved);
         it != std::sregex_iterator(); ++it) {
        total += std::stoi((*it)[1]);
    }
    return total;
}

TEST_F(CFleetTest, OneAddressHoldsAFewSeatsAcrossTheFleetAndAskingAgainReplacesTheOldest)
{
    StartWorld("alpha", {"--max-users", "3", "--seats-per-address", "3", "--fleet-burst", "100"});
    StartWorld("bravo", {"--max-users", "3", "--seats-per-address", "3", "--fleet-burst", "100"});
    const uint16_t port = m_hosts.at("alpha")->Port();

    std::vector<std::string> seats;
    std::set<std::string> worlds;
    for (int i = 0; i < 10; ++i) {
        const CHttpFrom::CAnswer answer = RequestFrom("127.0.0.2", port, "POST", "/matchmake");
        ASSERT_EQ(answer.status, 200) << answer.body;
        seats.push_back(JsonField(answer.body, "seat"));
        worlds.insert(JsonField(answer.body, "world"));
    }
    EXPECT_EQ(ReservedSeats(port), 3) << "the fleet has 6 seats; one address holds 3 at most";
    EXPECT_EQ(Metric("alpha", "corvane_fleet_seats_replaced_total"), 7);

    // Others still find room, across both worlds.
    for (const char* other : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        const CHttpFrom::CAnswer answer = RequestFrom(other, m_hosts.at("bravo")->Port(), "POST", "/matchmake");
        EXPECT_EQ(answer.status, 200) << other << ": " << answer.body;
        worlds.insert(JsonField(answer.body, "world"));
    }
    EXPECT_EQ(worlds, (std::set<std::string>{"alpha", "bravo"}));
    EXPECT_EQ(RequestFrom("127.0.0.6", port, "POST", "/matchmake").status, 503) << "all 6 seats are held";

    // A replaced seat is no seat; the newest ones are.
    int refused = 0;
    for (const std::string& name : {std::string("alpha"), std::string("bravo")}) {
        refused += LoginCode(name, seats[0]) == kLoginUnauthorized ? 1 : 0;
    }
    EXPECT_EQ(refused, 2) << "the first seat was given up";
    int admitted = 0;
    for (const std::string& name : {std::string("alpha"), std::string("bravo")}) {
        for (const std::size_t i : {7u, 8u, 9u}) {
            admitted += LoginCode(name, seats[i]) == kLoginOk ? 1 : 0;
        }
    }
    EXPECT_EQ(admitted, 3) << "the three newest seats are good, each on its world";
}

TEST_F(CFleetTest, ATokenMatchmakingAgainReplacesItsSeat)
{
    CHostProcess scratch;
    const auto tokens = scratch.Folder() / "tokens.txt";
    std::ofstream(tokens) << "hoarder\nplayer\n";
    StartWorld("alpha", {"--token-file", tokens.string(), "--max-users", "3", "--seats-per-token", "1",
                         "--fleet-burst", "100"});
    const uint16_t port = m_hosts.at("alpha")->Port();

    // From many addresses: the bound is the token's, not the address's.
    std::vector<std::string> seats;
    for (int i = 0; i < 6; ++i) {
        const CHttpFrom::CAnswer answer =
            RequestFrom("127.0.1." + std::to_string(i + 1), port, "POST", "/matchmake", "Bearer hoarder");
        ASSERT_EQ(answer.status, 200) << answer.body;
        seats.push_back(JsonField(answer.body, "seat"));
    }
    EXPECT_EQ(ReservedSeats(port), 1);
    const CHttpFrom::CAnswer player = RequestFrom("127.0.1.9", port, "POST", "/matchmake", "Bearer player");
    ASSERT_EQ(player.status, 200);
    EXPECT_EQ(LoginCode("alpha", seats[4]), kLoginUnauthorized);
    EXPECT_EQ(LoginCode("alpha", seats[5]), kLoginOk);
    EXPECT_EQ(LoginCode("alpha", JsonField(player.body, "seat")), kLoginOk);
}

TEST_F(CFleetTest, AnAddressBeyondItsRateGets429WithRetryAfter)
{
    StartWorld("alpha", {"--fleet-rate", "0.5", "--fleet-burst", "3"});
    const uint16_t port = m_hosts.at("alpha")->Port();
    CHttpFrom client("127.0.0.2", port);
    EXPECT_EQ(client.Request("POST", "/matchmake").status, 200);
    EXPECT_EQ(client.Request("GET", "/worlds").status, 200);
    EXPECT_EQ(client.Request("POST", "/matchmake").status, 200);
    for (const char* target : {"/matchmake", "/worlds"}) {
        const CHttpFrom::CAnswer limited = client.Request(target == std::string("/worlds") ? "GET" : "POST", target);
        EXPECT_EQ(limited.status, 429) << target;
        EXPECT_EQ(limited.retryAfter, 2) << target << ": one request every 2 s";
        EXPECT_NE(limited.body.find("\"error\":"), std::string::npos);
    }
    EXPECT_EQ(RequestFrom("127.0.0.3", port, "POST", "/matchmake").status, 200) << "another address";
    EXPECT_EQ(Metric("alpha", "corvane_fleet_matchmaking_total{outcome=\"limited\"}"), 1);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_worlds_limited_total"), 1);
}

TEST_F(CFleetTest, AWorldStoppedAndStartedUnderItsNameIsNotOversold)
{
    StartWorld("alpha", {"--max-users", "3"});
    std::vector<std::string> before;
    for (int i = 0; i < 3; ++i) {
        before.push_back(Matchmake("alpha").seat);
    }
    m_hosts.at("alpha")->Signal(SIGTERM);
    ASSERT_EQ(m_hosts.at("alpha")->WaitExit(5s), 0);

    StartWorld("alpha", {"--max-users", "3"});
    std::vector<std::string> after;
    for (int i = 0; i < 3; ++i) {
        const CSeat seat = Matchmake("alpha");
        ASSERT_EQ(seat.status, 200);
        after.push_back(seat.seat);
    }
    EXPECT_EQ(Matchmake("alpha").status, 503);
    std::vector<std::unique_ptr<CGameClient>> players;
    for (const std::string& seat : before) {
        EXPECT_EQ(LoginCode("alpha", seat), kLoginUnauthorized) << "a seat of the stopped world";
    }
    for (const std::string& seat : after) {
        players.push_back(Connect("alpha"));
        EXPECT_EQ(players.back()->Login(seat).code, kLoginOk);
    }
}

// Whether /worlds, as `via` sees it, shows `world` with "draining": true.
bool ShowsDraining(const std::string& body, const std::string& world)
{
    return std::regex_search(body, std::regex("\\{\"name\":\"" + world + "\"[^}]*\"draining\":true\\}"));
}

// A draining world sells no seats from the moment of the signal, though it
// is the fullest; a seat sold before gets LoginAck 5; its player plays on
// until leaving, and then the world is gone.
TEST_F(CFleetTest, ADrainingWorldSellsNoSeatsAndLeavesWhenItsLastPlayerHas)
{
    StartWorld("alpha", {"--drain-timeout", "30", "--fleet-rate", "100", "--fleet-burst", "100"});
    StartWorld("bravo", kPolled);
    auto player = Connect("alpha");
    const CSeat first = Matchmake("bravo");
    ASSERT_EQ(first.world, "alpha");
    ASSERT_EQ(player->Login(first.seat).code, kLoginOk);
    ASSERT_TRUE(player->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    ASSERT_TRUE(player->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 5s));
    const CSeat early = Matchmake("bravo");
    ASSERT_EQ(early.world, "alpha") << "the fullest world";

    m_hosts.at("alpha")->Signal(SIGTERM);
    const auto signalled = Clock::now();
    ASSERT_TRUE(Eventually([&] { return Metric("alpha", "corvane_draining") == 1; }, 2s));
    for (int i = 0; i < 4; ++i) {
        const CSeat seat = Matchmake(i % 2 == 0 ? "alpha" : "bravo");
        EXPECT_EQ(seat.world, "bravo") << "matchmake " << i << " through " << (i % 2 == 0 ? "alpha" : "bravo");
    }
    EXPECT_LT(Clock::now() - signalled, 1s) << "at once, not at the next heartbeat";
    EXPECT_TRUE(ShowsDraining(HttpGet("127.0.0.1", m_hosts.at("bravo")->Port(), "/worlds").body, "alpha"));
    EXPECT_FALSE(ShowsDraining(HttpGet("127.0.0.1", m_hosts.at("bravo")->Port(), "/worlds").body, "bravo"));

    auto late = Connect("alpha");
    EXPECT_EQ(late->Login(early.seat).code, kLoginDraining);
    ASSERT_TRUE(late->WaitClosed(5s));
    EXPECT_EQ(late->CloseCode(), 1001);
    EXPECT_EQ(late->CloseReason(), "draining");
    const CHttpReply health = HttpGet("127.0.0.1", m_hosts.at("alpha")->Port(), "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "draining\n");

    // Still registered across heartbeats (its players' seats stay known),
    // still out of matchmaking.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Matchmake("bravo").world, "bravo");
    EXPECT_LT(MoveRoundTrip(*player, {30, 31}), 1.0) << "its player plays on";
    player->Close();
    EXPECT_EQ(m_hosts.at("alpha")->WaitExit(5s), 0);
    ASSERT_TRUE(Eventually([&] { return Worlds("bravo") == std::set<std::string>{"bravo"}; }, 2s));
}

// A rolling restart under corvane-bot's fleet mode: each of three worlds in
// turn is drained (SIGTERM, a one-second drain) and a fresh host of the same
// name takes its place. Every player the drain ends plays again in another
// world within 2 s; with two worlds' seats for all the players while one
// drains, a seat sold twice would show as a login refused.
TEST_F(CFleetTest, DrillRollingRestart)
{
    const std::vector<std::string> world{"--max-users",         "10",   "--drain-timeout", "1",
                                         "--seats-per-address", "1000", "--fleet-rate",    "1000",
                                         "--fleet-burst",       "1000"};
    const std::vector<std::string> names{"alpha", "bravo", "charlie"};
    std::string matchmake;
    for (const std::string& name : names) {
        StartWorld(name, world);
        matchmake += (matchmake.empty() ? "" : ",") + std::string("http://127.0.0.1:") +
                     std::to_string(m_hosts.at(name)->Port());
    }
    CHostProcess bot(BotExecutable());
    const std::filesystem::path json = bot.Folder() / "bot.json";
    bot.Spawn({"--matchmake", matchmake, "--users", "20", "--rate", "2", "--ramp", "1", "--duration", "12",
               "--quiet", "--json", json.string()});
    const auto everyonePlays = [&] {
        double online = 0;
        for (const std::string& name : names) {
            online += Metric(name, "corvane_users_online");
        }
        return online == 20;
    };
    ASSERT_TRUE(Eventually(everyonePlays, 5s)) << bot.Stdout();

    for (const std::string& name : names) {
        const uint16_t port = m_hosts.at(name)->Port();
        m_hosts.at(name)->Signal(SIGTERM);
        ASSERT_EQ(m_hosts.at(name)->WaitExit(5s), 0) << m_hosts.at(name)->Stderr();
        auto fresh = std::make_unique<CHostProcess>();
        std::vector<std::string> args{"--redis", RedisUrl(), "--world", name};
        args.insert(args.end(), world.begin(), world.end());
        fresh->Start(args, -1, port);
        m_hosts[name] = std::move(fresh);
        ASSERT_TRUE(Eventually(everyonePlays, 3s)) << "every player plays again";
    }

    ASSERT_EQ(bot.WaitExit(30s), 0) << bot.Stdout() << bot.Stderr();
    std::ifstream file(json);
    const std::string result((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto number = [&](const std::string& key) {
        std::smatch m;
        return std::regex_search(result, m, std::regex("\"" + key + "\": ([0-9.]+)")) ? std::stod(m[1]) : -1.0;
    };
    EXPECT_GE(number("moved"), 10) << result << "every world drained held players";
    EXPECT_LT(number("longest_gap_ms"), 2000) << result;
    EXPECT_EQ(number("gaps_over_limit"), 0) << result;
    EXPECT_EQ(number("moves_unanswered"), 0) << result;
    EXPECT_EQ(number("playing_at_end"), 20) << result;
    EXPECT_NE(result.find("\"refusals\": {}"), std::string::npos)
        << result << "no login refused: not for a seat, not for a full world";
    std::cout << result;
}

TEST_F(CFleetTest, AHostWhoseNameWasTakenRefusesSeatsUntilItHoldsItAgain)
{
    StartWorld("alpha");
    CHostProcess& first = *m_hosts.at("alpha");
    const uint16_t firstPort = first.Port();
    first.Signal(SIGSTOP);
    // Its registration expires: another host may take the name.
    std::this_thread::sleep_for(3500ms);
    auto moved = std::move(m_hosts.at("alpha"));
    StartWorld("alpha", {"--drain-timeout", "0"}); // the taker; its stop need not wait for the user kept below
    m_hosts["first"] = std::move(moved);
    m_hosts.at("first")->Signal(SIGCONT);

    ASSERT_TRUE(Eventually([&] { return Metric("first", "corvane_fleet_name_held") == 0; }, 3s));
    const CHttpReply health = HttpGet("127.0.0.1", firstPort, "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_NE(health.body.find("another host serves this world's name"), std::string::npos) << health.body;

    const CSeat seat = Matchmake("alpha");
    ASSERT_EQ(seat.status, 200);
    EXPECT_EQ(seat.url, "ws://127.0.0.1:" + std::to_string(m_hosts.at("alpha")->Port()) + "/ws");
    EXPECT_EQ(LoginCode("first", seat.seat), kLoginUnauthorized) << "the seat is the taker's";
    EXPECT_EQ(LoginCode("alpha", seat.seat), kLoginOk) << "and the refusal left it valid";

    m_hosts.at("alpha")->Signal(SIGTERM);
    ASSERT_EQ(m_hosts.at("alpha")->WaitExit(5s), 0);
    ASSERT_TRUE(Eventually([&] { return Metric("first", "corvane_fleet_name_held") == 1; }, 3s));
    EXPECT_EQ(HttpGet("127.0.0.1", firstPort, "/healthz").status, 200);
    EXPECT_EQ(LoginCode("first", Matchmake("first").seat), kLoginOk);
}

// A client that loops POST /matchmake on one connection: it gets 429s and
// its own seats replaced, and a real player still gets in.
TEST_F(CFleetTest, DrillMatchmakeFlood)
{
    StartWorld("alpha", {"--max-users", "5"});
    StartWorld("bravo", {"--max-users", "5"});
    const uint16_t port = m_hosts.at("alpha")->Port();
    std::map<int, int> statuses;
    {
        CHttpFrom flood("127.0.0.2", port);
        const auto end = Clock::now() + 1500ms;
        while (Clock::now() < end) {
            ++statuses[flood.Request("POST", "/matchmake").status];
        }
    }
    EXPECT_GT(statuses[429], 100) << "one request every 0.2 s after a burst of 20";
    EXPECT_LE(statuses[200], 20 + 1.5 * 5 + 1);
    EXPECT_EQ(statuses[200] + statuses[429], std::accumulate(statuses.begin(), statuses.end(), 0,
                                                             [](int sum, const auto& s) { return sum + s.second; }));
    EXPECT_EQ(ReservedSeats(port, "127.0.0.3"), 8) << "the address's live seats, of the fleet's 10";

    const CHttpFrom::CAnswer player = RequestFrom("127.0.0.4", port, "POST", "/matchmake");
    ASSERT_EQ(player.status, 200) << player.body;
    EXPECT_EQ(LoginCode(JsonField(player.body, "world"), JsonField(player.body, "seat")), kLoginOk);
}

// More matchmakes at once than may wait for a slow Redis: those beyond the
// queue are told at once to retry, the others are answered.
TEST_F(CFleetTest, MatchmakesBeyondTheQueueAreRefusedAtOnce)
{
    CDelayProxy proxy(m_redisPort, 100ms);
    auto host = std::make_unique<CHostProcess>();
    host->Start({"--redis", "redis://127.0.0.1:" + std::to_string(proxy.Port()), "--world", "alpha"});
    const uint16_t port = host->Port();
    m_hosts["alpha"] = std::move(host);

    struct CAsk {
        int fd = -1;
        std::string answer;
        Clock::duration took{};
    };
    std::vector<CAsk> asks(400);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < asks.size(); ++i) {
        asks[i].fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl((127u << 24) | (5u << 16) | static_cast<uint32_t>(i + 1));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        ASSERT_EQ(::bind(asks[i].fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        ASSERT_EQ(::connect(asks[i].fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        const std::string request = "POST /matchmake HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ASSERT_EQ(::send(asks[i].fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    }
    std::size_t open = asks.size();
    while (open > 0 && Clock::now() - start < 10s) {
        std::vector<pollfd> fds;
        for (const CAsk& ask : asks) {
            fds.push_back({ask.fd, static_cast<short>(ask.took == Clock::duration{} ? POLLIN : 0), 0});
        }
        ::poll(fds.data(), fds.size(), 50);
        for (std::size_t i = 0; i < asks.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(asks[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                asks[i].answer.append(chunk, static_cast<std::size_t>(n));
            } else {
                asks[i].took = Clock::now() - start;
                --open;
            }
        }
    }
    std::map<std::string, int> outcomes;
    Clock::duration slowestRefusal{};
    for (CAsk& ask : asks) {
        ::close(ask.fd);
        if (ask.answer.starts_with("HTTP/1.1 200")) {
            ++outcomes["seat"];
        } else if (ask.answer.find("too many requests waiting") != std::string::npos) {
            ++outcomes["busy"];
            EXPECT_NE(ask.answer.find("Retry-After: 1\r\n"), std::string::npos);
            slowestRefusal = std::max(slowestRefusal, ask.took);
        } else if (ask.answer.find("every world is full") != std::string::npos) {
            ++outcomes["full"];
        } else {
            ++outcomes["other"];
        }
    }
    EXPECT_EQ(outcomes["other"], 0) << ::testing::PrintToString(outcomes);
    EXPECT_EQ(outcomes["seat"], 155) << ::testing::PrintToString(outcomes);
    EXPECT_GT(outcomes["busy"], 0) << ::testing::PrintToString(outcomes);
    EXPECT_LT(slowestRefusal, 1s) << "refused at once, not after the queue";
}

// Redis 0.1 s away each way: 40 players joining at once all get in, and a
// flood of /worlds does not hold up matchmaking.
TEST_F(CFleetTest, DrillSlowRedis)
{
    CDelayProxy proxy(m_redisPort, 100ms);
    auto host = std::make_unique<CHostProcess>();
    host->Start({"--redis", "redis://127.0.0.1:" + std::to_string(proxy.Port()), "--world", "alpha", "--max-users",
                 "60"});
    const uint16_t port = host->Port();
    m_hosts["alpha"] = std::move(host);

    std::atomic<int> joined{0};
    std::vector<std::string> failures;
    std::mutex mutex;
    const auto start = Clock::now();
    std::vector<std::thread> players;
    for (int i = 0; i < 40; ++i) {
        players.emplace_back([&, i] {
            std::string why;
            try {
                const CHttpFrom::CAnswer seat =
                    RequestFrom("127.0.2." + std::to_string(i + 1), port, "POST", "/matchmake");
                if (seat.status != 200) {
                    why = "matchmake " + std::to_string(seat.status);
                } else {
                    CGameClient client;
                    client.Connect({.host = "127.0.0.1", .port = port, .source = "127.0.2." + std::to_string(i + 1)});
                    const int code = client.Login(JsonField(seat.body, "seat"), 15s).code;
                    if (code == kLoginOk) {
                        ++joined;
                        return;
                    }
                    why = "login " + std::to_string(code);
                }
            } catch (const std::exception& e) {
                why = e.what();
            }
            std::lock_guard lock(mutex);
            failures.push_back(why);
        });
    }
    for (std::thread& t : players) {
        t.join();
    }
    EXPECT_EQ(joined, 40) << ::testing::PrintToString(failures);
    const auto joinTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(joinTime, 5s) << "pipelined, the 40 joins take a few round trips";

    // 60 clients loop GET /worlds while three players matchmake.
    std::atomic<bool> stop{false};
    std::atomic<int> listed{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 60; ++i) {
        flood.emplace_back([&, i] {
            try {
                CHttpFrom client("127.0.3." + std::to_string(i + 1), port);
                while (!stop) {
                    if (client.Request("GET", "/worlds").status == 200) {
                        ++listed;
                    }
                }
            } catch (const std::exception&) {
            }
        });
    }
    const auto floodStart = Clock::now();
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 3; ++i) {
        const auto asked = Clock::now();
        const CHttpFrom::CAnswer seat = RequestFrom("127.0.4." + std::to_string(i + 1), port, "POST", "/matchmake");
        EXPECT_EQ(seat.status, 200) << seat.body;
        EXPECT_LT(Clock::now() - asked, 1500ms) << "a few round trips at most";
    }
    std::this_thread::sleep_until(floodStart + 1500ms);
    stop = true;
    for (std::thread& t : flood) {
        t.join();
    }
    EXPECT_GE(listed, 60) << "every flooder was answered too";
}

// A resume takes no seat: the user keeps the one it logged in with while it
// is away, so a world full of kept users stays full, and the seat is free
// again once the window has ended.
TEST_F(CFleetTest, AResumeKeepsItsSeatAndTakesNoNewOne)
{
    std::vector<std::string> args{"--max-users", "1", "--resume-window", "2"};
    args.insert(args.end(), kPolled.begin(), kPolled.end());
    StartWorld("alpha", args);
    auto player = Connect("alpha");
    ASSERT_EQ(player->Login(Matchmake("alpha").seat).code, kLoginOk);
    ASSERT_TRUE(player->Send(kHostModuleId, kCmdPing, "p"));
    ASSERT_TRUE(player->WaitFor(kHostModuleId, kMsgPong, 3s));
    const uint32_t id = player->UserId();
    player->Cut();
    ASSERT_TRUE(Eventually([&] { return Metric("alpha", "corvane_users_kept") == 1; }, 3s));
    EXPECT_EQ(Matchmake("alpha").status, 503) << "the kept user holds the world's one seat";

    player->Connect({.host = "127.0.0.1", .port = m_hosts.at("alpha")->Port()});
    const CResumeAck ack = player->Resume();
    ASSERT_EQ(ack.code, kResumeOk);
    EXPECT_EQ(ack.userId, id);
    EXPECT_EQ(Metric("alpha", "corvane_fleet_seats_consumed_total"), 1) << "no seat for the resume";
    EXPECT_EQ(Metric("alpha", "corvane_users_online"), 1);

    player->Cut();
    ASSERT_TRUE(Eventually([&] { return Metric("alpha", "corvane_users_kept") == 1; }, 3s));
    EXPECT_TRUE(Eventually([&] { return Metric("alpha", "corvane_users_online") == 0; }, 4s));
    EXPECT_TRUE(Eventually([&] { return Matchmake("alpha").status == 200; }, 4s)) << "the seat is released";
}

} // namespace
