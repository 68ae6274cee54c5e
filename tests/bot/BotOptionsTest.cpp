#include "BotOptions.h"
#include "BotResult.h"
#include "ProcStats.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

#include <unistd.h>

TEST(BotMix, ParsesWeightsAndPicksByThem)
{
    std::string error;
    const auto mix = ParseMix("move=90,attack=5,area=3,talk=2", error);
    ASSERT_TRUE(mix) << error;
    EXPECT_EQ(mix->Total(), 100u);
    EXPECT_EQ(mix->Pick(0), EAction::kMove);
    EXPECT_EQ(mix->Pick(89), EAction::kMove);
    EXPECT_EQ(mix->Pick(90), EAction::kAttack);
    EXPECT_EQ(mix->Pick(95), EAction::kArea);
    EXPECT_EQ(mix->Pick(98), EAction::kTalk);
    EXPECT_EQ(mix->Pick(99), EAction::kTalk);

    const auto only = ParseMix("talk=1", error);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->Pick(0), EAction::kTalk);
}

TEST(BotMix, RejectsMalformedMixes)
{
    for (const char* text : {"", "move=0", "walk=3", "move", "move=x", "move=-1", "move=1,move=2", "move=1,,talk=1"}) {
        std::string error;
        EXPECT_FALSE(ParseMix(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(BotUrl, SplitsHostPortAndPath)
{
    std::string error;
    auto url = ParseWsUrl("ws://127.0.0.1:7780/ws", error);
    ASSERT_TRUE(url) << error;
    EXPECT_EQ(url->host, "127.0.0.1");
    EXPECT_EQ(url->port, 7780);
    EXPECT_EQ(url->target, "/ws");

    url = ParseWsUrl("ws://[::1]:9000/game/ws", error);
    ASSERT_TRUE(url) << error;
    EXPECT_EQ(url->host, "::1");
    EXPECT_EQ(url->port, 9000);
    EXPECT_EQ(url->target, "/game/ws");

    url = ParseWsUrl("ws://localhost", error);
    ASSERT_TRUE(url) << error;
    EXPECT_EQ(url->port, 80);
    EXPECT_EQ(url->target, "/");

    for (const char* bad : {"http://h:1/ws", "ws://:80/ws", "ws://h:/ws", "ws://h:0/", "ws://h:70000/", "ws://[::1/"}) {
        EXPECT_FALSE(ParseWsUrl(bad, error)) << bad;
    }
}

TEST(BotResult, JsonCarriesEveryKeyScriptsRelyOn)
{
    CBotResult r;
    r.users = 3;
    r.counters.entered = 3;
    r.counters.decoding = 3;
    r.counters.movesSent = 10;
    r.counters.movesAnswered = 10;
    r.counters.closes[1008] = 2;
    r.durationS = 2;
    r.loadBytes = 600;
    r.loadDecoded = 6000;
    for (uint64_t v = 1000; v <= 10000; v += 1000) {
        r.moves.Record(v);
    }
    std::ostringstream json;
    WriteJson(json, r);
    const std::string text = json.str();
    for (const char* key : {"users", "users_entered", "moves_sent", "moves_answered", "move_p50_ms", "move_p99_ms",
                            "move_p999_ms", "move_max_ms", "attacks_sent", "attacks_answered", "attack_p99_ms",
                            "frames_received", "bytes_received", "closes", "duration_s", "bot_cpu_s"}) {
        EXPECT_NE(text.find("\"" + std::string(key) + "\": "), std::string::npos) << key;
    }
    EXPECT_NE(text.find("\"closes\": {\"1008\": 2}"), std::string::npos) << text;
    EXPECT_NE(text.find("\"move_max_ms\": 10.000"), std::string::npos) << text;
    EXPECT_NE(text.find("\"server_cpu_s\": null"), std::string::npos) << text;
    // Per player and second of load: 600 bytes over 2 s and 3 players.
    EXPECT_NE(text.find("\"wire_bytes_per_user_s\": 100,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"decoded_bytes_per_user_s\": 1000,"), std::string::npos) << text;
    EXPECT_FALSE(r.Failed());
}

TEST(BotResult, AnyRefusalCutOffOrUnansweredMoveFailsTheRun)
{
    CBotResult ok;
    ok.users = 2;
    ok.counters.entered = 2;
    EXPECT_FALSE(ok.Failed());
    CBotResult r = ok;
    r.counters.entered = 1;
    EXPECT_TRUE(r.Failed());
    r = ok;
    r.counters.cutOff = 1;
    EXPECT_TRUE(r.Failed());
    r = ok;
    r.movesUnanswered = 1;
    EXPECT_TRUE(r.Failed());
    r = ok;
    r.counters.movesSkipped = 1;
    EXPECT_TRUE(r.Failed());
}

TEST(BotResult, HtmlReportIsSelfContained)
{
    CBotResult r;
    r.url = "ws://h/<x>";
    r.moves.Record(1500);
    r.seconds.push_back({1.0, 5, 5, 0, 1.5, 1.5, 1200, 9000, 0.25});
    std::ostringstream html;
    WriteHtml(html, r);
    const std::string text = html.str();
    EXPECT_NE(text.find("<svg"), std::string::npos);
    EXPECT_NE(text.find("ws://h/&lt;x&gt;"), std::string::npos);
    EXPECT_NE(text.find("KB per player per second"), std::string::npos);
    EXPECT_EQ(text.find("<script"), std::string::npos);
    EXPECT_EQ(text.find("src="), std::string::npos);
    EXPECT_EQ(text.find("href="), std::string::npos);
}

TEST(BotSample, ExactlyTheSampleDecodesSpreadOverThePlayers)
{
    CBotOptions o;
    o.users = 155;
    EXPECT_TRUE(o.Decodes(0));
    EXPECT_TRUE(o.Decodes(154));
    EXPECT_EQ(o.DecodingUsers(), 155u);
    for (const uint32_t sample : {1u, 2u, 10u, 31u, 154u}) {
        o.decodeSample = sample;
        std::vector<uint32_t> decoding;
        for (uint32_t i = 0; i < o.users; ++i) {
            if (o.Decodes(i)) {
                decoding.push_back(i);
            }
        }
        ASSERT_EQ(decoding.size(), sample) << sample;
        EXPECT_EQ(o.DecodingUsers(), sample);
        // Not bunched at the start: no gap between two of them is more than
        // one above an even share.
        for (std::size_t k = 1; k < decoding.size(); ++k) {
            EXPECT_LE(decoding[k] - decoding[k - 1], o.users / sample + 1) << sample;
        }
    }
    o.decodeSample = 500;
    EXPECT_TRUE(o.Decodes(154));
    EXPECT_EQ(o.DecodingUsers(), 155u);
}

// 10 players, 2 of them decoding: the checked counts and the decoded bytes
// are the sample's, the bytes on the wire everybody's, and the moves of the
// others are reported apart and neither fail nor pass the run.
TEST(BotSample, ResultKeepsTheSampleApartFromTheRest)
{
    CBotResult r;
    r.users = 10;
    r.decodeSample = 2;
    r.counters.entered = 10;
    r.counters.decoding = 2;
    r.counters.movesSent = 60;
    r.counters.movesAnswered = 60;
    r.counters.movesUnchecked = 240;
    r.counters.attacksUnchecked = 7;
    r.durationS = 2;
    r.loadBytes = 2000;
    r.loadDecoded = 8000;
    r.moves.Record(4000);
    r.seconds.push_back({1.0, 30, 30, 120, 4.0, 4.0, 1000, 2000, std::nullopt});
    EXPECT_FALSE(r.Failed());
    EXPECT_DOUBLE_EQ(r.WireBytesPerUserS(), 100);
    EXPECT_DOUBLE_EQ(r.DecodedBytesPerUserS(), 2000);

    std::ostringstream json;
    WriteJson(json, r);
    const std::string text = json.str();
    for (const char* pair : {"\"moves_sent\": 60,", "\"moves_answered\": 60,", "\"moves_unanswered\": 0,",
                             "\"moves_sent_unchecked\": 240,", "\"attacks_sent_unchecked\": 7,",
                             "\"decode_sample\": 2,", "\"users_decoding\": 2,", "\"wire_bytes_per_user_s\": 100,",
                             "\"decoded_bytes_per_user_s\": 2000,", "\"moves_unchecked\": 120,"}) {
        EXPECT_NE(text.find(pair), std::string::npos) << pair << "\n" << text;
    }

    std::ostringstream summary;
    WriteSummary(summary, r);
    EXPECT_NE(summary.str().find("2 players decode everything"), std::string::npos) << summary.str();
    EXPECT_NE(summary.str().find("240 moves and 7 attacks they sent are not checked"), std::string::npos)
        << summary.str();

    std::ostringstream html;
    WriteHtml(html, r);
    EXPECT_NE(html.str().find("unchecked sent/s"), std::string::npos);

    r.movesUnanswered = 1;
    EXPECT_TRUE(r.Failed());
}

TEST(BotSample, WithoutASampleNothingIsSaidAboutIt)
{
    CBotResult r;
    r.users = 2;
    r.counters.entered = 2;
    r.counters.decoding = 2;
    std::ostringstream summary;
    WriteSummary(summary, r);
    EXPECT_EQ(summary.str().find("sample"), std::string::npos) << summary.str();
    std::ostringstream html;
    WriteHtml(html, r);
    EXPECT_EQ(html.str().find("unchecked"), std::string::npos);
}

TEST(ProcStats, ReadsAProcessAndNothingForOneThatIsGone)
{
    const auto rss = ProcessRssKiB(getpid());
    ASSERT_TRUE(rss);
    EXPECT_GT(*rss, 0u);
    EXPECT_TRUE(ProcessCpuSeconds(getpid()));
    EXPECT_FALSE(ProcessCpuSeconds(0x7FFFFFF0));
    EXPECT_FALSE(ProcessRssKiB(0x7FFFFFF0));
}
