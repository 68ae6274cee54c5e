#include "host/TimerQueue.h"

#include <windows.h>

#include <cstdio>
#include <type_traits>

static_assert(std::is_same_v<TimerCallback, WAITORTIMERCALLBACK>);

namespace {

// Prints a failure line with the last error, which it leaves in place.
void ReportFailure(const char* format)
{
    const DWORD err = GetLastError();
    std::printf(format, static_cast<int>(err));
    std::fflush(stdout);
    SetLastError(err);
}

} // namespace

CTimerQueue& CTimerQueue::Instance()
{
    static CTimerQueue queue;
    return queue;
}

CTimerQueue::CTimerQueue()
{
    m_queue = CreateTimerQueue();
    if (m_queue == nullptr) {
        ReportFailure("CreateTimerQueue failed (%d)\n");
    }
}

// Runs when the library is unloaded, under the loader's lock: the queue is
// deleted without waiting for callbacks still running.
CTimerQueue::~CTimerQueue()
{
    if (m_queue != nullptr && !DeleteTimerQueue(m_queue)) {
        ReportFailure("DeleteTimerQueue failed (%d)\n");
    }
}

TimerHandle CTimerQueue::CreateTimer(TimerCallback callback, void* param, uint32_t period, uint32_t dueTime,
                                     uint32_t flags)
{
    if (m_queue == nullptr) {
        return nullptr;
    }
    HANDLE hRet = nullptr;
    if (!CreateTimerQueueTimer(&hRet, m_queue, callback, param, dueTime, period, flags)) {
        ReportFailure("CreateTimerQueueTimer failed (%d)\n");
        return nullptr;
    }
    return hRet;
}

bool CTimerQueue::DeleteTimer(TimerHandle timer, EventHandle completionEvent)
{
    return DeleteTimerQueueTimer(m_queue, timer, completionEvent) != FALSE;
}
