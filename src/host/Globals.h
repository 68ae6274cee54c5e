// The library-global objects, created at load in the order of their
// definition in KVServer.cpp and destroyed in reverse.
#ifndef CORVANE_HOST_GLOBALS_H
#define CORVANE_HOST_GLOBALS_H

#include "easydemo/EasyDemoDrv.h"
#include "firstcity/FirstCityDrv.h"
#include "host/SvrService.h"
#include "host/SvrTimerHandler.h"
#include "host/SvrUserNotifyHandler.h"

extern CFirstCityDrv g_firstCityDrv;
extern CEasyDemoDrv g_easyDemoDrv;
extern CSvrService g_svrService;
extern CSvrTimerHandler g_svrTimerHandler;
extern CSvrUserNotifyHandler g_svrUserNotifyHandler;

#endif
