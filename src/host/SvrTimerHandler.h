#ifndef CORVANE_HOST_SVRTIMERHANDLER_H
#define CORVANE_HOST_SVRTIMERHANDLER_H

#include <corvane/KVServerApi.h>

#include <cstdint>

inline constexpr uint32_t kTimerInterval = 1000;

// The periodic tick: moves the server-driven objects, then tells every user
// on the grid where everything stands and what state it is in.
class CSvrTimerHandler final : public ITimerHandler {
public:
    void OnTimer() override;

    uint32_t timerId = 0; // the host's handle, kept for reference only
};

#endif
