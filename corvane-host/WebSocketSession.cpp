#include "WebSocketSession.h"

#include "Fleet.h"
#include "HostMessages.h"
#include "HostOptions.h"
#include "HostProtocol.h"
#include "Metrics.h"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/error.hpp>
#include <spdlog/spdlog.h>

#include <chrono>
#include <sstream>
#include <utility>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kHandshakeTimeout = 10s;
constexpr auto kLoginTimeout = 10s;
// A peer that sends nothing for this long is pinged, then dropped.
constexpr auto kIdleTimeout = 60s;
// How long a closing connection may take to flush and finish the closing
// handshake before its socket is simply closed.
constexpr auto kCloseTimeout = 2s;

void AppendLE(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A server message of module 0: the 4-byte frame, then the body, encoded as
// the module's archive encodes its fields (little-endian, fixed widths).
std::string HostFrame(uint16_t msg, std::string_view body)
{
    std::string out;
    out.reserve(kClientHeaderSize + body.size());
    AppendLE(out, kHostModuleId, 2);
    AppendLE(out, msg, 2);
    out.append(body);
    return out;
}

std::string Describe(const tcp::socket& socket)
{
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) {
        return "?";
    }
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

} // namespace

CWsSession::CWsSession(tcp::socket&& socket, CServerContext& ctx)
    : m_peer(Describe(socket)),
      m_ws(std::move(socket)),
      m_ctx(ctx),
      m_bucket(ctx.options.rate, ctx.options.burst, CTokenBucket::Clock::now()),
      m_loginTimer(m_ws.get_executor()),
      m_closeTimer(m_ws.get_executor())
{
}

void CWsSession::Run(const CHttpRequest& req, beast::flat_buffer& carried)
{
    if (m_ctx.pending >= m_ctx.options.maxPending) {
        m_overflow = true;
    } else {
        ++m_ctx.pending;
        m_pending = true;
    }

    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = kIdleTimeout;
    timeouts.keep_alive_pings = true;
    beast::get_lowest_layer(m_ws).expires_never();
    m_ws.set_option(timeouts);
    m_ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
    m_ws.read_message_max(m_ctx.options.maxFrame);
    m_ws.binary(true);

    // The stream takes bytes already read only together with the request
    // they follow, and holds 1,536 of them: it gets the request's fields
    // that the handshake checks, then the carried bytes. A client that sends
    // more than that ahead of the answer fails the handshake.
    http::request<http::empty_body> handshake{req.method(), "/ws", req.version()};
    for (const http::field field : {http::field::host, http::field::connection, http::field::upgrade,
                                    http::field::sec_websocket_key, http::field::sec_websocket_version}) {
        if (const auto it = req.find(field); it != req.end()) {
            handshake.set(field, it->value());
        }
    }
    std::ostringstream text;
    text << handshake;
    m_handshake = text.str() + beast::buffers_to_string(carried.data());
    carried.consume(carried.size());
    m_ws.async_accept(asio::buffer(m_handshake),
                      [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
}

void CWsSession::Shutdown()
{
    if (m_accepted) {
        CloseWith(websocket::close_code::going_away, "shutdown");
    } else {
        HardClose();
    }
}

void CWsSession::Deliver(std::shared_ptr<const std::string> message)
{
    if (m_ended) {
        return;
    }
    if (m_queuedBytes + message->size() > m_ctx.options.sendQueue) {
        CloseWith(websocket::close_code::policy_error, "send_queue_full", true);
        return;
    }
    m_queuedBytes += message->size();
    if (m_userId != 0) {
        m_ctx.metrics.CountUserBytes(m_userId, message->size(), CRateWindow::Clock::now());
    }
    m_queue.push_back(std::move(message));
    DoWrite();
}

void CWsSession::OnAccept(beast::error_code ec)
{
    m_handshake.clear();
    if (ec) {
        ReleasePending();
        spdlog::debug("{}: WebSocket handshake failed: {}", m_peer, ec.message());
        return;
    }
    m_accepted = true;
    spdlog::debug("{}: game connection open", m_peer);
    if (m_ctx.stopping) {
        CloseWith(websocket::close_code::going_away, "shutdown");
    } else if (m_overflow) {
        CloseWith(websocket::close_code::try_again_later, "too_many_pending");
    } else {
        m_loginTimer.expires_after(kLoginTimeout);
        m_loginTimer.async_wait([self = shared_from_this()](beast::error_code timerEc) {
            if (!timerEc && self->m_userId == 0) {
                self->CloseWith(websocket::close_code::policy_error, "login_timeout");
            }
        });
    }
    DoRead();
}

void CWsSession::DoRead()
{
    m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
}

void CWsSession::OnRead(beast::error_code ec)
{
    if (ec) {
        if (!m_ended) {
            std::string_view reason = "client_dropped";
            if (ec == websocket::error::closed) {
                reason = "client_closed";
            } else if (ec == beast::error::timeout) {
                reason = "idle_timeout";
            } else if (ec == websocket::error::message_too_big) {
                reason = "frame_too_big"; // the stream has sent close code 1009 itself
            }
            EndConnection(reason, ec.message());
        }
        m_loginTimer.cancel();
        if (!m_closeSent) {
            HardClose();
            m_closeTimer.cancel();
        }
        return;
    }

    // After the decision to close, reading goes on only to see the
    // peer's side of the closing handshake.
    if (!m_ended) {
        const auto* data = static_cast<const uint8_t*>(m_buffer.data().data());
        const std::size_t size = m_buffer.size();
        if (!m_bucket.TryTake(CTokenBucket::Clock::now())) {
            CloseWith(websocket::close_code::policy_error, "rate_limited");
        } else if (m_ws.got_text()) {
            CloseWith(websocket::close_code::unknown_data, "text_frame");
        } else {
            HandleMessage(data, size);
        }
    }
    m_buffer.consume(m_buffer.size());
    // While a seat is being checked, nothing more is read: messages that
    // follow the Login wait in the socket until the LoginAck has gone out.
    if (!m_awaitingSeat) {
        DoRead();
    }
}

void CWsSession::HandleMessage(const uint8_t* data, std::size_t size)
{
    if (m_userId == 0) {
        HandleLogin(data, size);
        return;
    }
    const std::optional<CClientHeader> header = ReadClientHeader(data, size);
    if (!header) {
        m_ctx.metrics.CountDropped("short");
        return;
    }
    if (header->moduleId == kHostModuleId) {
        m_ctx.metrics.CountReceived(kHostModuleId);
        HandleHostMessage(header->cmd, data + kClientHeaderSize, size - kClientHeaderSize);
        return;
    }
    m_ctx.state.DeliverToModule(m_userId, data, size);
}

void CWsSession::HandleLogin(const uint8_t* data, std::size_t size)
{
    const std::optional<CClientHeader> header = ReadClientHeader(data, size);
    if (!header || header->moduleId != kHostModuleId || header->cmd != kCmdLogin) {
        CloseWith(websocket::close_code::policy_error, "not_logged_in");
        return;
    }
    m_ctx.metrics.CountReceived(kHostModuleId);

    const std::optional<std::string_view> token =
        ParseLoginToken(data + kClientHeaderSize, size - kClientHeaderSize);
    if (!token) {
        RefuseLogin(kLoginMalformed);
        return;
    }
    if (m_ctx.fleet != nullptr) {
        // In a fleet the token is a seat, used up in Redis off the loop.
        m_awaitingSeat = true;
        m_ctx.fleet->ConsumeSeat(*token, [self = shared_from_this()](bool ok) { self->OnSeat(ok); });
        return;
    }
    Admit(*token);
}

void CWsSession::OnSeat(bool ok)
{
    m_awaitingSeat = false;
    // Closed meanwhile (login timeout, server stop): the close timer ends
    // the socket if the closing handshake does not.
    if (m_ended) {
        return;
    }
    if (ok) {
        Admit({});
    } else {
        RefuseLogin(kLoginUnauthorized);
    }
    DoRead();
}

void CWsSession::Admit(std::string_view token)
{
    const CLoginResult result = m_ctx.state.Login(*this, token);
    if (result.code != kLoginOk) {
        RefuseLogin(result.code);
        return;
    }
    m_userId = result.userId;
    ReleasePending();
    m_loginTimer.cancel();
    m_ctx.metrics.CountLogin("ok");
    spdlog::debug("{}: logged in as user {}", m_peer, m_userId);
    SendLoginAck(kLoginOk, m_userId);
    m_ctx.state.ReportLogin(m_userId);
}

void CWsSession::ReleasePending()
{
    if (m_pending) {
        m_pending = false;
        --m_ctx.pending;
    }
}

void CWsSession::RefuseLogin(int32_t code)
{
    static constexpr std::string_view kReasons[] = {"ok", "unauthorized", "server_full", "malformed",
                                                    "already_logged_in"};
    static constexpr std::string_view kCloseReasons[] = {"ok", "unauthorized", "server_full", "malformed_login",
                                                         "already_logged_in"};
    const auto index = static_cast<std::size_t>(code);
    m_ctx.metrics.CountLogin(kReasons[index]);
    SendLoginAck(code, 0);
    CloseWith(code == kLoginServerFull ? websocket::close_code::try_again_later
                                       : websocket::close_code::policy_error,
              kCloseReasons[index]);
}

void CWsSession::SendLoginAck(int32_t code, uint32_t userId)
{
    std::string body;
    AppendLE(body, static_cast<uint32_t>(code), 4);
    AppendLE(body, userId, 4);
    Deliver(std::make_shared<const std::string>(HostFrame(kMsgLoginAck, body)));
}

void CWsSession::HandleHostMessage(uint16_t cmd, const uint8_t* body, std::size_t size)
{
    switch (cmd) {
    case kCmdLogin:
        RefuseLogin(kLoginAlreadyLoggedIn);
        break;
    case kCmdLogout:
        CloseWith(websocket::close_code::normal, "logout");
        break;
    case kCmdPing:
        Deliver(std::make_shared<const std::string>(
            HostFrame(kMsgPong, std::string_view(reinterpret_cast<const char*>(body), size))));
        break;
    default:
        m_ctx.metrics.CountDropped("unknown_command");
        break;
    }
}

// Counts the end once, and reports the user's logout at once: from here
// on the connection takes no messages either way.
void CWsSession::EndConnection(std::string_view reason, std::string_view detail)
{
    m_ended = true;
    ReleasePending();
    m_ctx.metrics.CountClosed(reason);
    if (m_userId != 0) {
        spdlog::info("{}: user {} disconnected: {}{}{}", m_peer, m_userId, reason, detail.empty() ? "" : ": ",
                     detail);
    } else {
        spdlog::debug("{}: connection closed before login: {}", m_peer, reason);
    }
    if (m_userId != 0) {
        m_ctx.metrics.ForgetUser(m_userId);
        m_ctx.state.Logout(m_userId);
    }
}

// Sends what is queued, then the close frame. A slow consumer's backlog
// is dropped instead: only the message being written is finished.
void CWsSession::CloseWith(websocket::close_code code, std::string_view reason, bool dropQueue)
{
    if (m_ended) {
        return;
    }
    EndConnection(reason);
    if (dropQueue) {
        const std::size_t keep = m_writing && !m_queue.empty() ? 1 : 0;
        m_queue.resize(keep);
        m_queuedBytes = keep ? m_queue.front()->size() : 0;
    }
    m_closeCode = code;
    m_closeTimer.expires_after(kCloseTimeout);
    m_closeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) {
            self->HardClose();
        }
    });
    DoWrite();
}

void CWsSession::DoWrite()
{
    if (m_writing) {
        return;
    }
    if (!m_queue.empty()) {
        m_writing = true;
        m_ws.async_write(asio::buffer(*m_queue.front()),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnWrite(ec); });
        return;
    }
    if (m_closeCode && !m_closeSent) {
        m_closeSent = true;
        m_writing = true;
        m_ws.async_close(*m_closeCode, [self = shared_from_this()](beast::error_code ec) { self->OnClose(ec); });
    }
}

void CWsSession::OnWrite(beast::error_code ec)
{
    m_writing = false;
    if (ec) {
        m_queue.clear();
        m_queuedBytes = 0;
        if (!m_ended) {
            EndConnection("client_dropped", ec.message());
        }
        HardClose();
        return;
    }
    const std::size_t size = m_queue.front()->size();
    m_ctx.metrics.CountSent(size);
    m_queuedBytes -= size;
    m_queue.pop_front();
    DoWrite();
}

void CWsSession::OnClose(beast::error_code ec)
{
    m_writing = false;
    m_closeTimer.cancel();
    if (ec) {
        HardClose();
    }
}

void CWsSession::HardClose()
{
    beast::error_code ec;
    beast::get_lowest_layer(m_ws).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(m_ws).close();
}
