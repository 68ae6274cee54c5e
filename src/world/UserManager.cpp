#include "world/UserManager.h"

CUserManager& CUserManager::Instance()
{
    static CUserManager instance;
    return instance;
}

CUserManager::~CUserManager()
{
    for (auto& entry : m_users) {
        delete entry.second;
    }
}

CSceneObject* CUserManager::FindOrCreate(const ObjID& key)
{
    auto it = m_users.lower_bound(key);
    if (it != m_users.end() && it->first == key) {
        return it->second;
    }
    auto* obj = new CSceneObject(key);
    ResetStats(obj);
    m_users.emplace_hint(it, key, obj);
    return obj;
}

CSceneObject* CUserManager::Find(const ObjID& key) const
{
    auto it = m_users.find(key);
    return it == m_users.end() ? nullptr : it->second;
}

bool CUserManager::Remove(CSceneObject* obj)
{
    auto it = m_users.find(obj->objID);
    if (it != m_users.end() && it->second == obj) {
        m_users.erase(it);
    }
    delete obj;
    return true;
}
