// Start-up errors and the stop on a signal, seen from outside the process.
#include "HostFixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The whole of standard error is one line holding `needle`.
void ExpectOneErrorLine(const std::string& err, const std::string& needle)
{
    EXPECT_EQ(CountLines(err, ""), 1) << err;
    EXPECT_NE(err.find(needle), std::string::npos) << err;
}

} // namespace

using HostLifecycle = CHostFixture;

TEST_F(HostLifecycle, HelpListsTheFlags)
{
    m_host.Spawn({"--help"});
    ASSERT_EQ(m_host.WaitExit(10s), 0);
    for (const char* flag : {"--listen", "CORVANE_LISTEN", "--module", "--web-root", "--max-users", "--token-file",
                             "--rate", "--burst", "--max-frame", "--send-queue", "--max-pending",
                             "--max-pending-per-address", "--log-level", "--drain-timeout"}) {
        EXPECT_NE(m_host.Stdout().find(flag), std::string::npos) << flag;
    }
    // The limits and why they are there.
    for (const char* limit : {"1 to 155", "at least 260 bytes", "at least 16KiB"}) {
        EXPECT_NE(m_host.Stdout().find(limit), std::string::npos) << limit;
    }
}

// A container image's default address comes from the environment; a
// --listen flag still wins over it.
TEST_F(HostLifecycle, ListenDefaultsToTheEnvironmentAndYieldsToTheFlag)
{
    struct CEnvListen {
        CEnvListen() { ::setenv("CORVANE_LISTEN", "7780", 1); }
        ~CEnvListen() { ::unsetenv("CORVANE_LISTEN"); }
    } env;

    m_host.Spawn({"--module", ModulePath().string()});
    EXPECT_EQ(m_host.WaitExit(10s), 2);
    ExpectOneErrorLine(m_host.Stderr(), "7780");

    StartHost();
    EXPECT_EQ(CountLines(m_host.Stderr(), "listening on http://127.0.0.1:" + std::to_string(m_host.Port()) + "/"), 1)
        << m_host.Stderr();
}

TEST_F(HostLifecycle, UsageErrorsExitWith2)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--no-such-flag"},
                                                 {"--listen", "7780"},
                                                 {"--send-queue", "lots"},
                                                 {"--max-users", "0"},
                                                 {"--resume-window", "3601"},
                                                 {"--resume-window", "-1"},
                                                 {"--log-level", "loud"}}) {
        m_host.Spawn(args);
        EXPECT_EQ(m_host.WaitExit(10s), 2);
        EXPECT_EQ(CountLines(m_host.Stderr(), "corvane-host: "), 1) << m_host.Stderr();
    }
}

// Values that parse but would freeze the world, cut every player or refuse
// every login stop the host before it serves anyone.
TEST_F(HostLifecycle, SettingsThatBreakTheGameExitWith2)
{
    const std::string listen = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--max-users", "156"},
                                                 {"--send-queue", "8KiB"},
                                                 {"--max-frame", "259"},
                                                 {"--max-pending", "0"},
                                                 {"--max-pending-per-address", "0"}}) {
        std::vector<std::string> all{"--listen", listen, "--module", ModulePath().string()};
        all.insert(all.end(), args.begin(), args.end());
        m_host.Spawn(all);
        const std::optional<int> code = m_host.WaitExit(10s);
        EXPECT_EQ(code, 2) << args[0];
        if (!code) {
            m_host.Signal(SIGKILL);
            m_host.WaitExit(10s);
        }
        ExpectOneErrorLine(m_host.Stderr(), "corvane-host: " + args[0]);
    }
}

TEST_F(HostLifecycle, MissingModuleIsOneLineAndExit2)
{
    const std::string path = (m_host.Folder() / "nowhere" / "libcorvane.so").string();
    m_host.Spawn({"--listen", "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--module", path});
    EXPECT_EQ(m_host.WaitExit(10s), 2);
    ExpectOneErrorLine(m_host.Stderr(), path);
}

TEST_F(HostLifecycle, ModuleWithoutTheExportIsOneLineAndExit2)
{
    const std::string path = CORVANE_NOEXPORT_MODULE;
    m_host.Spawn({"--listen", "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--module", path});
    EXPECT_EQ(m_host.WaitExit(10s), 2);
    ExpectOneErrorLine(m_host.Stderr(), path);
    EXPECT_NE(m_host.Stderr().find("KVServerStart"), std::string::npos);
}

TEST_F(HostLifecycle, PortInUseIsOneLineAndExit2)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    m_host.Spawn({"--listen", where, "--module", ModulePath().string()});
    EXPECT_EQ(m_host.WaitExit(10s), 2);
    ::close(fd);
    ExpectOneErrorLine(m_host.Stderr(), "cannot listen on " + where);
}

namespace {

// A login during a drain: LoginAck 5, then close 1001 "draining".
void ExpectDrainRefusal(CGameClient& client)
{
    EXPECT_EQ(client.Login("").code, kLoginDraining);
    ASSERT_TRUE(client.WaitClosed(5s));
    EXPECT_EQ(client.CloseCode(), 1001);
    EXPECT_EQ(client.CloseReason(), "draining");
}

} // namespace

// The first SIGTERM stops the logins, not the game: players online keep
// playing until the drain's time is up, then get 1001 "draining", each
// logout is reported once, and the host exits 0.
TEST_F(HostLifecycle, SigtermDrainsThenClosesThoseLeftAtTheTimeout)
{
    StartHost({"--drain-timeout", "2"});
    auto a = EnterScene();
    auto b = EnterScene();
    auto c = LogIn();
    ASSERT_TRUE(WaitMetric("corvane_users_online", 3));
    EXPECT_EQ(Metric("corvane_draining"), 0);

    m_host.Signal(SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitMetric("corvane_draining", 1));
    const CHttpReply health = Get("/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "draining\n");
    ExpectDrainRefusal(*Connect());
    EXPECT_EQ(Metric("corvane_logins_total{result=\"draining\"}"), 1);
    EXPECT_LT(MoveRoundTrip(*a, {30, 31}), 1.0) << "players online play on";
    EXPECT_TRUE(a->IsOpen());

    for (CGameClient* client : {a.get(), b.get(), c.get()}) {
        ASSERT_TRUE(client->WaitClosed(5s));
        EXPECT_EQ(client->CloseCode(), 1001);
        EXPECT_EQ(client->CloseReason(), "draining");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - signalled, 1900ms) << "not before the drain's time is up";
    ASSERT_EQ(m_host.WaitExit(10s), 0) << m_host.Stderr();

    const std::string err = m_host.Stderr();
    for (uint32_t id : {a->UserId(), b->UserId(), c->UserId()}) {
        EXPECT_EQ(CountLines(err, "user " + std::to_string(id) + " logged out"), 1) << err;
    }
    // The module's own notification handler saw each one.
    EXPECT_EQ(CountLines(m_host.Stdout(), "OnUserLogout"), 3) << m_host.Stdout();
}

TEST_F(HostLifecycle, ADrainEndsWhenTheLastPlayerHasLeft)
{
    StartHost({"--drain-timeout", "60"});
    auto a = EnterScene();
    auto b = LogIn();
    m_host.Signal(SIGTERM);
    ASSERT_TRUE(WaitMetric("corvane_draining", 1));
    a->Close();
    EXPECT_FALSE(m_host.WaitExit(500ms).has_value()) << "one player is still on";
    b->Close();
    EXPECT_EQ(m_host.WaitExit(5s), 0) << m_host.Stderr();
}

// A second signal ends the drain at once, closing those left.
TEST_F(HostLifecycle, ASecondSignalStopsAtOnce)
{
    StartHost({"--drain-timeout", "60"});
    auto a = EnterScene();
    m_host.Signal(SIGINT);
    ASSERT_TRUE(WaitMetric("corvane_draining", 1));
    m_host.Signal(SIGTERM);
    ASSERT_TRUE(a->WaitClosed(5s));
    EXPECT_EQ(a->CloseCode(), 1001);
    EXPECT_EQ(m_host.WaitExit(5s), 0) << m_host.Stderr();
    EXPECT_EQ(CountLines(m_host.Stdout(), "OnUserLogout"), 1) << m_host.Stdout();
}

TEST_F(HostLifecycle, SigintStopsAnIdleHost)
{
    StartHost();
    m_host.Signal(SIGINT);
    EXPECT_EQ(m_host.WaitExit(10s), 0) << m_host.Stderr();
}
