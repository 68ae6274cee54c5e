#include "host/Globals.h"
#include "support/GameFixture.h"
#include "world/NpcManager.h"

#include <gtest/gtest.h>

namespace {

class TimerTick : public GameFixture {
protected:
    // Leaves the host with a list of recipients of its own, as a host in the
    // middle of its own addressing would have it.
    void SetPreviousTargets()
    {
        host.LockTargets(0);
        host.SetTargets(m_previous, 2);
        host.UnlockTargets();
    }
    std::vector<std::string> CallsFrom(std::size_t first)
    {
        const std::vector<std::string> calls = host.Calls();
        return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(first), calls.end());
    }

    const uint32_t m_previous[2] = {40, 50};
};

TEST_F(TimerTick, FirstTickWithNobodyOnTheGrid)
{
    host.FireTimers();
    EXPECT_EQ(CNpcManager::Instance().Count(), 100u);
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 2u);
    std::vector<ObjPos> poses;
    std::vector<ObjInfo> infos;
    DecodeBody(sent[0].bytes, 2, poses);
    DecodeBody(sent[1].bytes, 4, infos);
    EXPECT_EQ(poses.size(), 100u);
    ASSERT_EQ(infos.size(), 100u);
    for (const ObjInfo& info : infos) {
        EXPECT_EQ(info, (ObjInfo{info.id, 1, 5, 100, 10, 10, 8}));
    }
    EXPECT_TRUE(sent[0].recipients.empty());
    EXPECT_TRUE(sent[1].recipients.empty());
    const std::vector<std::string> calls = host.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "SetTargets 0"), calls.end());
}

TEST_F(TimerTick, ReachesUsersOnTheGridInRowOrder)
{
    Enter(7);
    host.Login(8); // logged in, never placed: neither told nor listed
    host.TakeSent();
    host.FireTimers();
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].recipients, std::vector<uint32_t>{7});
    EXPECT_EQ(sent[1].recipients, std::vector<uint32_t>{7});
    std::vector<ObjPos> poses;
    std::vector<ObjInfo> infos;
    DecodeBody(sent[0].bytes, 2, poses);
    DecodeBody(sent[1].bytes, 4, infos);
    ASSERT_EQ(poses.size(), 101u);
    ASSERT_EQ(infos.size(), 101u);
    for (std::size_t i = 1; i < poses.size(); ++i) {
        const ObjPos& a = poses[i - 1];
        const ObjPos& b = poses[i];
        EXPECT_TRUE(a.y < b.y || (a.y == b.y && a.x <= b.x)) << i;
    }
    // Row 20: objects 21..30 moved to (x0 + 1, 20), the user at (20, 20).
    auto user = std::find(poses.begin(), poses.end(), ObjPos{7, 0, 20, 20});
    ASSERT_NE(user, poses.end());
    EXPECT_EQ(*(user - 1), (ObjPos{22, 1, 11, 20}));
    EXPECT_EQ(*(user + 1), (ObjPos{23, 1, 21, 20}));
    EXPECT_EQ(infos[static_cast<std::size_t>(user - poses.begin())], (ObjInfo{7, 0, 5, 100, 10, 10, 8}));
    EXPECT_EQ(host.Targets(), std::vector<uint32_t>{}) << "the previous (empty) list is back";
    EXPECT_FALSE(host.TargetsLocked());
}

TEST_F(TimerTick, ReportsAttackedObjectsOwnHitPoints)
{
    Enter(1);
    host.FireTimers();                                // object 1 at (1, 0)
    ASSERT_TRUE(Attack(1, 1, 1, 0));                  // single target: object 1
    host.TakeSent();
    host.FireTimers();
    std::vector<ObjInfo> infos;
    DecodeBody(host.Sent()[1].bytes, 4, infos);
    EXPECT_EQ(infos.at(0), (ObjInfo{1, 1, 5, 90, 10, 10, 8}));
}

TEST_F(TimerTick, AttackedToZeroStaysDownThenComesBack)
{
    Enter(1);
    host.FireTimers();
    for (int i = 0; i < 10; ++i) {
        Attack(1, 1, 1, 0);
    }
    const CNpcObject* npc = CNpcManager::Instance().Find(ObjID(1, 1));
    ASSERT_EQ(npc->hp, 0);
    for (int tick = 0; tick < 6; ++tick) {
        host.FireTimers();
        EXPECT_EQ(npc->x, 1);
        EXPECT_EQ(npc->y, 0);
    }
    EXPECT_EQ(npc->hp, 100);
    host.FireTimers();
    EXPECT_EQ(npc->y, 1);
}

TEST_F(TimerTick, CrowdLimit155And156)
{
    host.FireTimers();
    for (uint32_t id = 1; id <= 155; ++id) {
        Enter(id);
    }
    host.TakeSent();
    host.FireTimers();
    std::vector<SSent> sent = host.TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes.size(), 2300u);
    EXPECT_EQ(sent[0].recipients.size(), 155u);

    Enter(156);
    host.TakeSent();
    EXPECT_NO_THROW(host.FireTimers());
    EXPECT_TRUE(host.Sent().empty()) << "256 objects do not fit in one list: nothing is sent";
    EXPECT_FALSE(host.TargetsLocked());
    EXPECT_TRUE(host.Targets().empty());
}

TEST_F(TimerTick, HoldsOneTargetLockAroundBothSends)
{
    Enter(7);
    SetPreviousTargets();
    const std::size_t before = host.Calls().size();
    host.FireTimers();
    EXPECT_EQ(CallsFrom(before), (std::vector<std::string>{"LockTargets 0", "GetTargets", "SetTargets 1",
                                                          "Send 99:2", "Send 99:4", "SetTargets 2",
                                                          "UnlockTargets"}));
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{40, 50}));
}

TEST_F(TimerTick, OversizedTickPutsBackANonEmptyPreviousList)
{
    host.FireTimers();
    for (uint32_t id = 1; id <= 156; ++id) {
        Enter(id);
    }
    SetPreviousTargets();
    host.TakeSent();
    const std::size_t before = host.Calls().size();
    host.FireTimers();
    EXPECT_TRUE(host.Sent().empty());
    EXPECT_EQ(CallsFrom(before), (std::vector<std::string>{"LockTargets 0", "GetTargets", "SetTargets 156",
                                                          "SetTargets 2", "UnlockTargets"}));
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{40, 50}));
    EXPECT_FALSE(host.TargetsLocked());
}

TEST_F(TimerTick, RefusedTargetLockLeavesTheListAlone)
{
    Enter(7);
    host.FireTimers();
    SetPreviousTargets();
    host.TakeSent();
    host.grantTargetLock = false;
    const std::size_t before = host.Calls().size();
    host.FireTimers();
    ASSERT_TRUE(MoveTo(7, 3, 4));
    ASSERT_TRUE(Attack(7, 1, 1, 0));
    // Each broadcast asks once, is refused, and goes out under the host's
    // own addressing, which it neither replaces nor restores.
    EXPECT_EQ(CallsFrom(before),
              (std::vector<std::string>{"LockTargets 0", "Send 99:2", "Send 99:4", "GetCurrentUserId",
                                        "LockTargets 0", "Send 99:2", "GetCurrentUserId", "LockTargets 0",
                                        "Send 99:3"}));
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{40, 50}));
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 4u);
    for (const SSent& s : sent) {
        EXPECT_EQ(s.recipients, (std::vector<uint32_t>{40, 50})) << "the context's current list";
    }
}

TEST(TimerHandle, EachStartKeepsTheHandleItWasGiven)
{
    CFakeHost host;
    ASSERT_EQ(KVServerStart(&host), 0);
    ASSERT_EQ(host.timerHandles.size(), 1u);
    EXPECT_EQ(g_svrTimerHandler.timerId, host.timerHandles[0]);
    ASSERT_EQ(KVServerStart(&host), 0);
    ASSERT_EQ(host.timerHandles.size(), 2u);
    EXPECT_NE(host.timerHandles[1], host.timerHandles[0]);
    EXPECT_EQ(g_svrTimerHandler.timerId, host.timerHandles[1]) << "a second start overwrites the first handle";
}

TEST(TimerTickWithoutSender, AdvancesAndStillSwapsTheList)
{
    CFakeHost host;
    ASSERT_EQ(KVServerStart(&host), 0);
    host.services.at(0).second->Init(&host); // a context, but no SetSender
    const uint32_t previous[] = {40, 50};
    host.LockTargets(0);
    host.SetTargets(previous, 2);
    host.UnlockTargets();

    host.FireTimers();
    ASSERT_EQ(CNpcManager::Instance().Count(), 100u);
    const CNpcObject* npc = CNpcManager::Instance().Find(ObjID(1, 1));
    ASSERT_NE(npc, nullptr);
    const ObjPos first{1, 1, npc->x, npc->y};
    const std::size_t before = host.Calls().size();
    host.FireTimers();
    EXPECT_NE((ObjPos{1, 1, npc->x, npc->y}), first) << "the objects move on every tick";
    EXPECT_TRUE(host.Sent().empty());
    const std::vector<std::string> calls = host.Calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()),
              (std::vector<std::string>{"LockTargets 0", "GetTargets", "SetTargets 0", "SetTargets 2",
                                        "UnlockTargets"}));
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{40, 50}));
}

TEST(TimerTickWithoutContext, SkipsItsWork)
{
    CFakeHost host;
    ASSERT_EQ(KVServerStart(&host), 0); // no Init: no context
    host.FireTimers();
    EXPECT_EQ(CNpcManager::Instance().Count(), 0u);
    EXPECT_TRUE(host.Sent().empty());
}

} // namespace
