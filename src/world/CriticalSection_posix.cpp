#include "world/Lockable.h"

#include <pthread.h>

#include <new>

struct CCriticalSection::CImpl {
    pthread_mutex_t mutex;
};

static_assert(sizeof(CCriticalSection::CImpl) <= 64);

CCriticalSection::CImpl* CCriticalSection::Impl()
{
    return std::launder(reinterpret_cast<CImpl*>(m_storage));
}

CCriticalSection::CCriticalSection()
{
    CImpl* impl = new (m_storage) CImpl;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        throw 1;
    }
    const bool made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0
                      && pthread_mutex_init(&impl->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!made) {
        throw 1;
    }
}

CCriticalSection::~CCriticalSection()
{
    pthread_mutex_destroy(&Impl()->mutex);
}

bool CCriticalSection::Lock()
{
    pthread_mutex_lock(&Impl()->mutex);
    return true;
}

bool CCriticalSection::Unlock()
{
    pthread_mutex_unlock(&Impl()->mutex);
    return true;
}

bool CCriticalSection::TryLock()
{
    return pthread_mutex_trylock(&Impl()->mutex) == 0;
}
