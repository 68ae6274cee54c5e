// The requests from outside to stop the host. POSIX: SIGINT and SIGTERM
// (StopSignals_posix.cpp). Windows: Ctrl+C, Ctrl+Break, and the console
// window closing or the user logging off or the system shutting down, for
// which Windows waits only a few seconds (StopSignals_win.cpp).
#ifndef CORVANE_HOST_STOPSIGNALS_H
#define CORVANE_HOST_STOPSIGNALS_H

#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

class CStopSignals {
public:
    explicit CStopSignals(boost::asio::io_context& ioc);
    ~CStopSignals();

    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Calls onStop(what was received, urgent) on the event loop at the
    // first request. `urgent`: the system ends the process within seconds
    // whatever the host does (a console closed, a log-off, a shut-down), so
    // there is no time for a drain.
    void AsyncWait(std::function<void(const std::string&, bool)> onStop);
    // Stops listening: a second request ends the process the default way.
    void Cancel();

    // A reader of standard output or of a connection that has gone away
    // shows up as a failed write, never as a signal that ends the host.
    static void IgnoreBrokenPipes();

private:
    struct CImpl;
    std::shared_ptr<CImpl> m_impl;
};

#endif
