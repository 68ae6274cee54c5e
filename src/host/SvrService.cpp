#include "host/SvrService.h"

#include "host/Globals.h"

bool CSvrService::Init(IServiceContext* context)
{
    if (context != nullptr) {
        context->RegisterModule(&g_easyDemoDrv);
    }
    g_easyDemoDrv.context = context;
    return true;
}

bool CSvrService::Uninit(void*)
{
    return true;
}
