// The registry of server-driven objects. The first Update lays out 100 of
// them on a 10 x 10 lattice; every Update moves each one patrol step.
#ifndef CORVANE_WORLD_NPCMANAGER_H
#define CORVANE_WORLD_NPCMANAGER_H

#include "world/SceneObject.h"

#include <cstdint>
#include <map>

class CNpcManager {
public:
    static CNpcManager& Instance();

    // A new object under (next object id, kind 1), not yet on the grid.
    CNpcObject* Create();
    // Lookup only; null when not registered.
    CNpcObject* Find(const ObjID& key) const;
    // False, freeing nothing, when the object is not registered.
    bool Remove(CNpcObject* obj);
    void Update();

    std::size_t Count() const { return m_npcs.size(); }

    CNpcManager(const CNpcManager&) = delete;
    CNpcManager& operator=(const CNpcManager&) = delete;

private:
    CNpcManager() = default;
    ~CNpcManager();

    std::map<ObjID, CNpcObject*> m_npcs;
    uint32_t m_nextId = 1;
    bool m_latticeBuilt = false;
};

#endif
