#include "Chaos.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::chrono_literals;

TEST(ResumeMessages, AnswersAreReadOnlyWhole)
{
    const auto ack = ParseResumeAck(std::string("\x03\x00\x00\x00\x07\x00\x00\x00", 8));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->code, 3);
    EXPECT_EQ(ack->userId, 7u);
    EXPECT_FALSE(ParseResumeAck(std::string(7, '\0')));

    const std::string token(kResumeTokenSize, 'k');
    EXPECT_EQ(ParseResumeToken("\x10" + token), token);
    EXPECT_FALSE(ParseResumeToken("\x10" + token.substr(1)));
    EXPECT_FALSE(ParseResumeToken("\x0f" + token.substr(1)));
    EXPECT_FALSE(ParseResumeToken(""));

    EXPECT_EQ(ResumeCodeName(0), "ok");
    EXPECT_EQ(ResumeCodeName(6), "frames_ahead");
    EXPECT_EQ(ResumeCodeName(8), "off");
    EXPECT_EQ(ResumeCodeName(9), "code 9");
    EXPECT_EQ(ResumeCodeName(-1), "code -1");
}

TEST(CutSchedule, HandsOutTheRateEvenlyAndNeverTwice)
{
    const auto start = CCutSchedule::Clock::now();
    CCutSchedule cuts(10, start);
    EXPECT_EQ(cuts.Due(start), 0u);
    EXPECT_EQ(cuts.Due(start + 99ms), 0u);
    EXPECT_EQ(cuts.Due(start + 100ms), 1u);
    EXPECT_EQ(cuts.Due(start + 150ms), 0u);
    // A late look gets everything that fell due meanwhile, once.
    EXPECT_EQ(cuts.Due(start + 2s), 19u);
    EXPECT_EQ(cuts.Due(start + 2s), 0u);
    CCutSchedule none(0, start);
    EXPECT_EQ(none.Due(start + 10s), 0u);
}
