// Where every world object stands: a 100 x 100 grid of cells, each holding
// the keys of the objects in it, under one lock.
#ifndef CORVANE_WORLD_SCENEGRID_H
#define CORVANE_WORLD_SCENEGRID_H

#include "archive/Records.h"
#include "world/Lockable.h"
#include "world/ObjID.h"

#include <array>
#include <cstdint>
#include <set>
#include <vector>

inline constexpr int16_t kGridSize = 100;
inline constexpr int16_t kStartX = 20;
inline constexpr int16_t kStartY = 20;

class CSceneGrid {
public:
    static CSceneGrid& Instance();

    static bool IsValidPos(int16_t x, int16_t y) { return x >= 0 && x < kGridSize && y >= 0 && y < kGridSize; }

    // The user's cell; a user without one is placed at (20, 20). Resets the
    // user's attributes.
    bool GetOrAssignPos(const ObjID& key, int16_t& x, int16_t& y);
    // Takes a user off the cell its record names; the record keeps it.
    bool Remove(const ObjID& key);
    // False when (x, y) is off the grid; true otherwise, also when a
    // server-driven key has no record.
    bool MoveTo(const ObjID& key, int16_t x, int16_t y);
    // Every object, rows then columns then key order. Appends.
    void GetAllPoses(std::vector<ObjPos>& poses);
    // Keys in the square from (x - radius, y - radius) up to but excluding
    // (x + radius, y + radius), cut to the grid; radius 0 is the whole grid.
    // Appends.
    void GetObjIDs(int16_t x, int16_t y, uint16_t radius, std::vector<ObjID>& objIDs);
    // Ids of the users on the grid, in grid order. Appends.
    void GetUserIDs(std::vector<uint32_t>& ids);

    // The lock every world entry point holds for its whole call.
    CLockable& GetLock() { return m_lock; }

    CSceneGrid(const CSceneGrid&) = delete;
    CSceneGrid& operator=(const CSceneGrid&) = delete;

private:
    CSceneGrid() = default;
    ~CSceneGrid() = default;

    using Cell = std::set<ObjID>;

    void Insert(const ObjID& key, int16_t x, int16_t y);
    void Erase(const ObjID& key, int16_t x, int16_t y);
    // Calls visit(x, y, cell) for each non-empty cell of the rectangle, rows
    // outer, columns inner.
    template <class F>
    void ForEachCell(int32_t x0, int32_t x1, int32_t y0, int32_t y1, F&& visit);

    Cell m_cells[kGridSize][kGridSize];
    // One bit per non-empty cell, so that walks skip the empty ones.
    std::array<uint64_t, 2> m_occupied[kGridSize] = {};
    CCriticalSection m_lock;
};

#endif
