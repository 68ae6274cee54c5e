// The EasyDemo game played through the real host: scene entry, ticks,
// moves, attacks, departures, and a client too slow to keep up.
#include "HostFixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kServerDrivenObjects = 100;

// Waits for a PoseList in which `pred` holds.
template <class Pred>
std::vector<ObjPos> PoseListWhere(CGameClient& client, Pred pred, std::chrono::milliseconds timeout = 4s)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto message =
            client.WaitFor(EasyDemo::kModuleId, EasyDemo::kPoseList,
                           std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!message) {
            break;
        }
        std::vector<ObjPos> poses = DecodePoseList(message->body);
        if (pred(poses)) {
            return poses;
        }
    }
    throw std::runtime_error("no PoseList of the expected kind arrived");
}

} // namespace

using HostGame = CHostFixture;

TEST_F(HostGame, EnterSceneAnswersWithTheStartingCell)
{
    StartHost();
    auto client = LogIn();
    ASSERT_TRUE(client->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    const auto reply = client->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 3s);
    ASSERT_TRUE(reply);
    const CEnterSceneAck ack = DecodeEnterSceneAck(reply->body);
    EXPECT_EQ(ack.code, 0);
    EXPECT_EQ(ack.pos, (Pos{20, 20}));
}

TEST_F(HostGame, TicksBringAllObjectsAboutOnceASecond)
{
    StartHost();
    auto client = EnterScene();
    const uint32_t me = client->UserId();

    std::vector<ObjPos> poses = NextPoseList(*client);
    const auto first = Clock::now();
    EXPECT_EQ(CountKind(poses, 1), kServerDrivenObjects);
    const ObjPos* mine = FindPose(poses, me, 0);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->x, 20);
    EXPECT_EQ(mine->y, 20);

    const std::vector<ObjInfo> infos = NextObjInfoList(*client);
    EXPECT_EQ(infos.size(), static_cast<std::size_t>(kServerDrivenObjects + 1));
    EXPECT_EQ(std::count_if(infos.begin(), infos.end(), [](const ObjInfo& i) { return i.kind == 1; }),
              kServerDrivenObjects);

    // Two more ticks: the average gap forgives one late delivery.
    NextPoseList(*client);
    poses = NextPoseList(*client);
    const double gap = std::chrono::duration<double>(Clock::now() - first).count() / 2;
    EXPECT_EQ(CountKind(poses, 1), kServerDrivenObjects);
    EXPECT_GT(gap, 0.8);
    EXPECT_LT(gap, 1.2);
    EXPECT_GE(Metric("corvane_tick_duration_seconds_count").value_or(0), 3);
}

TEST_F(HostGame, UsersOffTheGridGetNoTicks)
{
    StartHost();
    auto onGrid = EnterScene();
    auto offGrid = LogIn();
    NextPoseList(*onGrid);
    NextPoseList(*onGrid); // a whole tick has passed for both
    EXPECT_FALSE(offGrid->Receive(0ms));
    EXPECT_EQ(FindPose(NextPoseList(*onGrid), offGrid->UserId(), 0), nullptr);
}

TEST_F(HostGame, MoveIsSeenByTheOtherUser)
{
    StartHost();
    auto mover = EnterScene();
    auto watcher = EnterScene();

    ASSERT_TRUE(mover->Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, EncodeMoveTo(Pos{5, 7})));
    const uint32_t id = mover->UserId();
    const auto poses = PoseListWhere(*watcher, [&](const std::vector<ObjPos>& list) {
        const ObjPos* p = FindPose(list, id, 0);
        return p != nullptr && p->x == 5 && p->y == 7;
    });
    EXPECT_NE(FindPose(poses, watcher->UserId(), 0), nullptr);
    EXPECT_EQ(Metric("corvane_messages_received_total{module=\"99\"}"), 3);
}

TEST_F(HostGame, AreaAttackIsSeenByEveryoneOnTheGrid)
{
    StartHost();
    auto attacker = EnterScene();
    auto second = EnterScene();
    auto third = EnterScene();

    ASSERT_TRUE(attacker->Send(EasyDemo::kModuleId, EasyDemo::kCmdAttack, EncodeAttack(0, 0, EasyDemo::kAreaAttack)));
    for (CGameClient* client : {attacker.get(), second.get(), third.get()}) {
        const auto message = client->WaitFor(EasyDemo::kModuleId, EasyDemo::kAttackNotify, 3s);
        ASSERT_TRUE(message);
        const CAttackNotify notify = DecodeAttackNotify(message->body);
        EXPECT_EQ(notify.attackerId, attacker->UserId());
        EXPECT_EQ(notify.attackType, EasyDemo::kAreaAttack);
        // All three stand on (20, 20), inside the attacker's reach.
        for (const CGameClient* user : {attacker.get(), second.get(), third.get()}) {
            const auto hit = std::find_if(notify.results.begin(), notify.results.end(),
                                          [&](const AttackResult& r) { return r.id == user->UserId() && r.kind == 0; });
            ASSERT_NE(hit, notify.results.end());
            EXPECT_EQ(hit->hp, 90);
        }
    }
}

TEST_F(HostGame, ClosedConnectionLeavesTheNextTick)
{
    StartHost();
    auto stays = EnterScene();
    auto leaves = EnterScene();
    const uint32_t gone = leaves->UserId();
    PoseListWhere(*stays, [&](const std::vector<ObjPos>& list) { return FindPose(list, gone, 0) != nullptr; });
    ASSERT_TRUE(WaitMetric("corvane_users_online", 2));

    leaves->Close();
    stays->Discard();
    const auto poses =
        PoseListWhere(*stays, [&](const std::vector<ObjPos>& list) { return FindPose(list, gone, 0) == nullptr; });
    EXPECT_EQ(CountKind(poses, 1), kServerDrivenObjects);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 1));
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"client_closed\"}"), 1);
}

TEST_F(HostGame, ClientThatNeverReadsIsCutOffWhileOthersKeepTheirTicks)
{
    // Pings of 60 KB at a high rate make the echoes pile up fast; a small
    // receive buffer keeps the kernel from soaking them up.
    StartHost({"--send-queue", "64KiB", "--max-frame", "64KiB", "--rate", "1000", "--burst", "1000"});
    auto reader = EnterScene();
    auto stuck = Connect(4096);
    ASSERT_EQ(stuck->Login("").code, kLoginOk);
    ASSERT_TRUE(stuck->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    stuck->StopReading();

    const std::string big(60 * 1024, 'z');
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}") != 1) {
        for (int i = 0; i < 20; ++i) {
            if (!stuck->Send(kHostModuleId, kCmdPing, big, 2s)) {
                break;
            }
        }
    }
    ASSERT_EQ(Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}"), 1);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 1));

    // The stuck user's socket is closed for good; the other one plays on.
    // A tick sent before the cut may still be on its way to the reader on a
    // busy machine; the ticks after it no longer show the stuck user.
    EXPECT_TRUE(stuck->WaitClosed(10s));
    reader->Discard();
    const uint32_t stuckId = stuck->UserId();
    PoseListWhere(*reader, [&](const std::vector<ObjPos>& list) { return FindPose(list, stuckId, 0) == nullptr; });
    const auto poses = NextPoseList(*reader);
    EXPECT_EQ(FindPose(poses, stuckId, 0), nullptr);
    EXPECT_NE(FindPose(poses, reader->UserId(), 0), nullptr);
}

TEST_F(HostGame, BytesPerUserAndSecondAreReported)
{
    StartHost();
    auto a = EnterScene();
    auto b = EnterScene();
    // Every tick brings each user a PoseList and an ObjInfoList of at least
    // the server's 100 objects: over 2 KB in any whole second.
    const auto deadline = Clock::now() + 5s;
    std::optional<double> most;
    while (Clock::now() < deadline) {
        most = Metric("corvane_user_bytes_per_second{stat=\"max\"}");
        if (most && *most > 2000) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(most);
    EXPECT_GT(*most, 2000);
    EXPECT_GT(Metric("corvane_user_bytes_per_second{stat=\"mean\"}").value_or(0), 0);
    a->Close();
    b->Close();
    EXPECT_TRUE(WaitMetric("corvane_user_bytes_per_second{stat=\"max\"}", 0));
}
