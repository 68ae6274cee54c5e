// The resume pieces without the network: the Resume body, the ring of kept
// frames, the tokens, and the send queue's count of the module's frames.
#include "game/FrameRing.h"
#include "game/HostMessages.h"
#include "game/ResumeTokens.h"
#include "net/WsFraming.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string ResumeBody(std::string_view token, uint32_t frames, int count = -1)
{
    std::string body(1, static_cast<char>(count < 0 ? token.size() : static_cast<std::size_t>(count)));
    body += token;
    for (int i = 0; i < 4; ++i) {
        body.push_back(static_cast<char>((frames >> (8 * i)) & 0xFF));
    }
    return body;
}

std::optional<CResumeRequest> Parse(const std::string& body)
{
    return ParseResume(reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

std::shared_ptr<const std::string> Payload(std::size_t size, char fill = 'x')
{
    return std::make_shared<const std::string>(size, fill);
}

std::vector<char> KeptFrom(const CFrameRing& ring, uint64_t first)
{
    std::vector<char> out;
    ring.ForEachFrom(first, [&](const std::shared_ptr<const std::string>& frame) { out.push_back(frame->front()); });
    return out;
}

} // namespace

TEST(ResumeMessage, OnlyASixteenByteTokenAndAFrameCountAreAResume)
{
    const std::string token(16, 'T');
    const std::string body = ResumeBody(token, 0x01020304);
    const auto request = Parse(body);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->token, token);
    EXPECT_EQ(request->framesReceived, 0x01020304u);

    const std::string good = ResumeBody(token, 7);
    EXPECT_FALSE(Parse(""));
    EXPECT_FALSE(Parse(good.substr(0, good.size() - 1))) << "frame count cut short";
    EXPECT_FALSE(Parse(good + "x")) << "trailing byte";
    EXPECT_FALSE(Parse(ResumeBody(std::string(15, 'T'), 7))) << "short token";
    EXPECT_FALSE(Parse(ResumeBody(std::string(17, 'T'), 7))) << "long token";
    EXPECT_FALSE(Parse(ResumeBody(token, 7, 17))) << "count past the token";
    EXPECT_FALSE(Parse(ResumeBody(token + "x", 7, 16))) << "count that leaves a byte over";
}

TEST(FrameRing, KeepsTheNewestFramesWithinTheBoundAndNumbersThemAll)
{
    // Room for three 36-byte frames (100 bytes charged each).
    CFrameRing ring(300);
    for (char c = 'a'; c <= 'e'; ++c) {
        EXPECT_TRUE(ring.Push(Payload(36, c)));
    }
    EXPECT_EQ(ring.Sent(), 5u);
    EXPECT_EQ(ring.FirstKept(), 2u);
    EXPECT_EQ(ring.Charged(), 300u);
    EXPECT_EQ(KeptFrom(ring, 2), (std::vector<char>{'c', 'd', 'e'}));
    EXPECT_EQ(KeptFrom(ring, 4), (std::vector<char>{'e'}));
    EXPECT_TRUE(KeptFrom(ring, 5).empty());

    CFrameRing counting(0);
    EXPECT_TRUE(counting.Push(Payload(10)));
    EXPECT_EQ(counting.Sent(), 1u);
    EXPECT_EQ(counting.FirstKept(), 1u);
    EXPECT_EQ(counting.Charged(), 0u);
}

TEST(FrameRing, ProtectedFramesAreNeverDroppedButMayOverflow)
{
    CFrameRing ring(300);
    for (char c = 'a'; c <= 'c'; ++c) {
        ring.Push(Payload(36, c));
    }
    // The client may lack 'c' and what follows.
    ring.Protect(2);
    EXPECT_TRUE(ring.Push(Payload(36, 'd')));
    EXPECT_TRUE(ring.Push(Payload(36, 'e')));
    EXPECT_EQ(KeptFrom(ring, 2), (std::vector<char>{'c', 'd', 'e'}));
    EXPECT_FALSE(ring.Push(Payload(36, 'f'))) << "the unsent frames alone pass the bound";
    EXPECT_EQ(ring.FirstKept(), 2u);

    CFrameRing resumed(300);
    resumed.Protect(0);
    resumed.Push(Payload(36));
    resumed.Unprotect();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(resumed.Push(Payload(36)));
    }
    EXPECT_EQ(resumed.Charged(), 300u);
}

TEST(ResumeTokens, LiveTokensAreSixteenRandomBytesGoodForTheirUser)
{
    CResumeTokens tokens(10s, 8);
    const auto now = CResumeTokens::Clock::now();
    std::set<std::string> seen;
    for (uint32_t user = 1; user <= 50; ++user) {
        const std::string token = tokens.Issue(user);
        EXPECT_EQ(token.size(), kResumeTokenSize);
        EXPECT_TRUE(seen.insert(token).second);
        const auto found = tokens.Find(token, now);
        EXPECT_EQ(found.code, kResumeOk);
        EXPECT_EQ(found.userId, user);
    }
    EXPECT_EQ(tokens.Find(std::string(16, '\0'), now).code, kResumeUnknownToken);
    EXPECT_EQ(tokens.Find("", now).code, kResumeUnknownToken);

    // A new token replaces the user's old one, which is simply gone.
    const std::string first = tokens.Issue(7);
    const std::string second = tokens.Issue(7);
    EXPECT_EQ(tokens.Find(first, now).code, kResumeUnknownToken);
    EXPECT_EQ(tokens.Find(second, now).userId, 7u);
    EXPECT_EQ(tokens.Live(), 50u);
}

TEST(ResumeTokens, RetiredTokensTellWhyForAWhileAndABoundedNumber)
{
    const auto now = CResumeTokens::Clock::now();
    CResumeTokens tokens(10s, 2);
    const std::string used = tokens.Issue(1);
    const std::string expired = tokens.Issue(2);
    const std::string overflowed = tokens.Issue(3);
    tokens.Retire(1, kResumeTokenUsed, now);
    tokens.Retire(2, kResumeExpired, now);
    EXPECT_EQ(tokens.Find(used, now).code, kResumeTokenUsed);
    EXPECT_EQ(tokens.Find(expired, now).code, kResumeExpired);
    EXPECT_EQ(tokens.Find(used, now).userId, 0u);

    // The bound: the oldest is forgotten first.
    tokens.Retire(3, kResumeOverflow, now + 1s);
    EXPECT_EQ(tokens.Find(used, now + 1s).code, kResumeUnknownToken);
    EXPECT_EQ(tokens.Find(expired, now + 1s).code, kResumeExpired);
    EXPECT_EQ(tokens.Find(overflowed, now + 1s).code, kResumeOverflow);
    EXPECT_EQ(tokens.Retired(), 2u);
    // The memory: a window later they are unknown.
    EXPECT_EQ(tokens.Find(overflowed, now + 11s).code, kResumeUnknownToken);
    tokens.Retire(2, kResumeExpired, now + 12s); // no live token: nothing happens
    EXPECT_EQ(tokens.Retired(), 2u);
    tokens.Issue(4);
    tokens.Retire(4, kResumeExpired, now + 12s);
    EXPECT_EQ(tokens.Retired(), 1u) << "the old ones were dropped on the way";
    EXPECT_EQ(tokens.Live(), 0u);
}

TEST(WsSendQueue, CountsTheModuleFramesNotYetWrittenWhole)
{
    CWsSendQueue queue;
    const auto frame = std::make_shared<const std::string>(10, 'm');
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kBinary, frame, 1 << 20, false, true));
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kBinary, frame, 1 << 20)); // a host message
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kBinary, frame, 1 << 20, false, true));
    EXPECT_EQ(queue.Counted(), 2u);
    // Half of the first frame: still not written whole.
    queue.Written(5, [](EWsOpcode, std::size_t) {});
    EXPECT_EQ(queue.Counted(), 2u);
    queue.Written(7, [](EWsOpcode, std::size_t) {});
    EXPECT_EQ(queue.Counted(), 1u);
    queue.DropBacklog();
    EXPECT_EQ(queue.Counted(), 0u);
    queue.TryPush(EWsOpcode::kBinary, frame, 1 << 20, false, true);
    queue.Clear();
    EXPECT_EQ(queue.Counted(), 0u);
}

TEST(FrameRing, ClientCountsAreLocatedAcrossTheirThirtyTwoBitWrap)
{
    uint64_t first = 0;
    CFrameRing ring(1000);
    EXPECT_EQ(ring.Locate(0, first), CFrameRing::ECount::kKept);
    EXPECT_EQ(first, 0u);
    for (int i = 0; i < 20; ++i) {
        ring.Push(Payload(36)); // 100 bytes each: the last 10 are kept
    }
    EXPECT_EQ(ring.Locate(20, first), CFrameRing::ECount::kKept);
    EXPECT_EQ(first, 20u);
    EXPECT_EQ(ring.Locate(10, first), CFrameRing::ECount::kKept);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(ring.Locate(9, first), CFrameRing::ECount::kTooOld);
    EXPECT_EQ(ring.Locate(21, first), CFrameRing::ECount::kAhead);
    EXPECT_EQ(ring.Locate(UINT32_MAX, first), CFrameRing::ECount::kAhead);

    // 2^32 + 5 frames sent: the client's count has wrapped to 5.
    ring.StartAt((uint64_t{1} << 32) - 5);
    for (int i = 0; i < 10; ++i) {
        ring.Push(Payload(36, static_cast<char>('a' + i)));
    }
    EXPECT_EQ(ring.Locate(5, first), CFrameRing::ECount::kKept);
    EXPECT_EQ(first, (uint64_t{1} << 32) + 5);
    EXPECT_EQ(ring.Locate(UINT32_MAX - 2, first), CFrameRing::ECount::kKept) << "before the wrap";
    EXPECT_EQ(first, (uint64_t{1} << 32) - 3);
    EXPECT_EQ(KeptFrom(ring, first), (std::vector<char>{'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}));
    EXPECT_EQ(ring.Locate(UINT32_MAX - 5, first), CFrameRing::ECount::kTooOld);
    EXPECT_EQ(ring.Locate(6, first), CFrameRing::ECount::kAhead);
}
