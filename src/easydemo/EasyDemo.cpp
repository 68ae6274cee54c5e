#include "easydemo/EasyDemo.h"

#include "archive/ModuleDiag.h"

namespace EasyDemo {

const CEasyDemo::Handler CEasyDemo::s_commands[4] = {
    &CEasyDemo::_DoRecv_EnterScene,
    &CEasyDemo::_DoRecv_MoveTo,
    &CEasyDemo::_DoRecv_Attack,
    &CEasyDemo::_DoRecv_Talk,
};

bool CEasyDemo::OnRecv(const uint8_t* data, int32_t length)
{
    return Dispatch(*this, s_commands, data, length);
}

bool CEasyDemo::_DoRecv_EnterScene(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        OnRecv_EnterScene();
        result = true;
    } catch (...) {
        ReportHandlerException("EasyDemo::CEasyDemo::_DoRecv_EnterScene");
    }
    return result;
}

bool CEasyDemo::_DoRecv_MoveTo(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        Pos pos;
        ar >> pos;
        OnRecv_MoveTo(pos);
        result = true;
    } catch (...) {
        ReportHandlerException("EasyDemo::CEasyDemo::_DoRecv_MoveTo");
    }
    return result;
}

bool CEasyDemo::_DoRecv_Attack(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        uint32_t toID = 0;
        uint8_t playerType = 0;
        int32_t attackType = 0;
        ar >> toID >> playerType >> attackType;
        OnRecv_Attack(toID, playerType, attackType);
        result = true;
    } catch (...) {
        ReportHandlerException("EasyDemo::CEasyDemo::_DoRecv_Attack");
    }
    return result;
}

bool CEasyDemo::_DoRecv_Talk(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        vecChar msg;
        ar >> msg;
        OnRecv_Talk(msg);
        result = true;
    } catch (...) {
        ReportHandlerException("EasyDemo::CEasyDemo::_DoRecv_Talk");
    }
    return result;
}

std::string CEasyDemo::Pack_EnterSceneAck(const int32_t& code, const Pos& pos) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kEnterSceneAck) << code << pos;
    return sendPkg;
}

void CEasyDemo::Send_EnterSceneAck(const int32_t& code, const Pos& pos)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_EnterSceneAck(code, pos));
    }
}

std::string CEasyDemo::Pack_PoseList(const std::vector<ObjPos>& poses) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kPoseList) << poses;
    return sendPkg;
}

void CEasyDemo::Send_PoseList(const std::vector<ObjPos>& poses)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_PoseList(poses));
    }
}

std::string CEasyDemo::Pack_AttackNotify(const uint32_t& id, const uint8_t& kind, const int32_t& attackType,
                                         const std::vector<AttackResult>& result) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kAttackNotify) << id << kind << attackType << result;
    return sendPkg;
}

void CEasyDemo::Send_AttackNotify(const uint32_t& id, const uint8_t& kind, const int32_t& attackType,
                                  const std::vector<AttackResult>& result)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_AttackNotify(id, kind, attackType, result));
    }
}

std::string CEasyDemo::Pack_ObjInfoList(const std::vector<ObjInfo>& infos) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kObjInfoList) << infos;
    return sendPkg;
}

void CEasyDemo::Send_ObjInfoList(const std::vector<ObjInfo>& infos)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_ObjInfoList(infos));
    }
}

std::string CEasyDemo::Pack_TalkNotify(const int32_t& id, const vecChar& msg) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kTalkNotify) << id << msg;
    return sendPkg;
}

void CEasyDemo::Send_TalkNotify(const int32_t& id, const vecChar& msg)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_TalkNotify(id, msg));
    }
}

} // namespace EasyDemo
