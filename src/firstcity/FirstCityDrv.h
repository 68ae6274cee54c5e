// The FirstCity module object: a stub game that answers every move request
// with the same fixed cell and ignores everything else.
#ifndef CORVANE_FIRSTCITY_FIRSTCITYDRV_H
#define CORVANE_FIRSTCITY_FIRSTCITYDRV_H

#include "firstcity/FirstCity.h"

#include <cstdint>

class CFirstCityDrv final : public FirstCity::CFirstCity {
public:
    void OnRecv_PreEnter() override;
    void OnRecv_NotifyLeave(const uint32_t& type) override;
    void OnRecv_InitPosition(const int16_t& x, const int16_t& y) override;
    void OnRecv_MoveTo(const int16_t& x, const int16_t& y) override;
    void OnRecv_SaveMyPos(const uint32_t& tokenData) override;
};

#endif
