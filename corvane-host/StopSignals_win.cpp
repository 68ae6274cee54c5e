#include "StopSignals.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <windows.h>

namespace {

// Windows ends the process this long after a close, log-off or shut-down
// event at the latest; the host stops within it or is ended anyway.
constexpr auto kCloseGrace = std::chrono::milliseconds(4500);

const char* EventName(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "console close";
    case CTRL_LOGOFF_EVENT:
        return "log-off";
    default:
        return "system shut-down";
    }
}

} // namespace

// Shared with the console's handler thread, which may still hold it while
// the host goes away.
struct CStopSignals::CImpl {
    explicit CImpl(boost::asio::io_context& loop) : ioc(loop) {}

    // On the handler thread: false when nobody listens, so that the next
    // handler (the default one, which ends the process) runs.
    bool Request(DWORD type)
    {
        const std::lock_guard lock(mutex);
        if (!listening) {
            return false;
        }
        if (onStop) {
            const bool urgent = type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT;
            boost::asio::post(ioc, [stop = std::move(onStop), what = std::string(EventName(type)), urgent] {
                stop(what, urgent);
            });
            onStop = nullptr;
        }
        return true;
    }

    void WaitFinished()
    {
        std::unique_lock lock(mutex);
        finishedCv.wait_for(lock, kCloseGrace, [this] { return finished; });
    }

    static BOOL WINAPI OnConsoleEvent(DWORD type);

    // The one the console's handler reaches.
    static std::mutex activeMutex;
    static std::shared_ptr<CImpl> active; // guarded by activeMutex

    boost::asio::io_context& ioc;
    std::mutex mutex;
    std::condition_variable finishedCv;
    std::function<void(const std::string&, bool)> onStop; // guarded by mutex
    bool listening = true;                           // guarded by mutex
    bool finished = false;                           // guarded by mutex
};

std::mutex CStopSignals::CImpl::activeMutex;
std::shared_ptr<CStopSignals::CImpl> CStopSignals::CImpl::active;

BOOL WINAPI CStopSignals::CImpl::OnConsoleEvent(DWORD type)
{
    std::shared_ptr<CImpl> impl;
    {
        const std::lock_guard lock(activeMutex);
        impl = active;
    }
    if (!impl || !impl->Request(type)) {
        return FALSE;
    }
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        // The process ends when this returns: give the host its time to stop.
        impl->WaitFinished();
    }
    return TRUE;
}

CStopSignals::CStopSignals(boost::asio::io_context& ioc) : m_impl(std::make_shared<CImpl>(ioc))
{
    {
        const std::lock_guard lock(CImpl::activeMutex);
        CImpl::active = m_impl;
    }
    SetConsoleCtrlHandler(CImpl::OnConsoleEvent, TRUE);
}

CStopSignals::~CStopSignals()
{
    Cancel();
    SetConsoleCtrlHandler(CImpl::OnConsoleEvent, FALSE);
    const std::lock_guard lock(m_impl->mutex);
    m_impl->finished = true;
    m_impl->finishedCv.notify_all();
}

void CStopSignals::AsyncWait(std::function<void(const std::string&, bool)> onStop)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->onStop = std::move(onStop);
}

void CStopSignals::Cancel()
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->listening = false;
    m_impl->onStop = nullptr;
}

void CStopSignals::IgnoreBrokenPipes() {}
