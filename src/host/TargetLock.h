// Redirects a service context's sends to a list of users for the lifetime of
// one local object, restoring the previous list afterwards.
#ifndef CORVANE_HOST_TARGETLOCK_H
#define CORVANE_HOST_TARGETLOCK_H

#include <corvane/KVServerApi.h>

#include <cstdint>

class CTargetLock {
public:
    // ids may be null when count is 0. A lock the host refuses, or a null
    // context, has no effect.
    CTargetLock(IServiceContext* context, const uint32_t* ids, uint32_t count, uint8_t flag);
    ~CTargetLock();
    CTargetLock(const CTargetLock&) = delete;
    CTargetLock& operator=(const CTargetLock&) = delete;

private:
    const uint32_t* savedIds = nullptr;
    uint32_t savedCount = 0;
    IServiceContext* owner = nullptr;
};

#endif
