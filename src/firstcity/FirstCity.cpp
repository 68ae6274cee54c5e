#include "firstcity/FirstCity.h"

#include "archive/ModuleDiag.h"

namespace FirstCity {

const CFirstCity::Handler CFirstCity::s_commands[5] = {
    &CFirstCity::_DoRecv_PreEnter,
    &CFirstCity::_DoRecv_NotifyLeave,
    &CFirstCity::_DoRecv_InitPosition,
    &CFirstCity::_DoRecv_MoveTo,
    &CFirstCity::_DoRecv_SaveMyPos,
};

bool CFirstCity::OnRecv(const uint8_t* data, int32_t length)
{
    return Dispatch(*this, s_commands, data, length);
}

bool CFirstCity::_DoRecv_PreEnter(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        OnRecv_PreEnter();
        result = true;
    } catch (...) {
        ReportHandlerException("FirstCity::CFirstCity::_DoRecv_PreEnter");
    }
    return result;
}

bool CFirstCity::_DoRecv_NotifyLeave(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        uint32_t type = 0;
        ar >> type;
        OnRecv_NotifyLeave(type);
        result = true;
    } catch (...) {
        ReportHandlerException("FirstCity::CFirstCity::_DoRecv_NotifyLeave");
    }
    return result;
}

bool CFirstCity::_DoRecv_InitPosition(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        int16_t x = 0;
        int16_t y = 0;
        ar >> x >> y;
        OnRecv_InitPosition(x, y);
        result = true;
    } catch (...) {
        ReportHandlerException("FirstCity::CFirstCity::_DoRecv_InitPosition");
    }
    return result;
}

bool CFirstCity::_DoRecv_MoveTo(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        int16_t x = 0;
        int16_t y = 0;
        ar >> x >> y;
        OnRecv_MoveTo(x, y);
        result = true;
    } catch (...) {
        ReportHandlerException("FirstCity::CFirstCity::_DoRecv_MoveTo");
    }
    return result;
}

bool CFirstCity::_DoRecv_SaveMyPos(const uint8_t* data, int32_t length)
{
    bool result = false;
    try {
        CInArchive ar(data, length);
        uint32_t tokenData = 0;
        ar >> tokenData;
        OnRecv_SaveMyPos(tokenData);
        result = true;
    } catch (...) {
        ReportHandlerException("FirstCity::CFirstCity::_DoRecv_SaveMyPos");
    }
    return result;
}

std::string CFirstCity::Pack_FirstResult(const uint8_t& value) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kFirstResult) << value;
    return sendPkg;
}

void CFirstCity::Send_FirstResult(const uint8_t& value)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_FirstResult(value));
    }
}

std::string CFirstCity::Pack_PosList(const std::vector<PlayerPos>& poses) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kPosList) << poses;
    return sendPkg;
}

void CFirstCity::Send_PosList(const std::vector<PlayerPos>& poses)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_PosList(poses));
    }
}

std::string CFirstCity::Pack_MoveToAck(const int16_t& x, const int16_t& y) const
{
    std::string sendPkg;
    COutArchive ar(sendPkg);
    BeginFrame(ar, kMoveToAck) << x << y;
    return sendPkg;
}

void CFirstCity::Send_MoveToAck(const int16_t& x, const int16_t& y)
{
    if (Sender() != nullptr) {
        SendPkg(Pack_MoveToAck(x, y));
    }
}

} // namespace FirstCity
