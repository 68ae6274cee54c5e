// One plain HTTP connection: reads requests, answers them through the
// router, and hands the socket to a WebSocket session on an upgrade at /ws.
#ifndef CORVANE_HOST_HTTPSESSION_H
#define CORVANE_HOST_HTTPSESSION_H

#include "net/HttpRouter.h"
#include "net/ServerContext.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>

#include <memory>
#include <optional>

class CHttpSession final : public IHostSession, public std::enable_shared_from_this<CHttpSession> {
public:
    CHttpSession(boost::asio::ip::tcp::socket&& socket, CServerContext& ctx);

    void Run();
    void Shutdown(std::string_view reason) override;

private:
    void DoRead();
    void OnRead(boost::beast::error_code ec);
    template <class Body>
    void Send(boost::beast::http::response<Body>&& res);
    void OnWrite(bool close, boost::beast::error_code ec);

    boost::beast::tcp_stream m_stream;
    boost::beast::flat_buffer m_buffer;
    CServerContext& m_ctx;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
    std::shared_ptr<void> m_response;
};

#endif
