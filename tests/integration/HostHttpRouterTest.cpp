// The HTTP answers without a socket: every route, HEAD, errors, and the
// static files behind the router.
#include "net/HttpRouter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;
namespace http = boost::beast::http;

namespace {

// What a client would see of a response, whatever its body type.
struct CSeen {
    unsigned status = 0;
    std::string type;
    std::string body;
    std::optional<uint64_t> length;
    bool keepAlive = false;
    std::string allow;
    bool fromFile = false;
};

template <class Body>
CSeen SeeHeader(const http::response<Body>& res)
{
    CSeen seen;
    seen.status = res.result_int();
    seen.type = std::string(res[http::field::content_type]);
    if (res.find(http::field::content_length) != res.end()) {
        seen.length = std::stoull(std::string(res[http::field::content_length]));
    }
    seen.keepAlive = res.keep_alive();
    seen.allow = std::string(res[http::field::allow]);
    return seen;
}

CSeen See(CHttpResponse response)
{
    if (auto* text = std::get_if<http::response<http::string_body>>(&response)) {
        CSeen seen = SeeHeader(*text);
        seen.body = text->body();
        return seen;
    }
    if (auto* head = std::get_if<http::response<http::empty_body>>(&response)) {
        return SeeHeader(*head);
    }
    CSeen seen = SeeHeader(std::get<http::response<http::file_body>>(response));
    seen.fromFile = true;
    return seen;
}

CHttpRequest Request(std::string_view target, http::verb verb = http::verb::get)
{
    CHttpRequest req{verb, target, 11};
    req.set(http::field::host, "127.0.0.1");
    return req;
}

class HttpRouter : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "corvane-router-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = fs::canonical(pattern);
        fs::create_directories(m_folder / "root");
        std::ofstream(m_folder / "root" / "index.html") << "<p>hello</p>";
        std::ofstream(m_folder / "secret.txt") << "secret";
    }
    void TearDown() override { fs::remove_all(m_folder); }

    CHttpRouter Router(bool started = true)
    {
        return CHttpRouter(m_folder / "root", [started] { return std::string(started ? "" : "starting"); }, [] { return std::string("m 1\n"); });
    }

    fs::path m_folder;
};

} // namespace

TEST_F(HttpRouter, HealthMetricsAndTheGamePath)
{
    const CHttpRouter router = Router();
    const CSeen health = See(router.Route(Request("/healthz")));
    EXPECT_EQ(health.status, 200u);
    EXPECT_EQ(health.body, "ok\n");
    EXPECT_EQ(See(Router(false).Route(Request("/healthz"))).status, 503u);

    const CSeen metrics = See(router.Route(Request("/metrics?x=1")));
    EXPECT_EQ(metrics.status, 200u);
    EXPECT_EQ(metrics.body, "m 1\n");
    EXPECT_EQ(metrics.type, "text/plain; version=0.0.4; charset=utf-8");

    EXPECT_EQ(See(router.Route(Request("/ws"))).status, 426u);
    // A host outside a fleet has no worlds to list, and that is no error.
    const CSeen worlds = See(router.Route(Request("/worlds")));
    EXPECT_EQ(worlds.status, 204u);
    EXPECT_EQ(worlds.body, "");
    CHttpRequest upgrade = Request("/elsewhere");
    upgrade.set(http::field::connection, "Upgrade");
    upgrade.set(http::field::upgrade, "websocket");
    upgrade.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    upgrade.set(http::field::sec_websocket_version, "13");
    EXPECT_EQ(See(router.Route(upgrade)).status, 404u);
}

TEST_F(HttpRouter, MethodsHeadAndConnectionHandling)
{
    const CHttpRouter router = Router();
    const CSeen post = See(router.Route(Request("/healthz", http::verb::post)));
    EXPECT_EQ(post.status, 405u);
    EXPECT_EQ(post.allow, "GET, HEAD");

    // HEAD tells the length that GET would send, and sends nothing.
    const CSeen head = See(router.Route(Request("/healthz", http::verb::head)));
    EXPECT_EQ(head.status, 200u);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.length, 3u);
    const CSeen headFile = See(router.Route(Request("/index.html", http::verb::head)));
    EXPECT_FALSE(headFile.fromFile);
    EXPECT_EQ(headFile.length, 12u);

    EXPECT_TRUE(See(router.Route(Request("/healthz"))).keepAlive);
    CHttpRequest closing = Request("/healthz");
    closing.keep_alive(false);
    EXPECT_FALSE(See(router.Route(closing)).keepAlive);

    const CSeen bad = See(CHttpRouter::BadRequest());
    EXPECT_EQ(bad.status, 400u);
    EXPECT_FALSE(bad.keepAlive);
}

TEST_F(HttpRouter, StaticFilesAndTheirErrors)
{
    const CHttpRouter router = Router();
    const CSeen page = See(router.Route(Request("/")));
    EXPECT_EQ(page.status, 200u);
    EXPECT_TRUE(page.fromFile);
    EXPECT_EQ(page.length, 12u);
    EXPECT_EQ(page.type, "text/html; charset=utf-8");

    EXPECT_EQ(See(router.Route(Request("/missing.js"))).status, 404u);
    EXPECT_EQ(See(router.Route(Request("/../secret.txt"))).status, 403u);
    EXPECT_EQ(See(router.Route(Request("/%zz"))).status, 400u);
    // Without a web root every file is missing.
    const CHttpRouter bare(fs::path(), [] { return std::string(); }, [] { return std::string(); });
    EXPECT_EQ(See(bare.Route(Request("/index.html"))).status, 404u);
}
