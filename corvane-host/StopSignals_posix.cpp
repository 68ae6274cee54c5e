#include "StopSignals.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>

struct CStopSignals::CImpl {
    explicit CImpl(boost::asio::io_context& ioc) : signals(ioc, SIGINT, SIGTERM) {}
    boost::asio::signal_set signals;
};

CStopSignals::CStopSignals(boost::asio::io_context& ioc) : m_impl(std::make_shared<CImpl>(ioc)) {}

CStopSignals::~CStopSignals() = default;

void CStopSignals::AsyncWait(std::function<void(const std::string&, bool)> onStop)
{
    m_impl->signals.async_wait([onStop = std::move(onStop)](boost::system::error_code ec, int signal) {
        if (!ec) {
            onStop("signal " + std::to_string(signal), false);
        }
    });
}

void CStopSignals::Cancel()
{
    boost::system::error_code ec;
    m_impl->signals.cancel(ec);
    m_impl->signals.clear(ec);
}

void CStopSignals::IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }
