// The EasyDemo game: entering the scene, moves, attacks and chat against the
// shared world.
#ifndef CORVANE_EASYDEMO_EASYDEMODRV_H
#define CORVANE_EASYDEMO_EASYDEMODRV_H

#include "easydemo/EasyDemo.h"

#include <corvane/KVServerApi.h>

class CEasyDemoDrv : public EasyDemo::CEasyDemo {
public:
    // Every message runs under the world lock, sends included.
    bool OnRecv(const uint8_t* data, int32_t length) override;

    void OnRecv_EnterScene() override;
    void OnRecv_MoveTo(const Pos& pos) override;
    void OnRecv_Attack(const uint32_t& toID, const uint8_t& playerType, const int32_t& attackType) override;
    void OnRecv_Talk(const vecChar& msg) override;

    // The context the module was registered with; null until the service's
    // Init stores it, and until then the callbacks do nothing.
    IServiceContext* context = nullptr;
};

#endif
