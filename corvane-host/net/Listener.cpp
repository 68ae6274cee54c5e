#include "net/Listener.h"

#include "net/HttpSession.h"
#include "net/ListeningPort.h"
#include "ops/StartupError.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <utility>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using namespace std::chrono_literals;

CListener::CListener(asio::io_context& ioc, CServerContext& ctx) : m_ioc(ioc), m_acceptor(ioc), m_retry(ioc), m_ctx(ctx)
{
}

tcp::endpoint CListener::Bind(const std::string& host, uint16_t port)
{
    const std::string where = host + ":" + std::to_string(port);
    error_code ec;
    tcp::resolver resolver(m_ioc);
    const auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
    if (ec || results.empty()) {
        throw CStartupError("cannot listen on " + where + ": unknown host");
    }
    tcp::endpoint endpoint = results.begin()->endpoint();
    for (const auto& entry : results) {
        if (entry.endpoint().address().is_v4()) {
            endpoint = entry.endpoint();
            break;
        }
    }

    const auto fail = [&](const error_code& why) {
        return CStartupError("cannot listen on " + where + ": " + why.message());
    };
    m_acceptor.open(endpoint.protocol(), ec);
    if (ec) {
        throw fail(ec);
    }
    ClaimListeningPort(m_acceptor);
    m_acceptor.bind(endpoint, ec);
    if (ec) {
        throw fail(ec);
    }
    m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        throw fail(ec);
    }
    return m_acceptor.local_endpoint();
}

void CListener::Run() { DoAccept(); }

void CListener::Stop()
{
    error_code ec;
    m_acceptor.close(ec);
    m_retry.cancel();
}

void CListener::DoAccept()
{
    m_acceptor.async_accept(m_ioc, [self = shared_from_this()](error_code ec, tcp::socket socket) {
        self->OnAccept(ec, std::move(socket));
    });
}

void CListener::OnAccept(error_code ec, tcp::socket socket)
{
    if (!m_acceptor.is_open()) {
        return;
    }
    if (ec) {
        // Out of descriptors, typically: wait a little instead of spinning.
        spdlog::warn("accept failed: {}", ec.message());
        m_retry.expires_after(100ms);
        m_retry.async_wait([self = shared_from_this()](error_code timerEc) {
            if (!timerEc) {
                self->DoAccept();
            }
        });
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<CHttpSession>(std::move(socket), m_ctx);
    m_ctx.Track(session);
    session->Run();
    DoAccept();
}
