#ifndef CORVANE_HOST_SVRSERVICE_H
#define CORVANE_HOST_SVRSERVICE_H

#include <corvane/KVServerApi.h>

#include <cstdint>

inline constexpr uint32_t kServiceId = 4455;

// The service the host starts: binds the EasyDemo module to its context.
class CSvrService final : public IService {
public:
    bool Init(IServiceContext* context) override;
    bool Uninit(void* arg) override;
};

#endif
