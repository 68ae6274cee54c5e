#include "host/Globals.h"
#include "support/GameFixture.h"
#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <gtest/gtest.h>

namespace {

class EasyDemoGame : public GameFixture {
protected:
    // The single AttackNotify an attack sends, decoded.
    struct SNotify {
        uint32_t id = 0;
        uint8_t kind = 0;
        int32_t attackType = 0;
        std::vector<AttackResult> result;
        std::vector<uint32_t> recipients;
    };
    SNotify TakeNotify()
    {
        std::vector<SSent> sent = host.TakeSent();
        SNotify n;
        EXPECT_EQ(sent.size(), 1u);
        if (!sent.empty()) {
            DecodeBody(sent[0].bytes, 3, n.id, n.kind, n.attackType, n.result);
            n.recipients = sent[0].recipients;
        }
        return n;
    }
    CSceneObject* User(uint32_t id) { return CUserManager::Instance().Find(ObjID(id, 0)); }
};

TEST_F(EasyDemoGame, EnterSceneAnswersTheCellAndResetsStats)
{
    host.Login(1);
    ASSERT_TRUE(host.Deliver(1, Message(99, 1)));
    std::vector<SSent> sent = host.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0].bytes), "63 00 01 00 00 00 00 00 14 00 14 00");
    EXPECT_EQ(sent[0].recipients, std::vector<uint32_t>{1});

    ASSERT_TRUE(MoveTo(1, 5, 7));
    User(1)->hp = 30;
    host.TakeSent();
    ASSERT_TRUE(host.Deliver(1, Message(99, 1)));
    sent = host.TakeSent();
    EXPECT_EQ(Hex(sent.at(0).bytes), "63 00 01 00 00 00 00 00 05 00 07 00");
    EXPECT_EQ(User(1)->hp, 100);
}

TEST_F(EasyDemoGame, MoveBroadcastsPosesToEveryUserOnTheGrid)
{
    Enter(1);
    Enter(2);
    host.FireTimers();
    host.TakeSent();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(MoveTo(1, 50, 50));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[CEasyDemoDrv::OnRecv_MoveTo] return 2 user poses.\n");
    std::vector<SSent> sent = host.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    std::vector<ObjPos> poses;
    DecodeBody(sent[0].bytes, 2, poses);
    EXPECT_EQ(poses.size(), 102u);
    EXPECT_EQ(sent[0].recipients, (std::vector<uint32_t>{2, 1})) << "grid order: (20, 20) before (50, 50)";
    EXPECT_NE(std::find(poses.begin(), poses.end(), ObjPos{1, 0, 50, 50}), poses.end());
    EXPECT_FALSE(host.TargetsLocked());
}

TEST_F(EasyDemoGame, MoveOffTheGridStaysButStillBroadcasts)
{
    Enter(1);
    host.TakeSent();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(MoveTo(1, 100, 3));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[CEasyDemoDrv::OnRecv_MoveTo] return 1 user poses.\n");
    std::vector<ObjPos> poses;
    DecodeBody(host.TakeSent().at(0).bytes, 2, poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{1, 0, 20, 20}}));
}

TEST_F(EasyDemoGame, MoveWithAnOversizedListSendsNothing)
{
    host.FireTimers();
    for (uint32_t id = 1; id <= 156; ++id) {
        Enter(id);
    }
    host.TakeSent();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MoveTo(1, 60, 60));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("user poses"), std::string::npos) << out;
    EXPECT_TRUE(host.Sent().empty());
    EXPECT_EQ(User(1)->x, 60) << "the move itself stands";
    EXPECT_FALSE(host.TargetsLocked());
}

TEST_F(EasyDemoGame, AreaAttackHitsTheSquareIncludingTheAttacker)
{
    Enter(1);
    Enter(2);
    ASSERT_TRUE(MoveTo(2, 27, 27));
    ASSERT_TRUE(MoveTo(3, 28, 20)); // registered by the move, outside the square
    host.TakeSent();
    ASSERT_TRUE(Attack(1, 0, 0, 1));
    const SNotify n = TakeNotify();
    EXPECT_EQ(n.id, 1u);
    EXPECT_EQ(n.attackType, 1);
    EXPECT_EQ(n.result, (std::vector<AttackResult>{{1, 0, 0, 90}, {2, 0, 0, 90}}));
    EXPECT_EQ(n.recipients, (std::vector<uint32_t>{1, 3, 2}));
    EXPECT_EQ(User(3)->hp, 100);
}

TEST_F(EasyDemoGame, SingleTargetAttacks)
{
    Enter(1);
    Enter(7);
    host.FireTimers();
    User(7)->hp = 5;
    host.TakeSent();
    struct Case {
        uint32_t toID;
        uint8_t playerType;
        int32_t attackType;
        std::vector<AttackResult> result;
    };
    const Case cases[] = {
        {7, 0, 0, {{7, 0, 0, 0}}},
        {7, 0, 2, {{7, 0, 0, 0}}},     // any type but 1 is single-target; never below 0
        {3, 1, -1, {{3, 1, 0, 90}}},   // a server-driven object's own record
        {4242, 0, 0, {}},              // nobody: no record is made
        {101, 1, 0, {}},
        {7, 9, 0, {}},                 // an unknown kind
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Attack(1, c.toID, c.playerType, c.attackType));
        const SNotify n = TakeNotify();
        EXPECT_EQ(n.result, c.result) << c.toID;
        EXPECT_EQ(n.attackType, c.attackType);
        EXPECT_EQ(n.recipients, (std::vector<uint32_t>{1, 7}));
    }
    EXPECT_EQ(CNpcManager::Instance().Find(ObjID(3, 1))->hp, 90);
    EXPECT_EQ(User(4242), nullptr);
    EXPECT_EQ(CUserManager::Instance().Count(), 2u);
}

TEST_F(EasyDemoGame, AreaAttackWithoutACellHitsAroundMinusOne)
{
    host.Login(1);
    host.FireTimers(); // object 1 at (1, 0), object 11 at (1, 10), object 2 at (11, 0)
    Enter(2);
    Enter(3);
    Enter(4);
    ASSERT_TRUE(MoveTo(2, 3, 3));
    ASSERT_TRUE(MoveTo(3, 6, 6)); // the last row and column of the square
    ASSERT_TRUE(MoveTo(4, 7, 0)); // one column past it
    host.TakeSent();
    ASSERT_TRUE(Attack(1, 0, 0, 1));
    const SNotify n = TakeNotify();
    EXPECT_EQ(n.result, (std::vector<AttackResult>{{1, 1, 0, 90}, {2, 0, 0, 90}, {3, 0, 0, 90}}));
    EXPECT_EQ(n.recipients, (std::vector<uint32_t>{4, 2, 3})) << "the attacker stands nowhere and is not told";
    EXPECT_EQ(User(4)->hp, 100);
    EXPECT_EQ(User(1)->x, -1) << "attacking does not place the attacker";
}

TEST_F(EasyDemoGame, AreaAttackOnAnEmptySquareStillNotifies)
{
    Enter(1);
    User(1)->attr3 = 0;
    host.TakeSent();
    ASSERT_TRUE(Attack(1, 0, 0, 1));
    const SNotify n = TakeNotify();
    EXPECT_TRUE(n.result.empty());
    EXPECT_EQ(n.recipients, std::vector<uint32_t>{1});
}

// Each callback asks for the current user once, before anything else; talk
// asks nothing.
TEST_F(EasyDemoGame, ExactCallsOfEachMessage)
{
    host.Login(1);
    struct Case {
        std::vector<uint8_t> msg;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {Message(99, 1), {"GetCurrentUserId", "Send 99:1"}},
        {Message(99, 2, Bytes({5, 0, 5, 0})),
         {"GetCurrentUserId", "LockTargets 0", "GetTargets", "SetTargets 1", "Send 99:2", "SetTargets 0",
          "UnlockTargets"}},
        {Message(99, 3, Bytes({0, 0, 0, 0, 0, 1, 0, 0, 0})),
         {"GetCurrentUserId", "LockTargets 0", "GetTargets", "SetTargets 1", "Send 99:3", "SetTargets 0",
          "UnlockTargets"}},
        {Message(99, 4, Bytes({2, 'h', 'i'})), {}},
    };
    for (const Case& c : cases) {
        const std::size_t before = host.Calls().size();
        testing::internal::CaptureStdout();
        EXPECT_TRUE(host.Deliver(1, c.msg));
        testing::internal::GetCapturedStdout();
        const std::vector<std::string> calls = host.Calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()),
                  c.calls)
            << c.msg[2];
    }
}

TEST_F(EasyDemoGame, TalkDoesNothing)
{
    Enter(1);
    host.TakeSent();
    EXPECT_TRUE(host.Deliver(1, Message(99, 4, Bytes({2, 'h', 'i'}))));
    EXPECT_TRUE(host.Sent().empty());
}

TEST(EasyDemoWithoutContext, CallbacksSkipTheirWork)
{
    CFakeHost host;
    ASSERT_EQ(KVServerStart(&host), 0);
    host.modules.push_back(&g_easyDemoDrv);
    g_easyDemoDrv.SetSender(&host);
    EXPECT_TRUE(host.Deliver(1, Message(99, 1)));
    EXPECT_TRUE(host.Deliver(1, Message(99, 2, Bytes({1, 0, 1, 0}))));
    EXPECT_TRUE(host.Sent().empty());
    EXPECT_EQ(CUserManager::Instance().Count(), 0u);
}

} // namespace
