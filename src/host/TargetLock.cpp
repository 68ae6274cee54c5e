#include "host/TargetLock.h"

CTargetLock::CTargetLock(IServiceContext* context, const uint32_t* ids, uint32_t count, uint8_t flag)
{
    if (context == nullptr || !context->LockTargets(flag)) {
        return;
    }
    context->GetTargets(&savedIds, &savedCount);
    context->SetTargets(count == 0 ? nullptr : ids, count);
    owner = context;
}

CTargetLock::~CTargetLock()
{
    if (owner != nullptr) {
        owner->SetTargets(savedIds, savedCount);
        owner->UnlockTargets();
    }
}
