#include "firstcity/FirstCityDrv.h"

void CFirstCityDrv::OnRecv_PreEnter() {}

void CFirstCityDrv::OnRecv_NotifyLeave(const uint32_t&) {}

void CFirstCityDrv::OnRecv_InitPosition(const int16_t&, const int16_t&) {}

// The requested cell is not looked at: every move is answered with the same
// cell, which lies off the scene grid on purpose.
void CFirstCityDrv::OnRecv_MoveTo(const int16_t&, const int16_t&)
{
    const int16_t x = 888;
    const int16_t y = 999;
    Send_MoveToAck(x, y);
}

void CFirstCityDrv::OnRecv_SaveMyPos(const uint32_t&) {}
