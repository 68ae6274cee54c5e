#include "easydemo/EasyDemoDrv.h"

#include "archive/ModuleDiag.h"
#include "host/TargetLock.h"
#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"
#include "world/WorldRecords.h"

#include <cstdio>

bool CEasyDemoDrv::OnRecv(const uint8_t* data, int32_t length)
{
    // The handlers catch their own exceptions; this catches the world's
    // construction failing on first use.
    try {
        CAutoLock lock(&CSceneGrid::Instance().GetLock());
        return CEasyDemo::OnRecv(data, length);
    } catch (...) {
        ReportHandlerException("CEasyDemoDrv::OnRecv");
        return false;
    }
}

void CEasyDemoDrv::OnRecv_EnterScene()
{
    if (context == nullptr) {
        return;
    }
    const ObjID id(context->GetCurrentUserId(), kKindUser);
    Pos pos;
    CSceneGrid::Instance().GetOrAssignPos(id, pos.x, pos.y);
    Send_EnterSceneAck(0, pos);
}

void CEasyDemoDrv::OnRecv_MoveTo(const Pos& pos)
{
    if (context == nullptr) {
        return;
    }
    const ObjID id(context->GetCurrentUserId(), kKindUser);
    CSceneGrid& grid = CSceneGrid::Instance();
#ifdef CORVANE_TEST_SHIFTED_MOVES
    // A test build with one deliberate change of logic, which a replay of a
    // session recorded with the real module must catch.
    grid.MoveTo(id, static_cast<int16_t>(pos.x + 1), pos.y);
#else
    grid.MoveTo(id, pos.x, pos.y);
#endif
    std::vector<ObjPos> poses;
    grid.GetAllPoses(poses);
    std::vector<uint32_t> ids = UserIdsOf(poses);
    CTargetLock lock(context, ids.data(), static_cast<uint32_t>(ids.size()), 0);
    Send_PoseList(poses);
    std::printf("[%s] return %d user poses.\n", "CEasyDemoDrv::OnRecv_MoveTo", static_cast<int>(ids.size()));
    std::fflush(stdout);
}

void CEasyDemoDrv::OnRecv_Attack(const uint32_t& toID, const uint8_t& playerType, const int32_t& attackType)
{
    if (context == nullptr) {
        return;
    }
    const uint32_t curUserID = context->GetCurrentUserId();
    const ObjID from_id(curUserID, kKindUser);
    CSceneObject* attacker = CUserManager::Instance().FindOrCreate(from_id);

    std::vector<AttackResult> result;
    auto hit = [&result](const ObjID& key, CSceneObject* r) {
        r->hp = HpAfterHit(r->hp);
        result.push_back(AttackResult{key.id, key.kind, 0, r->hp});
    };
    if (attackType == EasyDemo::kAreaAttack) {
        // A user with no cell attacks around (-1, -1), whose square covers
        // columns and rows 0 to 6 with the default range.
        if (attacker->attr3 > 0) {
            std::vector<ObjID> objIDs;
            CSceneGrid::Instance().GetObjIDs(attacker->x, attacker->y, static_cast<uint16_t>(attacker->range),
                                             objIDs);
            for (const ObjID& k : objIDs) {
                if (CSceneObject* r = FindWorldRecord(k)) {
                    hit(k, r);
                }
            }
        }
    } else {
        // Only registered objects can be hit: an attack must not make the
        // server keep a record for any id a client names.
        const ObjID to_id(toID, playerType);
        if (CSceneObject* r = FindWorldRecord(to_id)) {
            hit(to_id, r);
        }
    }

    std::vector<uint32_t> ids;
    CSceneGrid::Instance().GetUserIDs(ids);
    CTargetLock l(context, ids.data(), static_cast<uint32_t>(ids.size()), 0);
    Send_AttackNotify(curUserID, kKindUser, attackType, result);
}

void CEasyDemoDrv::OnRecv_Talk(const vecChar&)
{
}
