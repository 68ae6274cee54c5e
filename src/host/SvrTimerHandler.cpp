#include "host/SvrTimerHandler.h"

#include "archive/ModuleDiag.h"
#include "host/Globals.h"
#include "host/TargetLock.h"
#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/WorldRecords.h"

#include <vector>

namespace {

void Tick(IServiceContext* context)
{
    CNpcManager::Instance().Update();
    CSceneGrid& grid = CSceneGrid::Instance();
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    const std::vector<uint32_t> ids = UserIdsOf(poses);
    CTargetLock lock(context, ids.data(), static_cast<uint32_t>(ids.size()), 0);
    g_easyDemoDrv.Send_PoseList(poses);

    std::vector<ObjID> objIDs;
    grid.GetObjIDs(0, 0, 0, objIDs);
    std::vector<ObjInfo> infos;
    infos.reserve(objIDs.size());
    for (const ObjID& key : objIDs) {
        if (const CSceneObject* r = FindWorldRecord(key)) {
            infos.push_back(ObjInfo{key.id, key.kind, r->attr1, r->hp, r->attr2, r->attr3, r->range});
        }
    }
    g_easyDemoDrv.Send_ObjInfoList(infos);
}

} // namespace

void CSvrTimerHandler::OnTimer()
{
    try {
        CAutoLock lock(&CSceneGrid::Instance().GetLock());
        if (g_easyDemoDrv.context != nullptr) {
            Tick(g_easyDemoDrv.context);
        }
    } catch (...) {
        // An oversized tick (more than 255 objects in a list) sends nothing;
        // the locals have restored the target list on the way out.
        ReportHandlerException("CSvrTimerHandler::OnTimer");
    }
}
