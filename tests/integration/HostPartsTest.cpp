// The host's pieces without networking: option parsing and checks, the
// client's header and Login body, the token bucket, the token file and its
// hash, static path lookup, the byte rate windows and the metrics text.
#include "HostOptions.h"
#include "game/HostMessages.h"
#include "game/SipHash.h"
#include "game/TokenList.h"
#include "net/ServerContext.h"
#include "net/StaticFiles.h"
#include "net/TokenBucket.h"
#include "ops/Metrics.h"
#include "ops/RateWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(HostOptions, ByteSizesTakeBinaryUnits)
{
    EXPECT_EQ(ParseByteSize("4096"), 4096u);
    EXPECT_EQ(ParseByteSize("64KiB"), 64u * 1024);
    EXPECT_EQ(ParseByteSize("1MiB"), 1024u * 1024);
    EXPECT_EQ(ParseByteSize("1mb"), 1024u * 1024);
    EXPECT_EQ(ParseByteSize("2G"), std::size_t{2} << 30);
    for (const char* bad : {"", "MiB", "1XB", "-1", "1 MiB", "99999999999999999999", "17179869184GiB"}) {
        EXPECT_THROW(ParseByteSize(bad), std::invalid_argument) << bad;
    }
}

TEST(HostOptions, ListenAddressesSplitIntoHostAndPort)
{
    std::string host;
    uint16_t port = 0;
    ParseListenAddress("127.0.0.1:7780", host, port);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 7780);
    ParseListenAddress("[::1]:0", host, port);
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    ParseListenAddress("localhost:65535", host, port);
    EXPECT_EQ(host, "localhost");
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"7780", ":7780", "host:", "host:65536", "host:80x", "::1:80", "[]:80"}) {
        EXPECT_THROW(ParseListenAddress(bad, host, port), std::invalid_argument) << bad;
    }
}

TEST(HostMessages, HeaderNeedsFourBytesReadLittleEndian)
{
    const uint8_t msg[] = {0x63, 0x00, 0x02, 0x01, 0xFF};
    EXPECT_FALSE(ReadClientHeader(msg, 3));
    const std::optional<CClientHeader> header = ReadClientHeader(msg, sizeof(msg));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->moduleId, 99);
    EXPECT_EQ(header->cmd, 0x0102);
}

TEST(HostMessages, LoginTokenIsACountedStringInsideTheBody)
{
    const uint8_t body[] = {0x03, 'a', 'b', 'c', 'x'};
    EXPECT_FALSE(ParseLoginToken(body, 0));
    EXPECT_FALSE(ParseLoginToken(body, 3)) << "count 3 with only 2 bytes after it";
    EXPECT_EQ(ParseLoginToken(body, 4), "abc");
    EXPECT_EQ(ParseLoginToken(body, sizeof(body)), "abc") << "bytes after the token are ignored";
    const uint8_t empty[] = {0x00};
    EXPECT_EQ(ParseLoginToken(empty, 1), "");
    const uint8_t longest[256] = {0xFF};
    EXPECT_EQ(ParseLoginToken(longest, 256)->size(), 255u);
    EXPECT_FALSE(ParseLoginToken(longest, 255));
}

TEST(HostOptions, SettingsThatBreakTheGameAreRefused)
{
    const CHostOptions defaults;
    EXPECT_EQ(CheckOptions(defaults), "");

    const auto check = [&](auto change) {
        CHostOptions options = defaults;
        change(options);
        return CheckOptions(options);
    };
    EXPECT_EQ(check([](CHostOptions& o) { o.maxUsers = 155; }), "");
    EXPECT_NE(check([](CHostOptions& o) { o.maxUsers = 156; }).find("--max-users 156"), std::string::npos);
    EXPECT_NE(check([](CHostOptions& o) { o.maxUsers = 0; }), "");
    EXPECT_EQ(check([](CHostOptions& o) { o.maxFrame = 260; }), "");
    EXPECT_NE(check([](CHostOptions& o) { o.maxFrame = 259; }).find("--max-frame"), std::string::npos);
    EXPECT_NE(check([](CHostOptions& o) { o.maxFrame = (std::size_t{64} << 20) + 1; }), "");
    EXPECT_EQ(check([](CHostOptions& o) { o.sendQueue = 16 * 1024; }), "");
    EXPECT_NE(check([](CHostOptions& o) { o.sendQueue = 16 * 1024 - 1; }).find("--send-queue"), std::string::npos);
    EXPECT_NE(check([](CHostOptions& o) { o.maxPending = 0; }).find("--max-pending"), std::string::npos);
    EXPECT_NE(check([](CHostOptions& o) { o.maxPendingPerAddress = 0; }).find("--max-pending-per-address"),
              std::string::npos);
}

TEST(TokenBucket, AllowsTheBurstThenTheRate)
{
    const auto t0 = CTokenBucket::Clock::time_point{} + 1h;
    CTokenBucket bucket(2.0, 3.0, t0);
    EXPECT_TRUE(bucket.TryTake(t0));
    EXPECT_TRUE(bucket.TryTake(t0));
    EXPECT_TRUE(bucket.TryTake(t0));
    EXPECT_FALSE(bucket.TryTake(t0));
    EXPECT_FALSE(bucket.TryTake(t0 + 400ms)); // 0.8 of a token
    EXPECT_TRUE(bucket.TryTake(t0 + 500ms));  // 1.0
    EXPECT_FALSE(bucket.TryTake(t0 + 500ms));
    // A long pause refills up to the burst, not beyond.
    const auto later = t0 + 1h;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(bucket.TryTake(later));
    }
    EXPECT_FALSE(bucket.TryTake(later));
}

// Each test gets a folder of its own.
class CTempFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "corvane-parts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path m_folder;
};

using TokenList = CTempFolderTest;

TEST_F(TokenList, AcceptsWholeLinesOnly)
{
    const fs::path file = m_folder / "tokens";
    std::ofstream(file) << "s3cret\r\n\nother\nlast-without-newline";
    const CTokenList tokens = CTokenList::Load(file);
    EXPECT_EQ(tokens.Size(), 3u);
    EXPECT_TRUE(tokens.Accepts("s3cret"));
    EXPECT_TRUE(tokens.Accepts("other"));
    EXPECT_TRUE(tokens.Accepts("last-without-newline"));
    for (const char* bad : {"", "s3cre", "s3cret\r", "s3crett", "S3CRET", "othe"}) {
        EXPECT_FALSE(tokens.Accepts(bad)) << bad;
    }
}

TEST(TokenListHash, SipHashMatchesThePublishedVector)
{
    const CSipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::string message;
    for (char c = 0; c < 15; ++c) {
        message.push_back(c);
    }
    EXPECT_EQ(SipHash24(key, message), 0xa129ca6149be45e5ULL);
    EXPECT_EQ(SipHash24(key, ""), 0x726fdb47dd0e0e31ULL);
}

// A scan of the whole list per login takes milliseconds at this size: the
// lookups below would then outlast the test's timeout many times over.
TEST(TokenListHash, LookupsDoNotScanTheList)
{
    constexpr int kTokens = 200'000;
    std::vector<std::string> lines;
    lines.reserve(kTokens);
    for (int i = 0; i < kTokens; ++i) {
        lines.push_back("token-" + std::to_string(i) + "-0123456789abcdef0123456789abcdef");
    }
    const CTokenList tokens(lines);
    ASSERT_EQ(tokens.Size(), static_cast<std::size_t>(kTokens));
    int accepted = 0;
    for (int i = 0; i < 20'000; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i * 7919 % kTokens)];
        accepted += tokens.Accepts(line) ? 1 : 0;
        accepted += tokens.Accepts(line + "x") ? 1 : 0;
        accepted += tokens.Accepts(line.substr(1)) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 20'000);
}

TEST_F(TokenList, MissingFileNamesThePath)
{
    const fs::path file = m_folder / "absent";
    try {
        CTokenList::Load(file);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
    }
}

class StaticFiles : public CTempFolderTest {
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        m_root = fs::canonical(m_folder) / "root";
        fs::create_directories(m_root / "js");
        std::ofstream(m_root / "index.html") << "i";
        std::ofstream(m_root / "js" / "app.js") << "a";
        std::ofstream(m_folder / "outside.txt") << "o";
    }

    fs::path m_root;
};

TEST_F(StaticFiles, FindsFilesAndIndexPages)
{
    EXPECT_EQ(LookUpStaticFile(m_root, "/").file, m_root / "index.html");
    EXPECT_EQ(LookUpStaticFile(m_root, "/js/app.js?x=1#top").file, m_root / "js" / "app.js");
    EXPECT_EQ(LookUpStaticFile(m_root, "/js/./app%2Ejs").file, m_root / "js" / "app.js");
    EXPECT_EQ(LookUpStaticFile(m_root, "//js//app.js").result, EStaticLookup::Found);
    EXPECT_EQ(LookUpStaticFile(m_root, "/js/").result, EStaticLookup::NotFound);
    EXPECT_EQ(LookUpStaticFile(m_root, "/nope.css").result, EStaticLookup::NotFound);
    EXPECT_EQ(LookUpStaticFile(fs::path(), "/index.html").result, EStaticLookup::NotFound);
}

TEST_F(StaticFiles, RefusesEveryWayOut)
{
    fs::create_symlink(m_folder / "outside.txt", m_root / "escape.txt");
    fs::create_directory_symlink(m_folder, m_root / "up");
    for (const char* target :
         {"/../outside.txt", "/js/../../outside.txt", "/%2e%2e/outside.txt", "/%2E%2e%2Foutside.txt", "/js/..",
          "/a\\..\\outside.txt", "/escape.txt", "/up/outside.txt"}) {
        EXPECT_EQ(LookUpStaticFile(m_root, target).result, EStaticLookup::Forbidden) << target;
    }
    for (const char* target : {"index.html", "", "/%", "/%2", "/%g0", "/a%00b"}) {
        EXPECT_EQ(LookUpStaticFile(m_root, target).result, EStaticLookup::BadTarget) << target;
    }
}

TEST(StaticFilesContentType, KnownAndUnknownExtensions)
{
    EXPECT_EQ(ContentTypeFor("a/index.HTML"), "text/html; charset=utf-8");
    EXPECT_EQ(ContentTypeFor("app.mjs"), "text/javascript; charset=utf-8");
    EXPECT_EQ(ContentTypeFor("blob"), "application/octet-stream");
}

TEST(RateWindow, TellsTheLastWholeSecond)
{
    const auto t0 = CRateWindow::Clock::time_point{} + 100s;
    CRateWindow window;
    EXPECT_EQ(window.LastSecond(t0), 0u);
    window.Add(10, t0);
    window.Add(5, t0 + 900ms);
    EXPECT_EQ(window.LastSecond(t0 + 900ms), 0u); // that second is not over
    EXPECT_EQ(window.LastSecond(t0 + 1s), 15u);
    window.Add(7, t0 + 1500ms);
    EXPECT_EQ(window.LastSecond(t0 + 1900ms), 15u);
    EXPECT_EQ(window.LastSecond(t0 + 2s), 7u);
    EXPECT_EQ(window.LastSecond(t0 + 3s), 0u); // a silent second
    window.Add(1, t0 + 5s);                    // after a gap, nothing carries over
    EXPECT_EQ(window.LastSecond(t0 + 5s), 0u);
    EXPECT_EQ(window.LastSecond(t0 + 6s), 1u);
}

TEST(Metrics, PerUserByteRatesAndPendingConnections)
{
    const auto t0 = CRateWindow::Clock::time_point{} + 100s;
    CMetrics metrics;
    metrics.UserBytes(1).Add(1000, t0);
    metrics.UserBytes(1).Add(500, t0 + 10ms);
    metrics.UserBytes(2).Add(300, t0 + 20ms);
    std::string text = metrics.Render(2, 5, t0 + 1s);
    for (const char* line : {"corvane_connections_pending 5\n", "corvane_user_bytes_per_second{stat=\"mean\"} 900\n",
                             "corvane_user_bytes_per_second{stat=\"max\"} 1500\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    metrics.ForgetUser(1);
    text = metrics.Render(1, 0, t0 + 1s);
    EXPECT_NE(text.find("corvane_user_bytes_per_second{stat=\"max\"} 300\n"), std::string::npos) << text;
    metrics.ForgetUser(2);
    text = metrics.Render(0, 0, t0 + 1s);
    EXPECT_NE(text.find("corvane_user_bytes_per_second{stat=\"mean\"} 0\n"), std::string::npos) << text;
}

TEST(Metrics, RendersSeriesFromZeroAndCumulativeBuckets)
{
    CMetrics metrics;
    metrics.DeclareModule(99);
    std::string text = metrics.Render(0, 0);
    EXPECT_NE(text.find("corvane_recv_failures_total{module=\"99\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("corvane_logins_total{result=\"server_full\"} 0\n"), std::string::npos);

    metrics.CountLogin("ok");
    metrics.CountReceived(99);
    metrics.CountReceived(99);
    metrics.CountSent(12);
    metrics.CountSent(30);
    metrics.ObserveTick(0.0003);
    metrics.ObserveTick(2.0);
    text = metrics.Render(7, 0);
    for (const char* line :
         {"corvane_users_online 7\n", "corvane_logins_total{result=\"ok\"} 1\n",
          "corvane_messages_received_total{module=\"99\"} 2\n", "corvane_messages_sent_total 2\n",
          "corvane_bytes_sent_total 42\n", "corvane_tick_duration_seconds_bucket{le=\"0.00025\"} 0\n",
          "corvane_tick_duration_seconds_bucket{le=\"0.0005\"} 1\n",
          "corvane_tick_duration_seconds_bucket{le=\"1\"} 1\n", "corvane_tick_duration_seconds_bucket{le=\"+Inf\"} 2\n",
          "corvane_tick_duration_seconds_sum 2.0003\n", "corvane_tick_duration_seconds_count 2\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

namespace {

// A pending connection that leaves the set when evicted, as a session does.
class CFakePending final : public IPendingSession {
public:
    CFakePending(CPendingConnections& set, std::string address) : m_set(set), m_handle(set.Add(*this, std::move(address)))
    {
    }
    void Evict() override
    {
        evicted = true;
        m_set.Remove(m_handle);
    }
    bool Evictable() const override { return !checkingLogin; }

    bool evicted = false;
    bool checkingLogin = false;

private:
    CPendingConnections& m_set;
    CPendingConnections::CHandle m_handle;
};

} // namespace

TEST(PendingConnections, TheOldestMakesWayAndOneAddressOnlyPushesOutItsOwn)
{
    CPendingConnections set(3, 2);
    std::vector<std::unique_ptr<CFakePending>> all;
    const auto arrive = [&](const std::string& address) {
        if (!set.MakeRoom(address)) {
            return false;
        }
        all.push_back(std::make_unique<CFakePending>(set, address));
        return true;
    };
    ASSERT_TRUE(arrive("10.0.0.1"));
    ASSERT_TRUE(arrive("10.0.0.2"));
    ASSERT_TRUE(arrive("10.0.0.2"));
    EXPECT_EQ(set.Size(), 3u);

    // Full: the oldest of all goes, whoever comes.
    ASSERT_TRUE(arrive("10.0.0.3"));
    EXPECT_TRUE(all[0]->evicted);
    EXPECT_EQ(set.Size(), 3u);

    // An address at its share pushes out its own oldest, not another's.
    ASSERT_TRUE(arrive("10.0.0.2"));
    EXPECT_TRUE(all[1]->evicted);
    EXPECT_FALSE(all[2]->evicted);
    EXPECT_FALSE(all[3]->evicted);

    // A connection whose Login is being checked is passed over; when every
    // candidate is, the newcomer is refused.
    all[2]->checkingLogin = true;
    ASSERT_TRUE(arrive("10.0.0.2"));
    EXPECT_FALSE(all[2]->evicted);
    EXPECT_TRUE(all[4]->evicted);
    all[5]->checkingLogin = true;
    EXPECT_FALSE(arrive("10.0.0.2"));
    EXPECT_EQ(set.Size(), 3u);
    ASSERT_TRUE(arrive("10.0.0.4"));
    EXPECT_TRUE(all[3]->evicted) << "the oldest that can go";
}
