// A wrapper of one operating-system timer queue: callbacks run on the
// system's timer threads, never on the caller's. Failures print one line
// with the system's error code.
#ifndef CORVANE_HOST_TIMERQUEUE_H
#define CORVANE_HOST_TIMERQUEUE_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// The system's WAITORTIMERCALLBACK: the second argument is a BOOLEAN.
#define CORVANE_TIMER_CALLBACK __stdcall
using TimerFired = unsigned char;
#else
#define CORVANE_TIMER_CALLBACK
using TimerFired = bool;
#endif

// The callback gets the parameter given at creation; timerOrWaitFired is
// always true for a timer.
using TimerCallback = void(CORVANE_TIMER_CALLBACK*)(void* param, TimerFired timerOrWaitFired);
// A HANDLE on Windows; an opaque token elsewhere.
using TimerHandle = void*;
using EventHandle = void*;

// As completion event of DeleteTimer: wait until a running callback of the
// timer has returned (INVALID_HANDLE_VALUE on Windows). A null event does not
// wait; DeleteTimer then fails when a callback is still running, although
// the timer is deleted all the same. Elsewhere than on Windows there are no
// event objects to signal, so any other value counts as null.
inline const EventHandle kWaitForCallbacks = reinterpret_cast<EventHandle>(static_cast<std::intptr_t>(-1));

class CTimerQueue {
public:
    static CTimerQueue& Instance();

    ~CTimerQueue();
    CTimerQueue(const CTimerQueue&) = delete;
    CTimerQueue& operator=(const CTimerQueue&) = delete;

    // Fires first after dueTime ms, then every period ms; a period of 0 fires
    // once. The timer lives until DeleteTimer, also after its one firing.
    // flags are the system's WT_* flags; elsewhere than on Windows they have
    // no counterpart and are ignored. Null on failure.
    TimerHandle CreateTimer(TimerCallback callback, void* param, uint32_t period, uint32_t dueTime,
                            uint32_t flags);
    bool DeleteTimer(TimerHandle timer, EventHandle completionEvent);

protected:
    // Creates the system queue; prints a line and keeps none if that fails.
    CTimerQueue();
    // A wrapper without a queue, on which every timer creation fails quietly.
    explicit CTimerQueue(std::nullptr_t) {}

private:
    void* m_queue = nullptr;
};

#endif
