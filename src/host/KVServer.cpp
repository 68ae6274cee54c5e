#include "host/Globals.h"

#include <corvane/KVServerApi.h>

// Defined in this order on purpose: one translation unit fixes the order of
// construction (and so the reverse order of destruction).
CFirstCityDrv g_firstCityDrv;
CEasyDemoDrv g_easyDemoDrv;
CSvrService g_svrService;
CSvrTimerHandler g_svrTimerHandler;
CSvrUserNotifyHandler g_svrUserNotifyHandler;

extern "C" KV_API int32_t KVServerStart(IServerHost* host)
{
    // Without a service manager or a timer manager the module could never
    // run; report it instead of half-registering.
    IServiceManager* services = host != nullptr ? host->GetServiceManager() : nullptr;
    ITimerManager* timers = host != nullptr ? host->GetTimerManager() : nullptr;
    if (services == nullptr || timers == nullptr) {
        return -1;
    }
    services->RegisterService(kServiceId, &g_svrService);
    g_svrTimerHandler.timerId = timers->AddTimer(&g_svrTimerHandler, kTimerInterval);
    if (IUserNotifier* notifier = host->GetUserNotifier()) {
        notifier->AddHandler(&g_svrUserNotifyHandler);
    }
    return 0;
}
