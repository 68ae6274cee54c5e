#include "MoveTracker.h"

#include "archive/Endian.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Clock = CMoveTracker::Clock;

// A whole PoseList message with these entries.
std::vector<uint8_t> PoseList(const std::vector<ObjPos>& poses)
{
    std::vector<uint8_t> message = {0x63, 0x00, 0x02, 0x00, static_cast<uint8_t>(poses.size())};
    for (const ObjPos& p : poses) {
        uint8_t record[ObjPos::kWireSize];
        p.EncodeTo(record);
        message.insert(message.end(), record, record + sizeof record);
    }
    return message;
}

std::span<const uint8_t> Entries(const std::vector<uint8_t>& message)
{
    const auto entries = PoseListEntries(message.data(), message.size());
    EXPECT_TRUE(entries);
    return entries.value_or(std::span<const uint8_t>{});
}

} // namespace

TEST(PoseListEntries, AcceptsExactlyTheBytesTheCountAnnounces)
{
    const std::vector<uint8_t> two = PoseList({{1, 1, 0, 0}, {7, 0, 3, 4}});
    ASSERT_EQ(Entries(two).size(), 18u);
    // A trailing byte is tolerated; a missing one is not.
    std::vector<uint8_t> longer = two;
    longer.push_back(0);
    EXPECT_TRUE(PoseListEntries(longer.data(), longer.size()));
    EXPECT_FALSE(PoseListEntries(two.data(), two.size() - 1));
    const uint8_t noCount[4] = {0x63, 0x00, 0x02, 0x00};
    EXPECT_FALSE(PoseListEntries(noCount, sizeof noCount));
    const uint8_t empty[5] = {0x63, 0x00, 0x02, 0x00, 0x00};
    ASSERT_TRUE(PoseListEntries(empty, sizeof empty));
    EXPECT_TRUE(PoseListEntries(empty, sizeof empty)->empty());
}

TEST(MoveTracker, TargetsAreNeverTheCurrentCellNorAPendingOne)
{
    std::mt19937 rng(3);
    CMoveTracker tracker;
    tracker.SetPosition({20, 20});
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 300; ++i) {
        const Pos target = tracker.PickTarget(rng);
        EXPECT_FALSE(target == tracker.Position());
        EXPECT_GE(target.x, 0);
        EXPECT_LT(target.x, CMoveTracker::kGridSize);
        EXPECT_GE(target.y, 0);
        EXPECT_LT(target.y, CMoveTracker::kGridSize);
        tracker.Sent(target, t0);
    }
    // 300 distinct pending targets: a repeat would have matched the wrong move.
    EXPECT_EQ(tracker.Pending(), 300u);
}

TEST(MoveTracker, TheFirstPoseListShowingThePlayerThereAnswersTheMove)
{
    CMoveTracker tracker;
    tracker.SetPosition({20, 20});
    const Clock::time_point t0 = Clock::now();
    tracker.Sent({5, 7}, t0);
    tracker.Sent({9, 9}, t0 + std::chrono::milliseconds(1));

    // Another player on the target, and this player still on its old cell
    // (a tick taken before the move): no answer.
    EXPECT_FALSE(tracker.OnPoseList(Entries(PoseList({{2, 0, 5, 7}, {1, 0, 20, 20}})), 1, t0));
    // An object of another kind with the player's id does not count either.
    EXPECT_FALSE(tracker.OnPoseList(Entries(PoseList({{1, 1, 5, 7}})), 1, t0));
    EXPECT_EQ(tracker.Pending(), 2u);

    const auto first = tracker.OnPoseList(Entries(PoseList({{3, 1, 0, 0}, {1, 0, 5, 7}})), 1,
                                          t0 + std::chrono::microseconds(1500));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->micros, 1500u);
    EXPECT_EQ(first->skipped, 0u);
    EXPECT_EQ(tracker.Pending(), 1u);
    EXPECT_TRUE(tracker.Position() == (Pos{5, 7}));

    // The same list again answers nothing more.
    EXPECT_FALSE(tracker.OnPoseList(Entries(PoseList({{1, 0, 5, 7}})), 1, t0 + std::chrono::milliseconds(2)));
}

TEST(MoveTracker, AnAnswerToALaterMoveCountsTheOlderOnesAsLost)
{
    CMoveTracker tracker;
    const Clock::time_point t0 = Clock::now();
    tracker.Sent({1, 1}, t0);
    tracker.Sent({2, 2}, t0);
    tracker.Sent({3, 3}, t0 + std::chrono::milliseconds(1));
    const auto answer = tracker.OnPoseList(Entries(PoseList({{4, 0, 3, 3}})), 4, t0 + std::chrono::milliseconds(3));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->skipped, 2u);
    EXPECT_EQ(answer->micros, 2000u);
    EXPECT_FALSE(tracker.Waiting());
}

TEST(MoveTracker, MovesSentIntoADeadLinkCountApartWhenTheyGoUnanswered)
{
    CMoveTracker tracker;
    const Clock::time_point t0 = Clock::now();
    tracker.Sent({1, 1}, t0);
    tracker.Sent({2, 2}, t0);
    tracker.MarkInDeadLink();
    tracker.Sent({3, 3}, t0);
    EXPECT_EQ(tracker.PendingInDeadLink(), 2u);
    // The first reached the host before the link died: answered as usual.
    ASSERT_TRUE(tracker.OnPoseList(Entries(PoseList({{4, 0, 1, 1}})), 4, t0));
    EXPECT_EQ(tracker.PendingInDeadLink(), 1u);
    // The second never did: the answer to the move after the resume overtakes it.
    const auto answer = tracker.OnPoseList(Entries(PoseList({{4, 0, 3, 3}})), 4, t0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->skipped, 0u);
    EXPECT_EQ(answer->skippedInDeadLink, 1u);
    EXPECT_EQ(tracker.PendingInDeadLink(), 0u);
}
