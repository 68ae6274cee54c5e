#include "world/NpcManager.h"

#include "world/SceneGrid.h"

namespace {
constexpr int kLatticeSide = 10;    // objects per row and per column
constexpr int16_t kLatticeStep = 10; // cells between neighbours
} // namespace

CNpcManager& CNpcManager::Instance()
{
    static CNpcManager instance;
    return instance;
}

CNpcManager::~CNpcManager()
{
    for (auto& entry : m_npcs) {
        delete entry.second;
    }
}

CNpcObject* CNpcManager::Create()
{
    const ObjID key(m_nextId, kKindNpc);
    auto* obj = new CNpcObject(key);
    m_npcs.emplace(key, obj);
    ++m_nextId;
    return obj;
}

CNpcObject* CNpcManager::Find(const ObjID& key) const
{
    auto it = m_npcs.find(key);
    return it == m_npcs.end() ? nullptr : it->second;
}

bool CNpcManager::Remove(CNpcObject* obj)
{
    auto it = m_npcs.find(obj->objID);
    if (it == m_npcs.end() || it->second != obj) {
        return false;
    }
    m_npcs.erase(it);
    delete obj;
    return true;
}

void CNpcManager::Update()
{
    if (!m_latticeBuilt) {
        CSceneGrid& grid = CSceneGrid::Instance();
        for (int row = 0; row < kLatticeSide; ++row) {
            for (int col = 0; col < kLatticeSide; ++col) {
                CNpcObject* obj = Create();
                ResetStats(obj);
                obj->x = 0;
                obj->y = 0;
                grid.MoveTo(obj->objID, static_cast<int16_t>(kLatticeStep * col),
                            static_cast<int16_t>(kLatticeStep * row));
            }
        }
        m_latticeBuilt = true;
    }
    for (auto& entry : m_npcs) {
        entry.second->Tick();
    }
}
