#include "world/WorldRecords.h"

#include "world/NpcManager.h"
#include "world/UserManager.h"

CSceneObject* FindWorldRecord(const ObjID& key)
{
    switch (key.kind) {
    case kKindUser:
        return CUserManager::Instance().Find(key);
    case kKindNpc:
        return CNpcManager::Instance().Find(key);
    default:
        return nullptr;
    }
}

std::vector<uint32_t> UserIdsOf(const std::vector<ObjPos>& poses)
{
    std::vector<uint32_t> ids;
    ids.reserve(poses.size());
    for (const ObjPos& pos : poses) {
        if (pos.kind == kKindUser) {
            ids.push_back(pos.id);
        }
    }
    return ids;
}
