// The registry of users' records, keyed by ObjID. It owns the records.
#ifndef CORVANE_WORLD_USERMANAGER_H
#define CORVANE_WORLD_USERMANAGER_H

#include "world/SceneObject.h"

#include <map>

class CUserManager {
public:
    static CUserManager& Instance();

    // The registered record, or a new one with default attributes and no
    // position; never null.
    CSceneObject* FindOrCreate(const ObjID& key);
    // Lookup only: null when the key is not registered.
    CSceneObject* Find(const ObjID& key) const;
    // Unregisters the record's key (if registered) and frees the record.
    bool Remove(CSceneObject* obj);

    std::size_t Count() const { return m_users.size(); }

    CUserManager(const CUserManager&) = delete;
    CUserManager& operator=(const CUserManager&) = delete;

private:
    CUserManager() = default;
    ~CUserManager();

    std::map<ObjID, CSceneObject*> m_users;
};

#endif
