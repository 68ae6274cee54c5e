#include "host/SvrUserNotifyHandler.h"

#include "archive/ModuleDiag.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <cstdio>

void CSvrUserNotifyHandler::OnUserLogin(uint32_t userId)
{
    try {
        CAutoLock lock(&CSceneGrid::Instance().GetLock());
        CUserManager::Instance().FindOrCreate(ObjID(userId, kKindUser));
        std::printf("%s\n", "CSvrUserNotifyHandler::OnUserLogin");
        std::fflush(stdout);
    } catch (...) {
        ReportHandlerException("CSvrUserNotifyHandler::OnUserLogin");
    }
}

void CSvrUserNotifyHandler::OnUserLogout(uint32_t userId)
{
    try {
        CAutoLock lock(&CSceneGrid::Instance().GetLock());
        const ObjID id(userId, kKindUser);
        CSceneObject* r = CUserManager::Instance().FindOrCreate(id);
        // Off the grid first: the grid finds the user's cell through the record.
        CSceneGrid::Instance().Remove(id);
        CUserManager::Instance().Remove(r);
        std::printf("%s\n", "CSvrUserNotifyHandler::OnUserLogout");
        std::fflush(stdout);
    } catch (...) {
        ReportHandlerException("CSvrUserNotifyHandler::OnUserLogout");
    }
}
