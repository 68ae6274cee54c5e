#include "net/HttpSession.h"

#include "net/FleetGate.h"
#include "net/WebSocketSession.h"

#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <chrono>
#include <utility>
#include <variant>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kHttpTimeout = 30s;

} // namespace

CHttpSession::CHttpSession(tcp::socket&& socket, CServerContext& ctx) : m_stream(std::move(socket)), m_ctx(ctx) {}

void CHttpSession::Run() { DoRead(); }

void CHttpSession::Shutdown(std::string_view) { m_stream.close(); }

void CHttpSession::DoRead()
{
    m_parser.emplace();
    m_parser->header_limit(kHttpHeaderLimit);
    m_parser->body_limit(kHttpBodyLimit);
    m_stream.expires_after(kHttpTimeout);
    http::async_read(m_stream, m_buffer, *m_parser,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
}

void CHttpSession::OnRead(beast::error_code ec)
{
    if (ec == http::error::end_of_stream) {
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        return;
    }
    if (ec) {
        if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
            std::visit([this](auto&& res) { Send(std::move(res)); }, CHttpRouter::BadRequest());
        }
        return;
    }

    CHttpRequest req = m_parser->release();
    if (websocket::is_upgrade(req) && PathOf(req.target()) == "/ws" && !m_ctx.stopping) {
        auto session = std::make_shared<CWsSession>(m_stream.release_socket(), m_ctx);
        m_ctx.Track(session);
        session->Run(req, m_buffer);
        return;
    }
    // The next request is read only after the fleet's answer has been written.
    beast::error_code peerEc;
    const auto client = m_stream.socket().remote_endpoint(peerEc).address();
    if (m_ctx.fleet != nullptr && m_ctx.fleet->Answer(req, client, [self = shared_from_this()](CHttpResponse res) {
            std::visit([&self](auto&& r) { self->Send(std::move(r)); }, std::move(res));
        })) {
        return;
    }
    std::visit([this](auto&& res) { Send(std::move(res)); }, m_ctx.router.Route(req));
}

template <class Body>
void CHttpSession::Send(http::response<Body>&& res)
{
    auto message = std::make_shared<http::response<Body>>(std::move(res));
    m_response = message;
    m_stream.expires_after(kHttpTimeout);
    http::async_write(m_stream, *message,
                      [self = shared_from_this(), close = message->need_eof()](beast::error_code ec, std::size_t) {
                          self->OnWrite(close, ec);
                      });
}

void CHttpSession::OnWrite(bool close, beast::error_code ec)
{
    m_response.reset();
    if (ec) {
        return;
    }
    if (close) {
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        return;
    }
    DoRead();
}
