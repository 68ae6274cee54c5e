#include "world/SceneGrid.h"

#include "world/NpcManager.h"
#include "world/UserManager.h"

#include <algorithm>
#include <bit>

CSceneGrid& CSceneGrid::Instance()
{
    static CSceneGrid instance;
    return instance;
}

void CSceneGrid::Insert(const ObjID& key, int16_t x, int16_t y)
{
    m_cells[y][x].insert(key);
    m_occupied[y][static_cast<std::size_t>(x / 64)] |= uint64_t{1} << (x % 64);
}

void CSceneGrid::Erase(const ObjID& key, int16_t x, int16_t y)
{
    Cell& cell = m_cells[y][x];
    cell.erase(key);
    if (cell.empty()) {
        m_occupied[y][static_cast<std::size_t>(x / 64)] &= ~(uint64_t{1} << (x % 64));
    }
}

template <class F>
void CSceneGrid::ForEachCell(int32_t x0, int32_t x1, int32_t y0, int32_t y1, F&& visit)
{
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t word = x0 / 64; word * 64 < x1; ++word) {
            uint64_t bits = m_occupied[y][static_cast<std::size_t>(word)];
            while (bits != 0) {
                const int32_t x = word * 64 + std::countr_zero(bits);
                bits &= bits - 1;
                if (x >= x0 && x < x1) {
                    visit(static_cast<int16_t>(x), static_cast<int16_t>(y), m_cells[y][x]);
                }
            }
        }
    }
}

bool CSceneGrid::GetOrAssignPos(const ObjID& key, int16_t& x, int16_t& y)
{
    CAutoLock lock(&m_lock);
    CSceneObject* r = CUserManager::Instance().FindOrCreate(key);
    ResetStats(r);
    if (!r->HasPos()) {
        Insert(key, kStartX, kStartY);
        r->x = kStartX;
        r->y = kStartY;
    }
    x = r->x;
    y = r->y;
    return true;
}

bool CSceneGrid::Remove(const ObjID& key)
{
    CAutoLock lock(&m_lock);
    CSceneObject* r = CUserManager::Instance().FindOrCreate(key);
    if (r->HasPos() && IsValidPos(r->x, r->y)) {
        Erase(key, r->x, r->y);
    }
    return true;
}

bool CSceneGrid::MoveTo(const ObjID& key, int16_t x, int16_t y)
{
    CAutoLock lock(&m_lock);
    if (!IsValidPos(x, y)) {
        return false;
    }
    CSceneObject* r = key.kind == kKindUser ? CUserManager::Instance().FindOrCreate(key)
                                            : CNpcManager::Instance().Find(key);
    if (r != nullptr) {
        if (r->HasPos() && IsValidPos(r->x, r->y)) {
            Erase(key, r->x, r->y);
        }
        Insert(key, x, y);
        r->x = x;
        r->y = y;
    }
    return true;
}

void CSceneGrid::GetAllPoses(std::vector<ObjPos>& poses)
{
    CAutoLock lock(&m_lock);
    ForEachCell(0, kGridSize, 0, kGridSize, [&](int16_t x, int16_t y, const Cell& cell) {
        for (const ObjID& key : cell) {
            poses.push_back(ObjPos{key.id, key.kind, x, y});
        }
    });
}

void CSceneGrid::GetObjIDs(int16_t x, int16_t y, uint16_t radius, std::vector<ObjID>& objIDs)
{
    CAutoLock lock(&m_lock);
    int32_t x0 = 0;
    int32_t x1 = kGridSize;
    int32_t y0 = 0;
    int32_t y1 = kGridSize;
    if (radius != 0) {
        x0 = std::max<int32_t>(x - radius, 0);
        x1 = std::min<int32_t>(x + radius, kGridSize);
        y0 = std::max<int32_t>(y - radius, 0);
        y1 = std::min<int32_t>(y + radius, kGridSize);
    }
    ForEachCell(x0, x1, y0, y1, [&](int16_t, int16_t, const Cell& cell) {
        objIDs.insert(objIDs.end(), cell.begin(), cell.end());
    });
}

void CSceneGrid::GetUserIDs(std::vector<uint32_t>& ids)
{
    CAutoLock lock(&m_lock);
    ForEachCell(0, kGridSize, 0, kGridSize, [&](int16_t, int16_t, const Cell& cell) {
        for (const ObjID& key : cell) {
            if (key.kind == kKindUser) {
                ids.push_back(key.id);
            }
        }
    });
}
