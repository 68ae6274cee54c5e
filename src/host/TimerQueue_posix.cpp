#include "host/TimerQueue.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

// The queue is one worker thread that sleeps until the next timer is due and
// runs the callbacks one after another. Error codes are errno values, left in
// errno as the system leaves its last error.
namespace {

using Clock = std::chrono::steady_clock;

struct STimer {
    TimerCallback callback;
    void* param;
    Clock::time_point due;
    std::chrono::milliseconds period;
    bool armed;
};

// Shared by the queue and its worker, so that a worker still running a
// callback when the queue goes away keeps what it touches alive.
struct SQueueState {
    std::mutex mutex;
    std::condition_variable wake; // a timer came, went, or the queue stops
    std::condition_variable idle; // a callback returned
    std::map<uintptr_t, STimer> timers;
    uintptr_t nextId = 1;
    uintptr_t running = 0; // the timer whose callback runs; 0 for none
    bool stop = false;
};

void RunTimers(const std::shared_ptr<SQueueState>& state)
{
    std::unique_lock<std::mutex> lk(state->mutex);
    while (!state->stop) {
        auto next = state->timers.end();
        for (auto it = state->timers.begin(); it != state->timers.end(); ++it) {
            if (it->second.armed && (next == state->timers.end() || it->second.due < next->second.due)) {
                next = it;
            }
        }
        if (next == state->timers.end()) {
            state->wake.wait(lk);
            continue;
        }
        const Clock::time_point now = Clock::now();
        // A copy: the timer may be deleted while the worker waits.
        const Clock::time_point due = next->second.due;
        if (now < due) {
            state->wake.wait_until(lk, due);
            continue;
        }
        STimer& timer = next->second;
        if (timer.period.count() == 0) {
            timer.armed = false;
        } else {
            // A worker that fell behind fires once, not once per missed period.
            timer.due = std::max(timer.due + timer.period, now);
        }
        const TimerCallback callback = timer.callback;
        void* const param = timer.param;
        state->running = next->first;
        lk.unlock();
        callback(param, true);
        lk.lock();
        state->running = 0;
        state->idle.notify_all();
    }
}

class CQueue {
public:
    CQueue() : m_state(std::make_shared<SQueueState>()), m_worker(RunTimers, m_state) {}
    CQueue(const CQueue&) = delete;
    CQueue& operator=(const CQueue&) = delete;

    // Like the system's queue, deleting does not wait for a running
    // callback: the worker then finishes it on its own and fails the call
    // with EINPROGRESS. 0 on success.
    int Delete()
    {
        bool busy = false;
        {
            std::lock_guard<std::mutex> lk(m_state->mutex);
            m_state->stop = true;
            m_state->timers.clear();
            busy = m_state->running != 0;
        }
        m_state->wake.notify_all();
        if (busy) {
            m_worker.detach();
            return EINPROGRESS;
        }
        m_worker.join();
        return 0;
    }

    TimerHandle Add(TimerCallback callback, void* param, uint32_t period, uint32_t dueTime)
    {
        std::lock_guard<std::mutex> lk(m_state->mutex);
        const uintptr_t id = m_state->nextId++;
        m_state->timers.emplace(id, STimer{callback, param, Clock::now() + std::chrono::milliseconds(dueTime),
                                           std::chrono::milliseconds(period), true});
        m_state->wake.notify_all();
        return reinterpret_cast<TimerHandle>(id);
    }

    int Remove(TimerHandle timer, bool wait)
    {
        const uintptr_t id = reinterpret_cast<uintptr_t>(timer);
        std::unique_lock<std::mutex> lk(m_state->mutex);
        if (m_state->timers.erase(id) == 0) {
            return EINVAL;
        }
        m_state->wake.notify_all();
        if (m_state->running != id) {
            return 0;
        }
        if (!wait) {
            return EINPROGRESS;
        }
        // A callback waiting for itself would never return.
        if (std::this_thread::get_id() == m_worker.get_id()) {
            return EDEADLK;
        }
        m_state->idle.wait(lk, [&] { return m_state->running != id; });
        return 0;
    }

private:
    std::shared_ptr<SQueueState> m_state;
    std::thread m_worker;
};

// Prints a failure line and leaves the code in errno.
void ReportFailure(const char* format, int err)
{
    std::printf(format, err);
    std::fflush(stdout);
    errno = err;
}

} // namespace

CTimerQueue& CTimerQueue::Instance()
{
    static CTimerQueue queue;
    return queue;
}

CTimerQueue::CTimerQueue()
{
    int err = 0;
    try {
        m_queue = new CQueue;
    } catch (const std::system_error& e) {
        err = e.code().value();
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    if (m_queue == nullptr) {
        ReportFailure("CreateTimerQueue failed (%d)\n", err);
    }
}

CTimerQueue::~CTimerQueue()
{
    if (m_queue == nullptr) {
        return;
    }
    auto* queue = static_cast<CQueue*>(m_queue);
    const int err = queue->Delete();
    delete queue;
    if (err != 0) {
        ReportFailure("DeleteTimerQueue failed (%d)\n", err);
    }
}

TimerHandle CTimerQueue::CreateTimer(TimerCallback callback, void* param, uint32_t period, uint32_t dueTime,
                                     uint32_t)
{
    if (m_queue == nullptr) {
        return nullptr;
    }
    int err = EINVAL;
    if (callback != nullptr) {
        try {
            return static_cast<CQueue*>(m_queue)->Add(callback, param, period, dueTime);
        } catch (const std::bad_alloc&) {
            err = ENOMEM;
        }
    }
    ReportFailure("CreateTimerQueueTimer failed (%d)\n", err);
    return nullptr;
}

bool CTimerQueue::DeleteTimer(TimerHandle timer, EventHandle completionEvent)
{
    if (m_queue == nullptr) {
        errno = EINVAL;
        return false;
    }
    const int err = static_cast<CQueue*>(m_queue)->Remove(timer, completionEvent == kWaitForCallbacks);
    if (err != 0) {
        errno = err;
        return false;
    }
    return true;
}
