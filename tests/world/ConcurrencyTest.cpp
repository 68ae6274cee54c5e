// The host may call every entry point from any thread at once; the library
// serialises them on the world lock. Run under ThreadSanitizer as well.
#include "support/GameFixture.h"
#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace {

class Concurrency : public GameFixture {};

TEST_F(Concurrency, EntryPointsFromManyThreadsKeepTheWorldConsistent)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kRounds; ++i) {
                const auto id = static_cast<uint32_t>(1 + t * 10 + i % 10);
                switch (i % 7) {
                case 0:
                    host.Login(id);
                    break;
                case 1:
                    host.Deliver(id, Message(99, 1));
                    break;
                case 2:
                    MoveTo(id, static_cast<int16_t>(i % 100), static_cast<int16_t>((i * 7) % 100));
                    break;
                case 3:
                    Attack(id, 0, 0, 1);
                    break;
                case 4:
                    Attack(id, static_cast<uint32_t>(i % 100), 1, 0);
                    break;
                case 5:
                    host.FireTimers();
                    break;
                default:
                    host.Logout(id);
                    break;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(CNpcManager::Instance().Count(), 100u);
    EXPECT_FALSE(host.TargetsLocked());
    EXPECT_TRUE(host.Targets().empty());
    std::vector<ObjPos> poses;
    CSceneGrid::Instance().GetAllPoses(poses);
    std::map<std::pair<uint32_t, uint8_t>, int> seen;
    for (const ObjPos& pos : poses) {
        EXPECT_EQ(++seen[std::make_pair(pos.id, pos.kind)], 1) << "key " << pos.id << "/" << int(pos.kind) << " in two cells";
        if (pos.kind == 0) {
            const CSceneObject* r = CUserManager::Instance().Find(ObjID(pos.id, 0));
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->x, pos.x);
            EXPECT_EQ(r->y, pos.y);
        }
    }
}

} // namespace
