#include "world/Lockable.h"

#include <windows.h>

#include <new>

struct CCriticalSection::CImpl {
    CRITICAL_SECTION section;
};

static_assert(sizeof(CCriticalSection::CImpl) <= 64);

namespace {
constexpr DWORD kSpinCount = 4000;
}

CCriticalSection::CImpl* CCriticalSection::Impl()
{
    return std::launder(reinterpret_cast<CImpl*>(m_storage));
}

CCriticalSection::CCriticalSection()
{
    CImpl* impl = new (m_storage) CImpl;
    if (!InitializeCriticalSectionAndSpinCount(&impl->section, kSpinCount)) {
        throw 1;
    }
}

CCriticalSection::~CCriticalSection()
{
    DeleteCriticalSection(&Impl()->section);
}

bool CCriticalSection::Lock()
{
    EnterCriticalSection(&Impl()->section);
    return true;
}

bool CCriticalSection::Unlock()
{
    LeaveCriticalSection(&Impl()->section);
    return true;
}

bool CCriticalSection::TryLock()
{
    return TryEnterCriticalSection(&Impl()->section) != FALSE;
}
