// One game connection: the WebSocket handshake, the login or resume, the
// host's own messages, delivery to the module, and the bounded queue of
// server messages. The module's frames reach it through the user's channel
// (ResumeKeeper.h), which outlives a connection cut without a goodbye.
//
// After the handshake the session frames messages itself on the TCP socket:
// everything queued during one turn of the event loop leaves in one
// gathered write, each message still a frame of its own, and the module's
// buffer is shared by every recipient rather than copied. With
// permessage-deflate agreed, broadcasts arrive compressed by the shared
// group (DeflateGroup.h) and only the RSV1 bit of their header is the
// session's; compressed client messages are inflated with a hard limit.
#ifndef CORVANE_HOST_WEBSOCKETSESSION_H
#define CORVANE_HOST_WEBSOCKETSESSION_H

#include "game/SharedState.h"
#include "net/DeflateGroup.h"
#include "net/HttpRouter.h"
#include "net/ResumeKeeper.h"
#include "net/ServerContext.h"
#include "net/TokenBucket.h"
#include "net/WsFraming.h"
#include "ops/RateWindow.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CWsSession final : public IHostSession,
                         public IPendingSession,
                         public std::enable_shared_from_this<CWsSession> {
public:
    CWsSession(boost::asio::ip::tcp::socket&& socket, CServerContext& ctx);

    // Answers the upgrade request that the HTTP session has read. `carried`
    // holds what the client sent behind the request; it is taken over, so
    // that messages sent in the same write as the upgrade are not lost.
    void Run(const CHttpRequest& req, boost::beast::flat_buffer& carried);

    void Shutdown(std::string_view reason) override;
    void Evict() override;
    bool Evictable() const override { return !m_awaitingSeat; }
    // Queues a module frame as the shared compressor planned it for this
    // session.
    void DeliverWire(CWirePayload payload);
    // Queues a kept module frame for a resumed user, uncompressed.
    void DeliverReplayed(std::shared_ptr<const std::string> frame);
    // A resume of this session's user came in on another connection: this
    // one closes without logging the user out.
    void TakenOver();
    // The session's part in compressed broadcasts; null when none was agreed.
    CDeflateMember* DeflateMember() { return m_deflate ? &*m_deflate : nullptr; }

private:
    void OnAccept(boost::beast::error_code ec);
    void ArmIdleCheck();
    void DoRead();
    void OnRead(boost::beast::error_code ec, std::size_t n);
    bool HandleFrame(EWsOpcode opcode, const uint8_t* data, std::size_t size, bool compressed);
    void HandleCompressed(const uint8_t* data, std::size_t size);
    void HandleMessage(const uint8_t* data, std::size_t size);
    void HandleLogin(const uint8_t* data, std::size_t size);
    void HandleResume(const uint8_t* body, std::size_t size);
    void RefuseResume(int32_t code);
    void SendResumeToken();
    void QueueHost(uint16_t msg, std::string_view body);
    // `counted`: a module frame (CWsSendQueue::Counted).
    void QueueBinary(std::shared_ptr<const std::string> bytes, std::size_t limit, bool compressed, bool counted);
    void OnSeat(bool ok);
    void Admit(std::string_view token);
    void ReleasePending();
    void RefuseLogin(int32_t code);
    void SendAck(uint16_t msg, int32_t code, uint32_t userId);
    void HandleHostMessage(uint16_t cmd, const uint8_t* body, std::size_t size);
    // `keep`: the connection was cut without the client's goodbye, so a
    // logged-in user waits for a resume rather than being logged out.
    void EndConnection(std::string_view reason, std::string_view detail = {}, bool keep = false);
    // `tellReason`: the close frame carries `reason` after the code.
    void CloseWith(uint16_t code, std::string_view reason, bool dropQueue = false, bool tellReason = false);
    void ArmCloseTimer();
    void QueueClose(std::shared_ptr<const std::string> payload);
    void ScheduleFlush();
    void DoWrite();
    void OnWritten(std::size_t n);
    void WaitWritable();
    void WriteFailed(std::string_view error);
    void HardClose();

    std::string m_peer;
    boost::asio::ip::tcp::socket m_socket;
    // Only while the upgrade is answered.
    std::optional<boost::beast::websocket::stream<boost::asio::ip::tcp::socket&>> m_handshakeStream;
    CWsServerReader m_reader;
    CServerContext& m_ctx;
    CTokenBucket m_bucket;
    std::optional<CDeflateMember> m_deflate; // permessage-deflate agreed
    boost::asio::steady_timer m_loginTimer;
    boost::asio::steady_timer m_idleTimer;
    boost::asio::steady_timer m_closeTimer;
    CWsSendQueue m_queue;
    std::size_t m_unreported = 0;  // bytes queued since the last write, for the per-user metric
    uint32_t m_userId = 0;
    std::shared_ptr<CUserChannel> m_channel; // while logged in
    CRateWindow* m_bytesWindow = nullptr; // the user's in the metrics, while logged in
    int m_quietChecks = 0; // idle checks in a row that saw nothing arrive
    bool m_readSinceCheck = false;
    std::optional<CPendingConnections::CHandle> m_pendingAt; // in the context's pending connections
    // Set when the connection is to be closed with 1013 once accepted: the
    // close reason.
    std::string_view m_refusal;
    bool m_accepted = false;
    bool m_ended = false;
    bool m_writing = false; // waiting for room in the socket
    bool m_flushPosted = false;
    bool m_closeQueued = false;
    bool m_closeSent = false;
    bool m_awaitingSeat = false;
    bool m_peerClosed = false;
    bool m_readFailed = false;
    bool m_closed = false;
    // Once a write has failed on a logged-in connection: the module frames
    // that never went out, those queued then and those sent since.
    std::optional<std::size_t> m_unwritten;
};

// Delivers the module's sends to game connections: each message planned once
// by the shared compressor, each session queued what the plan gives it.
// Every link of the host's shared state is a user's channel (CWsSession
// logs users in with one), so no recipient is asked its type.
class CWsBroadcaster final : public IBroadcaster {
public:
    explicit CWsBroadcaster(CDeflateGroup& group) : m_group(group) {}

    void Broadcast(std::span<IUserLink* const> links, const std::shared_ptr<const std::string>& message) override;

private:
    CDeflateGroup& m_group;
    std::vector<CDeflateMember*> m_members; // scratch, in the order of the links
};

#endif
