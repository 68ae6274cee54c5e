#include "StreamCheck.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

// Frames [from, to) of a stream in which every frame differs.
std::vector<uint64_t> Frames(uint64_t from, uint64_t to)
{
    std::vector<uint64_t> out;
    for (uint64_t i = from; i < to; ++i) {
        out.push_back(i * 7919 + 1);
    }
    return out;
}

std::vector<uint64_t> Join(std::vector<uint64_t> a, const std::vector<uint64_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct CCounts {
    uint64_t compared, lost, repeated, unmatched, skipped;
    bool operator==(const CCounts&) const = default;
};

void PrintTo(const CCounts& c, std::ostream* out)
{
    *out << "compared " << c.compared << " lost " << c.lost << " repeated " << c.repeated << " unmatched " << c.unmatched
         << " skipped " << c.skipped;
}

CCounts Counts(const CStreamCheck& c) { return {c.Compared(), c.Lost(), c.Repeated(), c.Unmatched(), c.Skipped()}; }

} // namespace

TEST(StreamCheck, ARunOfTheControlsFramesIsWhole)
{
    CStreamCheck check;
    check.AddControl(Frames(0, 100));
    check.StartRun(1);
    check.AddPlayer(1, Frames(10, 60));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{50, 0, 0, 0, 0}));
}

TEST(StreamCheck, CountsFramesLostRepeatedAndUnknown)
{
    CStreamCheck check;
    check.AddControl(Frames(0, 100));
    // Lost 30 to 34; 45 to 49 came twice; one frame the control never had.
    check.StartRun(1);
    check.AddPlayer(1, Join(Join(Frames(10, 30), Frames(35, 50)), Frames(45, 60)));
    check.StartRun(2);
    check.AddPlayer(2, Join(Join(Frames(10, 20), {123456789}), Frames(20, 30)));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{45 + 20, 5, 5, 1, 0}));
}

TEST(StreamCheck, AMismatchWaitsForTheControlUnlessItIsTheEnd)
{
    CStreamCheck check;
    check.AddControl(Frames(0, 40));
    check.StartRun(1);
    check.AddPlayer(1, Join(Frames(10, 20), Frames(25, 26)));
    check.Advance(false);
    // 25 is not where 20 should be: whether 20 to 24 were lost is settled
    // once the control is a window further, or at the end.
    EXPECT_EQ(Counts(check), (CCounts{10, 0, 0, 0, 0}));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{11, 5, 0, 0, 0}));
}

TEST(StreamCheck, APlayerAheadOfTheControlWaitsForIt)
{
    CStreamCheck check;
    check.AddControl(Frames(0, 10));
    check.StartRun(1);
    check.AddPlayer(1, Frames(8, 30));
    check.Advance(false);
    // Two of its frames in the control's are too few to say where it starts.
    EXPECT_EQ(check.Compared(), 0u);
    check.AddControl(Frames(10, 40));
    check.Advance(false);
    EXPECT_EQ(Counts(check), (CCounts{22, 0, 0, 0, 0}));
    // The control closed first: the player's last frames are not compared.
    check.AddPlayer(1, Frames(30, 45));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{32, 0, 0, 0, 5}));
}

TEST(StreamCheck, ARunStartsWhereTheControlsFramesBegin)
{
    CStreamCheck check;
    check.StartRun(1);
    check.AddControl(Frames(5, 50));
    check.AddPlayer(1, Frames(0, 30));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{25, 0, 0, 0, 5}));
}

TEST(StreamCheck, ANewRunIsNotComparedWithTheOld)
{
    CStreamCheck check;
    check.AddControl(Frames(0, 100));
    check.StartRun(1);
    check.AddPlayer(1, Frames(10, 20));
    check.StartRun(1);
    check.AddPlayer(1, Frames(50, 60));
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{20, 0, 0, 0, 0}));
    // Frames of a player with no run are not compared.
    check.AddPlayer(7, Frames(0, 3));
    EXPECT_EQ(check.Skipped(), 3u);
}

TEST(StreamCheck, KeepsTheControlOnlyAWindowBehindTheSlowestPlayer)
{
    CStreamCheck check;
    check.StartRun(1);
    const uint64_t total = 4 * CStreamCheck::kWindow / 1000 * 1000;
    for (uint64_t at = 0; at < total; at += 1000) {
        check.AddControl(Frames(at, at + 1000));
        check.AddPlayer(1, Frames(at, at + 1000));
        check.Advance(false);
        EXPECT_LE(check.ControlKept(), CStreamCheck::kWindow + 1000);
    }
    check.Advance(true);
    EXPECT_EQ(Counts(check), (CCounts{total, 0, 0, 0, 0}));
}
