// The plain HTTP side of the host: health, metrics and static files.
#include "HostFixture.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

using HostHttp = CHostFixture;

TEST_F(HostHttp, HealthAndMetricsAnswer)
{
    StartHost();
    const CHttpReply health = Get("/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok\n");

    const CHttpReply metrics = Get("/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.contentType.rfind("text/plain", 0), 0u);
    for (const char* name :
         {"corvane_users_online", "corvane_logins_total", "corvane_messages_received_total",
          "corvane_messages_dropped_total", "corvane_recv_failures_total", "corvane_messages_sent_total",
          "corvane_bytes_sent_total", "corvane_tick_duration_seconds", "corvane_connections_closed_total"}) {
        EXPECT_NE(metrics.body.find(std::string("# TYPE ") + name + " "), std::string::npos) << name;
    }
    EXPECT_NE(metrics.body.find("corvane_tick_duration_seconds_bucket{le=\"+Inf\"}"), std::string::npos);
}

TEST_F(HostHttp, SentMessagesAndBytesAreCounted)
{
    StartHost();
    auto client = LogIn(); // LoginAck: 12 bytes, ResumeToken: 21
    ASSERT_TRUE(client->Send(kHostModuleId, kCmdPing, "12345"));
    ASSERT_TRUE(client->WaitFor(kHostModuleId, kMsgPong, 3s)); // Pong: 9 bytes
    EXPECT_TRUE(WaitMetric("corvane_messages_sent_total", 3));
    EXPECT_EQ(Metric("corvane_bytes_sent_total"), 42);
}

TEST_F(HostHttp, StaticFilesNeverLeaveTheWebRoot)
{
    const fs::path site = m_host.Folder() / "site";
    fs::create_directories(site / "sub");
    std::ofstream(site / "index.html") << "<h1>front page</h1>";
    std::ofstream(site / "sub" / "page.txt") << "inner page";
    std::ofstream(m_host.Folder() / "secret.txt") << "TOP SECRET";
    fs::create_symlink(m_host.Folder() / "secret.txt", site / "link.txt");
    StartHost({"--web-root", site.string()});

    const CHttpReply front = Get("/");
    EXPECT_EQ(front.status, 200);
    EXPECT_EQ(front.body, "<h1>front page</h1>");
    EXPECT_EQ(front.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(Get("/index.html?v=2").body, "<h1>front page</h1>");
    EXPECT_EQ(Get("/sub/page.txt").body, "inner page");
    EXPECT_EQ(Get("/sub/").status, 404); // no index.html there
    EXPECT_EQ(Get("/missing.js").status, 404);

    for (const char* target : {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt",
                               "/..%2fsecret.txt", "/%2e%2e%2fsecret.txt", "/sub/%2e%2e/%2e%2e/secret.txt",
                               "/sub/..%5c..%5csecret.txt", "/link.txt", "/%00", "/%zz", "../secret.txt"}) {
        SCOPED_TRACE(target);
        const CHttpReply reply = Get(target);
        EXPECT_GE(reply.status, 400);
        EXPECT_EQ(reply.body.find("TOP SECRET"), std::string::npos);
    }
}

TEST_F(HostHttp, WebSocketUpgradeOnlyAtWs)
{
    StartHost();
    EXPECT_EQ(Get("/ws").status, 426);
    CGameClient client;
    CConnectOptions options;
    options.port = m_host.Port();
    options.path = "/elsewhere";
    EXPECT_THROW(client.Connect(options), CClientError);
}
