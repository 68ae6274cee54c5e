// Accepts TCP connections and starts an HTTP session for each.
#ifndef CORVANE_HOST_LISTENER_H
#define CORVANE_HOST_LISTENER_H

#include "net/ServerContext.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <string>

class CListener : public std::enable_shared_from_this<CListener> {
public:
    CListener(boost::asio::io_context& ioc, CServerContext& ctx);

    // Throws CStartupError when the address cannot be had.
    boost::asio::ip::tcp::endpoint Bind(const std::string& host, uint16_t port);
    void Run();
    void Stop();

private:
    void DoAccept();
    void OnAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& m_ioc;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_retry;
    CServerContext& m_ctx;
};

#endif
