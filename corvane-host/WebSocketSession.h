// One game connection: the WebSocket handshake, the login, the host's own
// messages, delivery to the module, and the bounded queue of server
// messages.
#ifndef CORVANE_HOST_WEBSOCKETSESSION_H
#define CORVANE_HOST_WEBSOCKETSESSION_H

#include "HttpRouter.h"
#include "ServerContext.h"
#include "SharedState.h"
#include "TokenBucket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class CWsSession final : public IHostSession, public IUserLink, public std::enable_shared_from_this<CWsSession> {
public:
    CWsSession(boost::asio::ip::tcp::socket&& socket, CServerContext& ctx);

    // Answers the upgrade request that the HTTP session has read. `carried`
    // holds what the client sent behind the request; it is taken over, so
    // that messages sent in the same write as the upgrade are not lost.
    void Run(const CHttpRequest& req, boost::beast::flat_buffer& carried);

    void Shutdown() override;
    void Deliver(std::shared_ptr<const std::string> message) override;

private:
    void OnAccept(boost::beast::error_code ec);
    void DoRead();
    void OnRead(boost::beast::error_code ec);
    void HandleMessage(const uint8_t* data, std::size_t size);
    void HandleLogin(const uint8_t* data, std::size_t size);
    void OnSeat(bool ok);
    void Admit(std::string_view token);
    void ReleasePending();
    void RefuseLogin(int32_t code);
    void SendLoginAck(int32_t code, uint32_t userId);
    void HandleHostMessage(uint16_t cmd, const uint8_t* body, std::size_t size);
    void EndConnection(std::string_view reason, std::string_view detail = {});
    void CloseWith(boost::beast::websocket::close_code code, std::string_view reason, bool dropQueue = false);
    void DoWrite();
    void OnWrite(boost::beast::error_code ec);
    void OnClose(boost::beast::error_code ec);
    void HardClose();

    std::string m_peer;
    boost::beast::websocket::stream<boost::beast::tcp_stream> m_ws;
    boost::beast::flat_buffer m_buffer;
    std::string m_handshake;
    CServerContext& m_ctx;
    CTokenBucket m_bucket;
    boost::asio::steady_timer m_loginTimer;
    boost::asio::steady_timer m_closeTimer;
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::size_t m_queuedBytes = 0;
    std::optional<boost::beast::websocket::close_code> m_closeCode;
    uint32_t m_userId = 0;
    bool m_pending = false;  // counted in the context's pending connections
    bool m_overflow = false; // came past --max-pending: closed once accepted
    bool m_accepted = false;
    bool m_ended = false;
    bool m_writing = false;
    bool m_closeSent = false;
    bool m_awaitingSeat = false;
};

#endif
