#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using Cell = std::pair<int, int>;

// Cells (as x, y) of the keys that an area query returns, for objects placed
// one per cell on the whole grid.
std::set<Cell> CoveredCells(int16_t x, int16_t y, uint16_t radius)
{
    std::vector<ObjID> ids;
    CSceneGrid::Instance().GetObjIDs(x, y, radius, ids);
    std::set<Cell> cells;
    for (const ObjID& id : ids) {
        const CSceneObject* r = CUserManager::Instance().Find(id);
        cells.emplace(r->x, r->y);
    }
    return cells;
}

std::set<Cell> Square(int x0, int x1, int y0, int y1)
{
    std::set<Cell> cells;
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            cells.emplace(x, y);
        }
    }
    return cells;
}

TEST(SceneGrid, ValidPositions)
{
    EXPECT_TRUE(CSceneGrid::IsValidPos(0, 0));
    EXPECT_TRUE(CSceneGrid::IsValidPos(99, 99));
    EXPECT_FALSE(CSceneGrid::IsValidPos(100, 0));
    EXPECT_FALSE(CSceneGrid::IsValidPos(0, 100));
    EXPECT_FALSE(CSceneGrid::IsValidPos(-1, 5));
}

TEST(SceneGrid, AreaBoundsAcrossTheGrid)
{
    CSceneGrid& grid = CSceneGrid::Instance();
    for (int16_t y = 0; y < 100; ++y) {
        for (int16_t x = 0; x < 100; ++x) {
            grid.MoveTo(ObjID(static_cast<uint32_t>(y * 100 + x + 1), 0), x, y);
        }
    }
    struct Case {
        int16_t x, y;
        uint16_t radius;
        std::set<Cell> cells;
    };
    const Case cases[] = {
        {10, 10, 8, Square(2, 17, 2, 17)},   // 2 x radius cells each way, not 2 x radius + 1
        {0, 0, 8, Square(0, 7, 0, 7)},       // cut at the low edges
        {95, 95, 8, Square(87, 99, 87, 99)}, // cut at the high edges
        {-1, -1, 8, Square(0, 6, 0, 6)},     // a centre off the grid still covers what it reaches
        {40, 40, 0, Square(0, 99, 0, 99)},   // radius 0: everything
        {5, 5, 1, Square(4, 5, 4, 5)},       // own cell included
        {200, 200, 8, {}},                   // nothing reachable
        {-32768, 50, 65535, Square(0, 99, 0, 99)},
        {32767, 32767, 65535, Square(0, 99, 0, 99)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CoveredCells(c.x, c.y, c.radius), c.cells) << c.x << "," << c.y << " r" << c.radius;
    }
}

TEST(SceneGrid, GetOrAssignPosPlacesOnceAndResets)
{
    CSceneGrid& grid = CSceneGrid::Instance();
    int16_t x = 0;
    int16_t y = 0;
    EXPECT_TRUE(grid.GetOrAssignPos(ObjID(1, 0), x, y));
    EXPECT_EQ(x, 20);
    EXPECT_EQ(y, 20);
    CSceneObject* r = CUserManager::Instance().Find(ObjID(1, 0));
    r->hp = 3;
    grid.GetOrAssignPos(ObjID(1, 0), x, y);
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{1, 0, 20, 20}})) << "no second insertion";
    EXPECT_EQ(r->hp, 100);

    grid.MoveTo(ObjID(1, 0), 3, 4);
    grid.GetOrAssignPos(ObjID(1, 0), x, y);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 4);
}

TEST(SceneGrid, MoveToMovesOrRefuses)
{
    CSceneGrid& grid = CSceneGrid::Instance();
    const ObjID key(9, 0);
    EXPECT_TRUE(grid.MoveTo(key, 5, 6)) << "an unregistered user is registered and placed";
    ASSERT_NE(CUserManager::Instance().Find(key), nullptr);
    EXPECT_TRUE(grid.MoveTo(key, 7, 8));
    EXPECT_TRUE(grid.MoveTo(key, 7, 8));
    EXPECT_FALSE(grid.MoveTo(key, 100, 5));
    EXPECT_FALSE(grid.MoveTo(key, 5, -1));
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{9, 0, 7, 8}}));
    const CSceneObject* r = CUserManager::Instance().Find(key);
    EXPECT_EQ(r->x, 7);
    EXPECT_EQ(r->y, 8);

    EXPECT_TRUE(grid.MoveTo(ObjID(77, 1), 1, 1)) << "an unknown server-driven key changes nothing";
    poses.clear();
    grid.GetAllPoses(poses);
    EXPECT_EQ(poses.size(), 1u);
}

TEST(SceneGrid, WalkOrderIsRowsColumnsThenKeys)
{
    CSceneGrid& grid = CSceneGrid::Instance();
    CNpcObject* npc = CNpcManager::Instance().Create(); // key (1, 1)
    grid.MoveTo(ObjID(2, 0), 3, 0);
    grid.MoveTo(ObjID(1, 0), 3, 0);
    grid.MoveTo(npc->objID, 2, 0);
    grid.MoveTo(ObjID(5, 0), 0, 1);
    grid.MoveTo(ObjID(6, 0), 99, 0);
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{1, 1, 2, 0}, {1, 0, 3, 0}, {2, 0, 3, 0}, {6, 0, 99, 0}, {5, 0, 0, 1}}));
    std::vector<uint32_t> ids = {42};
    grid.GetUserIDs(ids);
    EXPECT_EQ(ids, (std::vector<uint32_t>{42, 1, 2, 6, 5})) << "results are appended";

    grid.MoveTo(ObjID(5, 0), 3, 0);
    CNpcObject* second = CNpcManager::Instance().Create(); // key (2, 1)
    grid.MoveTo(second->objID, 3, 0);
    std::vector<ObjID> keys;
    grid.GetObjIDs(3, 0, 1, keys);
    EXPECT_EQ(keys, (std::vector<ObjID>{ObjID(1, 1), ObjID(1, 0), ObjID(2, 0), ObjID(2, 1), ObjID(5, 0)}));
}

TEST(SceneGrid, RemoveTakesAUserOffItsCell)
{
    CSceneGrid& grid = CSceneGrid::Instance();
    grid.MoveTo(ObjID(1, 0), 4, 4);
    grid.MoveTo(ObjID(2, 0), 4, 4);
    EXPECT_TRUE(grid.Remove(ObjID(1, 0)));
    EXPECT_TRUE(grid.Remove(ObjID(3, 0))) << "a user never placed leaves every cell alone";
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{2, 0, 4, 4}}));
    const CSceneObject* r = CUserManager::Instance().Find(ObjID(1, 0));
    EXPECT_EQ(r->x, 4) << "the record keeps its coordinates";
}

} // namespace
