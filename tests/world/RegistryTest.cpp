#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct Stats {
    int16_t attr1, hp, attr2, attr3, range;
    friend bool operator==(const Stats&, const Stats&) = default;
};

Stats StatsOf(const CSceneObject* r)
{
    return Stats{r->attr1, r->hp, r->attr2, r->attr3, r->range};
}

TEST(ObjIDOrder, ByIdThenKind)
{
    EXPECT_TRUE(ObjID(5, 0) < ObjID(5, 1));
    EXPECT_TRUE(ObjID(5, 1) < ObjID(6, 0));
    EXPECT_TRUE(ObjID(7, 0) < ObjID(0xFFFFFFFFu, 0)) << "ids compare unsigned";
    EXPECT_FALSE(ObjID(7, 1) < ObjID(7, 1));
    std::map<ObjID, int> m{{ObjID(8, 0), 3}, {ObjID(7, 1), 2}, {ObjID(7, 0), 1}};
    int expected = 1;
    for (const auto& entry : m) {
        EXPECT_EQ(entry.second, expected++);
    }
}

TEST(UserManager, FindOrCreateRegistersOnce)
{
    CUserManager& users = CUserManager::Instance();
    CSceneObject* r = users.FindOrCreate(ObjID(1, 0));
    EXPECT_EQ(r->x, -1);
    EXPECT_EQ(r->y, -1);
    EXPECT_EQ(StatsOf(r), (Stats{5, 100, 10, 10, 8}));
    r->hp = 40;
    EXPECT_EQ(users.FindOrCreate(ObjID(1, 0)), r);
    EXPECT_EQ(r->hp, 40);
    EXPECT_EQ(users.Find(ObjID(1, 0)), r);
    EXPECT_EQ(users.Find(ObjID(2, 0)), nullptr);
    EXPECT_EQ(users.Count(), 1u);
}

TEST(UserManager, RemoveFreesEvenAnUnregisteredRecord)
{
    CUserManager& users = CUserManager::Instance();
    CSceneObject* r = users.FindOrCreate(ObjID(4, 0));
    EXPECT_TRUE(users.Remove(r));
    EXPECT_EQ(users.Find(ObjID(4, 0)), nullptr);
    EXPECT_TRUE(users.Remove(new CSceneObject(ObjID(5, 0))));
    EXPECT_EQ(users.Count(), 0u);
}

TEST(UserManager, RemoveOfAStrayRecordLeavesTheRegisteredOneUnderItsKey)
{
    CUserManager& users = CUserManager::Instance();
    CSceneObject* registered = users.FindOrCreate(ObjID(6, 0));
    EXPECT_TRUE(users.Remove(new CSceneObject(ObjID(6, 0))));
    EXPECT_EQ(users.Find(ObjID(6, 0)), registered);
    EXPECT_EQ(users.Count(), 1u);
}

TEST(NpcManager, UserRegistryKeepsKind1KeysApart)
{
    CNpcManager::Instance().Update();
    CNpcObject* npc = CNpcManager::Instance().Find(ObjID(3, 1));
    ASSERT_NE(npc, nullptr);
    CSceneObject* shadow = CUserManager::Instance().FindOrCreate(ObjID(3, 1));
    EXPECT_NE(static_cast<CSceneObject*>(npc), shadow);
    shadow->hp = 1;
    EXPECT_EQ(npc->hp, 100);
}

TEST(NpcManager, LatticeAndPatrol)
{
    CNpcManager& npcs = CNpcManager::Instance();
    auto at = [&](uint32_t id) {
        const CNpcObject* npc = npcs.Find(ObjID(id, 1));
        return std::make_pair(npc->x, npc->y);
    };
    using P = std::pair<int16_t, int16_t>;
    npcs.Update();
    ASSERT_EQ(npcs.Count(), 100u);
    EXPECT_EQ(npcs.Find(ObjID(101, 1)), nullptr);
    EXPECT_EQ(at(1), (P{1, 0}));
    EXPECT_EQ(at(11), (P{1, 10}));
    EXPECT_EQ(at(100), (P{91, 90}));
    EXPECT_EQ(StatsOf(npcs.Find(ObjID(50, 1))), (Stats{5, 100, 10, 10, 8}));
    const P cycle[] = {{1, 1}, {0, 1}, {0, 0}, {1, 0}, {1, 1}};
    for (const P& expected : cycle) {
        npcs.Update();
        EXPECT_EQ(at(1), expected);
    }
    EXPECT_EQ(npcs.Count(), 100u) << "only the first update creates objects";
    EXPECT_EQ(npcs.Create()->objID.id, 101u) << "the object counter carries on";

    // The grid agrees with the records.
    std::vector<ObjID> cell;
    CSceneGrid::Instance().GetObjIDs(1, 1, 1, cell);
    EXPECT_EQ(cell, std::vector<ObjID>{ObjID(1, 1)});
}

TEST(NpcManager, DownObjectRestsSixTicksThenResumes)
{
    CNpcManager& npcs = CNpcManager::Instance();
    npcs.Update(); // object 1 at (1, 0), moveStep 1
    CNpcObject* npc = npcs.Find(ObjID(1, 1));
    npc->hp = 0;
    for (int tick = 1; tick <= 6; ++tick) {
        npcs.Update();
        EXPECT_EQ(npc->x, 1) << tick;
        EXPECT_EQ(npc->y, 0) << tick;
        EXPECT_EQ(npc->deadTicks, tick < 6 ? tick : 0) << tick;
        EXPECT_EQ(npc->hp, tick < 6 ? 0 : 100) << tick;
    }
    npcs.Update();
    EXPECT_EQ(npc->x, 1);
    EXPECT_EQ(npc->y, 1) << "the patrol resumes where it stopped";
}

TEST(NpcManager, RemoveOnlyRegisteredObjects)
{
    CNpcManager& npcs = CNpcManager::Instance();
    CNpcObject stray(ObjID(500, 1));
    EXPECT_FALSE(npcs.Remove(&stray));
    CNpcObject* made = npcs.Create();
    CNpcObject sameKey(made->objID);
    EXPECT_FALSE(npcs.Remove(&sameKey)) << "the key belongs to another object";
    EXPECT_EQ(npcs.Find(made->objID), made);
    EXPECT_TRUE(npcs.Remove(made));
    EXPECT_EQ(npcs.Count(), 0u);
}

TEST(SceneObject, HitNeverGoesBelowZero)
{
    EXPECT_EQ(HpAfterHit(100), 90);
    EXPECT_EQ(HpAfterHit(5), 0);
    EXPECT_EQ(HpAfterHit(0), 0);
}

} // namespace
