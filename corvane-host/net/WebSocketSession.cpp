#include "net/WebSocketSession.h"

#include "game/HostMessages.h"
#include "game/HostProtocol.h"
#include "net/FleetGate.h"
#include "net/PerMessageDeflate.h"
#include "ops/Metrics.h"

#include <boost/asio/post.hpp>
#include <boost/beast/http/field.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
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
// A peer that sends nothing for two check periods (30 to 45 s) is pinged;
// one that sends nothing for four (60 to 75 s) is dropped.
constexpr auto kIdleCheck = 15s;
constexpr int kQuietChecksBeforePing = 2;
constexpr int kQuietChecksBeforeDrop = 4;
// How long a closing connection may take to flush and finish the closing
// handshake before its socket is simply closed.
constexpr auto kCloseTimeout = 2s;

constexpr uint16_t kCloseNormal = 1000;
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseUnsupportedData = 1003;
constexpr uint16_t kCloseInvalidPayload = 1007;
constexpr uint16_t kClosePolicy = 1008;
constexpr uint16_t kCloseTryAgainLater = 1013;

// Room in the send queue beyond --send-queue for a resumed connection: the
// kept frames fit the bound by themselves, the ResumeAck and the new token
// come on top.
constexpr std::size_t kResumeAllowance = 256;

// Labels of corvane_resumes_total, by ResumeAck code.
constexpr std::string_view kResumeResults[] = {"ok",      "unknown_token",  "token_used",   "expired",  "overflow",
                                               "frames_too_old", "frames_ahead", "malformed", "off"};

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

// Whom a pending connection is counted against: its client's address, or
// for IPv6 the /64 network, which one client usually has all of.
std::string PendingAddress(const tcp::socket& socket)
{
    beast::error_code ec;
    asio::ip::address address = socket.remote_endpoint(ec).address();
    if (ec) {
        return "?";
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    if (address.is_v4()) {
        return address.to_string();
    }
    asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

} // namespace

CWsSession::CWsSession(tcp::socket&& socket, CServerContext& ctx)
    : m_peer(Describe(socket)),
      m_socket(std::move(socket)),
      m_reader(ctx.options.maxFrame),
      m_ctx(ctx),
      m_bucket(ctx.options.rate, ctx.options.burst, CTokenBucket::Clock::now()),
      m_loginTimer(m_socket.get_executor()),
      m_idleTimer(m_socket.get_executor()),
      m_closeTimer(m_socket.get_executor())
{
}

void CWsSession::Run(const CHttpRequest& req, beast::flat_buffer& carried)
{
    std::string address = PendingAddress(m_socket);
    if (m_ctx.pending.MakeRoom(address)) {
        m_pendingAt = m_ctx.pending.Add(*this, std::move(address));
    } else {
        m_refusal = "too_many_pending";
    }

    // The stream checks the request and writes the answer; from then on the
    // session reads and writes frames on the socket itself.
    m_handshakeStream.emplace(m_socket);
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    m_handshakeStream->set_option(timeouts);
    // The stream's own permessage-deflate stays off: compression is done per
    // frame by the session, so that a broadcast is deflated once for all.
    std::string extensions;
    if (m_ctx.deflate != nullptr) {
        std::string offers;
        const auto [first, last] = req.equal_range(http::field::sec_websocket_extensions);
        for (auto it = first; it != last; ++it) {
            offers += offers.empty() ? "" : ", ";
            offers += it->value();
        }
        if (std::optional<CDeflateAgreement> agreement = NegotiateDeflate(offers)) {
            m_deflate.emplace(!agreement->serverNoContextTakeover);
            m_reader.AllowCompressed();
            extensions = std::move(agreement->answer);
        }
    }
    m_handshakeStream->set_option(websocket::stream_base::decorator(
        [extensions = std::move(extensions)](websocket::response_type& res) {
            res.set(http::field::server, kServerName);
            if (!extensions.empty()) {
                res.set(http::field::sec_websocket_extensions, extensions);
            }
        }));
    m_reader.Append(static_cast<const uint8_t*>(carried.data().data()), carried.size());
    carried.consume(carried.size());
    m_handshakeStream->async_accept(req, [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
}

void CWsSession::Shutdown(std::string_view reason)
{
    if (m_accepted) {
        CloseWith(kCloseGoingAway, reason, false, true);
    } else {
        HardClose();
    }
}

void CWsBroadcaster::Broadcast(std::span<IUserLink* const> links, const std::shared_ptr<const std::string>& message)
{
    // A user away has no member: it keeps the message uncompressed.
    m_members.clear();
    for (IUserLink* link : links) {
        m_members.push_back(static_cast<CUserChannel*>(link)->DeflateMember());
    }
    const CDeflateGroup::CPlan plan = m_group.Plan(m_members, message, CDeflateGroup::Clock::now());
    for (std::size_t i = 0; i < links.size(); ++i) {
        static_cast<CUserChannel*>(links[i])->DeliverPlanned(plan.raw, m_group.For(plan, m_members[i]));
    }
}

void CWsSession::Evict()
{
    ReleasePending();
    if (m_accepted) {
        CloseWith(kCloseTryAgainLater, "pending_evicted");
    } else {
        m_refusal = "pending_evicted";
    }
}

void CWsSession::DeliverWire(CWirePayload payload)
{
    QueueBinary(std::move(payload.bytes), m_ctx.options.sendQueue, payload.compressed, true);
}

void CWsSession::DeliverReplayed(std::shared_ptr<const std::string> frame)
{
    QueueBinary(std::move(frame), m_ctx.options.sendQueue + kResumeAllowance, false, true);
}

void CWsSession::TakenOver()
{
    spdlog::info("{}: user {} resumed on another connection", m_peer, m_userId);
    m_ctx.metrics.ForgetUser(m_userId);
    m_bytesWindow = nullptr;
    m_channel.reset();
    m_userId = 0;
    // The client that reads this must not resume again: it would take the
    // user back from the newer connection.
    CloseWith(kClosePolicy, "resumed_elsewhere", true, true);
}

void CWsSession::OnAccept(beast::error_code ec)
{
    m_handshakeStream.reset();
    if (ec) {
        ReleasePending();
        spdlog::debug("{}: WebSocket handshake failed: {}", m_peer, ec.message());
        HardClose();
        return;
    }
    m_accepted = true;
    beast::error_code nonBlockingEc;
    m_socket.non_blocking(true, nonBlockingEc);
    spdlog::debug("{}: game connection open", m_peer);
    if (m_ctx.stopping) {
        CloseWith(kCloseGoingAway, "shutdown");
    } else if (!m_refusal.empty()) {
        CloseWith(kCloseTryAgainLater, m_refusal);
    } else {
        m_loginTimer.expires_after(kLoginTimeout);
        m_loginTimer.async_wait([self = shared_from_this()](beast::error_code timerEc) {
            if (!timerEc && self->m_userId == 0) {
                self->CloseWith(kClosePolicy, "login_timeout");
            }
        });
        ArmIdleCheck();
    }
    // Bytes that came with the upgrade are frames already.
    OnRead({}, 0);
}

// A timer per read would cost more than the reads; a periodic check of
// whether anything arrived costs nothing per read.
void CWsSession::ArmIdleCheck()
{
    m_idleTimer.expires_after(kIdleCheck);
    m_idleTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec || self->m_closed || self->m_ended) {
            return;
        }
        if (self->m_readSinceCheck) {
            self->m_readSinceCheck = false;
            self->m_quietChecks = 0;
        } else if (++self->m_quietChecks >= kQuietChecksBeforeDrop) {
            self->EndConnection("idle_timeout", {}, true);
            self->HardClose();
            return;
        } else if (self->m_quietChecks == kQuietChecksBeforePing) {
            if (!self->m_queue.TryPush(EWsOpcode::kPing, std::make_shared<const std::string>(),
                                       self->m_ctx.options.sendQueue)) {
                self->CloseWith(kClosePolicy, "send_queue_full", true);
                return;
            }
            self->ScheduleFlush();
        }
        self->ArmIdleCheck();
    });
}

void CWsSession::DoRead()
{
    const std::span<uint8_t> room = m_reader.Space();
    m_socket.async_read_some(asio::buffer(room.data(), room.size()),
                             [self = shared_from_this()](beast::error_code ec, std::size_t n) { self->OnRead(ec, n); });
}

void CWsSession::OnRead(beast::error_code ec, std::size_t n)
{
    if (ec) {
        if (!m_ended) {
            EndConnection("client_dropped", ec.message(), true);
        }
        HardClose();
        return;
    }
    if (m_closed) {
        return;
    }
    m_readSinceCheck = true;
    if (m_readFailed) {
        // After a protocol failure the bytes have no frame boundaries left;
        // they are drained until the peer closes or the close timer fires.
        DoRead();
        return;
    }
    m_reader.Commit(n);
    const uint16_t failure = m_reader.Parse(
        [this](EWsOpcode opcode, const uint8_t* data, std::size_t size, bool compressed) {
            return HandleFrame(opcode, data, size, compressed);
        });
    if (m_closed) {
        return;
    }
    if (failure != 0) {
        m_readFailed = true;
        if (!m_ended) {
            CloseWith(failure, failure == kWsMessageTooBig ? "frame_too_big" : "client_dropped");
        }
    }
    // While a seat is being checked, nothing more is parsed or read: what
    // follows the Login waits until the LoginAck has gone out.
    if (!m_awaitingSeat) {
        DoRead();
    }
}

// False ends the parsing of what is buffered: the connection is closing.
bool CWsSession::HandleFrame(EWsOpcode opcode, const uint8_t* data, std::size_t size, bool compressed)
{
    switch (opcode) {
    case EWsOpcode::kClose:
        m_peerClosed = true;
        if (m_closeSent) {
            HardClose();
            return false;
        }
        if (!m_ended) {
            EndConnection("client_closed");
        }
        if (!m_closeQueued) {
            // The answer carries the peer's code back, after what is queued.
            m_closeQueued = true;
            QueueClose(std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size >= 2 ? 2 : 0));
            ArmCloseTimer();
        }
        return false;
    case EWsOpcode::kPing:
        if (m_ended) {
            return true;
        }
        // Pongs take room in the queue like any frame. Many of them behind
        // a full socket mean a peer that pings faster than it reads: it is
        // cut, not buffered.
        if (m_writing && m_queue.Pongs() >= kWsMaxQueuedPongs) {
            CloseWith(kClosePolicy, "ping_flood", true);
        } else if (!m_queue.TryPush(EWsOpcode::kPong,
                                    std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size),
                                    m_ctx.options.sendQueue)) {
            CloseWith(kClosePolicy, "send_queue_full", true);
        } else {
            ScheduleFlush();
        }
        return true;
    case EWsOpcode::kPong:
        return true;
    default:
        break;
    }
    // After the decision to close, reading goes on only to see the peer's
    // side of the closing handshake.
    if (m_ended) {
        return true;
    }
    if (!m_bucket.TryTake(CTokenBucket::Clock::now())) {
        CloseWith(kClosePolicy, "rate_limited");
    } else if (opcode == EWsOpcode::kText) {
        CloseWith(kCloseUnsupportedData, "text_frame");
    } else if (compressed) {
        HandleCompressed(data, size);
    } else {
        HandleMessage(data, size);
    }
    return !m_closed && !m_awaitingSeat;
}

// Inflates into the context's one buffer: messages are handled one at a
// time, and never more than --max-frame (and a byte) is produced.
void CWsSession::HandleCompressed(const uint8_t* data, std::size_t size)
{
    std::string& out = m_ctx.inflated;
    switch (m_ctx.inflater->Inflate(data, size, m_ctx.options.maxFrame, out)) {
    case CBoundedInflater::EResult::kOk:
        HandleMessage(reinterpret_cast<const uint8_t*>(out.data()), out.size());
        break;
    case CBoundedInflater::EResult::kTooBig:
        m_ctx.metrics.CountInflateFailure();
        CloseWith(kWsMessageTooBig, "frame_too_big");
        break;
    case CBoundedInflater::EResult::kBadData:
        m_ctx.metrics.CountInflateFailure();
        CloseWith(kCloseInvalidPayload, "bad_deflate");
        break;
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
    if (!header || header->moduleId != kHostModuleId || (header->cmd != kCmdLogin && header->cmd != kCmdResume)) {
        CloseWith(kClosePolicy, "not_logged_in");
        return;
    }
    m_ctx.metrics.CountReceived(kHostModuleId);
    if (header->cmd == kCmdResume) {
        HandleResume(data + kClientHeaderSize, size - kClientHeaderSize);
        return;
    }

    const std::optional<std::string_view> token =
        ParseLoginToken(data + kClientHeaderSize, size - kClientHeaderSize);
    if (!token) {
        RefuseLogin(kLoginMalformed);
        return;
    }
    if (m_ctx.draining) {
        RefuseLogin(kLoginDraining);
        return;
    }
    if (m_ctx.fleet != nullptr) {
        // In a fleet the token is a seat, used up in Redis off the loop. The
        // player has done its part in time: a slow Redis must not cost it
        // the login, and the seat check always answers (command timeout).
        m_awaitingSeat = true;
        m_loginTimer.cancel();
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
    if (!m_ended) {
        if (ok) {
            Admit({});
        } else {
            RefuseLogin(kLoginUnauthorized);
        }
    }
    // What came after the Login is still buffered: parse it, then read on,
    // if only to see the peer's side of a closing handshake.
    OnRead({}, 0);
}

// A resume needs no seat in a fleet: the user keeps the one it has.
void CWsSession::HandleResume(const uint8_t* body, std::size_t size)
{
    if (!m_ctx.resume->Enabled()) {
        RefuseResume(kResumeOff);
        return;
    }
    const std::optional<CResumeRequest> request = ParseResume(body, size);
    if (!request) {
        RefuseResume(kResumeMalformed);
        return;
    }
    const CResumeKeeper::CResumeResult result = m_ctx.resume->Resume(request->token, request->framesReceived);
    if (result.code != kResumeOk) {
        RefuseResume(result.code);
        return;
    }
    m_channel = result.channel;
    m_userId = m_channel->UserId();
    m_bytesWindow = &m_ctx.metrics.UserBytes(m_userId);
    if (m_deflate) {
        m_ctx.deflate->Join(*m_deflate);
    }
    ReleasePending();
    m_loginTimer.cancel();
    m_ctx.metrics.CountResume(kResumeResults[kResumeOk]);
    spdlog::info("{}: user {} resumed from frame {} of {}", m_peer, m_userId, request->framesReceived,
                 m_channel->Ring().Sent());
    SendAck(kMsgResumeAck, kResumeOk, m_userId);
    SendResumeToken();
    m_ctx.resume->Attach(*m_channel, result.first, *this);
    m_ctx.state.ReportResume(m_userId);
}

void CWsSession::RefuseResume(int32_t code)
{
    m_ctx.metrics.CountResume(kResumeResults[static_cast<std::size_t>(code)]);
    SendAck(kMsgResumeAck, code, 0);
    CloseWith(kClosePolicy, "resume_refused");
}

void CWsSession::SendResumeToken()
{
    if (!m_ctx.resume->Enabled()) {
        return;
    }
    const std::string token = m_ctx.resume->IssueToken(m_userId);
    std::string body(1, static_cast<char>(token.size()));
    body += token;
    QueueHost(kMsgResumeToken, body);
}

void CWsSession::Admit(std::string_view token)
{
    // The drain may have begun while the seat was checked.
    if (m_ctx.draining) {
        RefuseLogin(kLoginDraining);
        return;
    }
    std::shared_ptr<CUserChannel> channel = m_ctx.resume->NewChannel();
    const CLoginResult result = m_ctx.state.Login(*channel, token);
    if (result.code != kLoginOk) {
        RefuseLogin(result.code);
        return;
    }
    m_userId = result.userId;
    m_channel = std::move(channel);
    m_ctx.resume->Adopt(m_channel, m_userId, *this);
    m_bytesWindow = &m_ctx.metrics.UserBytes(m_userId);
    if (m_deflate) {
        m_ctx.deflate->Join(*m_deflate);
    }
    ReleasePending();
    m_loginTimer.cancel();
    m_ctx.metrics.CountLogin("ok");
    spdlog::debug("{}: logged in as user {}", m_peer, m_userId);
    SendAck(kMsgLoginAck, kLoginOk, m_userId);
    SendResumeToken();
    m_ctx.state.ReportLogin(m_userId);
}

void CWsSession::ReleasePending()
{
    if (m_pendingAt) {
        m_ctx.pending.Remove(*m_pendingAt);
        m_pendingAt.reset();
    }
}

void CWsSession::RefuseLogin(int32_t code)
{
    static constexpr std::string_view kReasons[] = {"ok", "unauthorized", "server_full", "malformed",
                                                    "already_logged_in", "draining"};
    static constexpr std::string_view kCloseReasons[] = {"ok", "unauthorized", "server_full", "malformed_login",
                                                         "already_logged_in", "draining"};
    const auto index = static_cast<std::size_t>(code);
    m_ctx.metrics.CountLogin(kReasons[index]);
    SendAck(kMsgLoginAck, code, 0);
    if (code == kLoginDraining) {
        // The client's cue to find another world, so the reason goes along.
        CloseWith(kCloseGoingAway, kCloseReasons[index], false, true);
        return;
    }
    CloseWith(code == kLoginServerFull ? kCloseTryAgainLater : kClosePolicy, kCloseReasons[index]);
}

// LoginAck and ResumeAck: the code, then the user's id.
void CWsSession::SendAck(uint16_t msg, int32_t code, uint32_t userId)
{
    std::string body;
    AppendLE(body, static_cast<uint32_t>(code), 4);
    AppendLE(body, userId, 4);
    QueueHost(msg, body);
}

// Host messages are not the module's frames: not numbered, not kept.
void CWsSession::QueueHost(uint16_t msg, std::string_view body)
{
    QueueBinary(std::make_shared<const std::string>(HostFrame(msg, body)), m_ctx.options.sendQueue, false, false);
}

// A binary frame, for the client: a full queue closes the connection.
void CWsSession::QueueBinary(std::shared_ptr<const std::string> bytes, std::size_t limit, bool compressed,
                             bool counted)
{
    if (m_ended) {
        return;
    }
    if (m_unwritten) {
        *m_unwritten += counted ? 1 : 0;
        return;
    }
    const std::size_t size = bytes->size();
    if (!m_queue.TryPush(EWsOpcode::kBinary, std::move(bytes), limit, compressed, counted)) {
        CloseWith(kClosePolicy, "send_queue_full", true);
        return;
    }
    m_unreported += size;
    ScheduleFlush();
}

void CWsSession::HandleHostMessage(uint16_t cmd, const uint8_t* body, std::size_t size)
{
    switch (cmd) {
    case kCmdLogin:
        RefuseLogin(kLoginAlreadyLoggedIn);
        break;
    case kCmdLogout:
        CloseWith(kCloseNormal, "logout");
        break;
    case kCmdPing:
        QueueHost(kMsgPong, std::string_view(reinterpret_cast<const char*>(body), size));
        break;
    default:
        m_ctx.metrics.CountDropped("unknown_command");
        break;
    }
}

// Counts the end once, and logs the user out at once, or, for a cut
// without a goodbye, leaves it waiting for a resume: from here on the
// connection takes no messages either way.
void CWsSession::EndConnection(std::string_view reason, std::string_view detail, bool keep)
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
    if (m_deflate) {
        m_ctx.deflate->Leave(*m_deflate);
    }
    if (m_userId != 0) {
        m_bytesWindow = nullptr;
        m_ctx.metrics.ForgetUser(m_userId);
        // A server stop logs everyone out.
        m_ctx.resume->Leave(std::exchange(m_channel, nullptr), keep && !m_ctx.stopping,
                            m_unwritten.value_or(m_queue.Counted()));
    }
}

// Sends what is queued, then the close frame. A slow consumer's backlog
// is dropped instead: only the frames being written are finished.
void CWsSession::CloseWith(uint16_t code, std::string_view reason, bool dropQueue, bool tellReason)
{
    if (m_ended) {
        return;
    }
    EndConnection(reason);
    if (dropQueue) {
        m_queue.DropBacklog();
    }
    m_closeQueued = true;
    std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    if (tellReason) {
        payload += reason;
    }
    QueueClose(std::make_shared<const std::string>(std::move(payload)));
    ArmCloseTimer();
}

void CWsSession::ArmCloseTimer()
{
    m_closeTimer.expires_after(kCloseTimeout);
    m_closeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) {
            self->HardClose();
        }
    });
}

// A connection sends one close frame at most, so it may go past the bound.
void CWsSession::QueueClose(std::shared_ptr<const std::string> payload)
{
    if (m_closed) {
        return;
    }
    m_queue.Push(EWsOpcode::kClose, std::move(payload));
    ScheduleFlush();
}

// The write waits for the end of the current turn of the event loop, so
// that the answers to every read already completed in it go out together.
void CWsSession::ScheduleFlush()
{
    if (m_writing || m_flushPosted) {
        return;
    }
    m_flushPosted = true;
    asio::post(m_socket.get_executor(), [self = shared_from_this()] {
        self->m_flushPosted = false;
        self->DoWrite();
    });
}

// Writes with one gathered send on the non-blocking socket: one system call
// takes the whole queue (kMaxSendBuffers buffers, a header and a payload per
// frame, so up to 256 frames), where the stream abstraction would allocate
// an operation per write and pass at most 64 buffers. When the socket is
// full the session waits for room.
void CWsSession::DoWrite()
{
    if (m_unreported > 0 && m_bytesWindow != nullptr) {
        m_bytesWindow->Add(m_unreported, CRateWindow::Clock::now());
    }
    m_unreported = 0;
    while (!m_writing && !m_closed && !m_unwritten && !m_queue.Empty()) {
        CSendBuffer buffers[kMaxSendBuffers];
        std::size_t offered = 0;
        const std::size_t count = m_queue.Gather(buffers, offered);
        const CSendResult sent = SendGathered(m_socket, std::span(buffers, count));
        if (sent.status == CSendResult::EStatus::kWouldBlock) {
            WaitWritable();
            return;
        }
        if (sent.status == CSendResult::EStatus::kFailed) {
            WriteFailed(sent.error);
            return;
        }
        OnWritten(sent.bytes);
        if (sent.bytes < offered) {
            WaitWritable();
            return;
        }
    }
}

void CWsSession::WaitWritable()
{
    if (m_closed || m_unwritten || m_queue.Empty()) {
        return;
    }
    m_writing = true;
    m_socket.async_wait(tcp::socket::wait_write, [self = shared_from_this()](beast::error_code ec) {
        self->m_writing = false;
        if (ec) {
            self->WriteFailed(ec.message());
            return;
        }
        self->DoWrite();
    });
}

// The peer is gone, yet what it sent before it went may still wait in the
// socket. A logged-in connection stops writing but reads on until the read
// fails, which ends it as any cut does: those last messages still reach the
// module, and a resuming client gets their answers. Frames from here on are
// only counted, for the user's ring to keep; the close timer bounds the wait.
void CWsSession::WriteFailed(std::string_view error)
{
    if (m_ended || m_closed || m_userId == 0) {
        if (!m_ended) {
            EndConnection("client_dropped", error, true);
        }
        m_queue.Clear();
        HardClose();
        return;
    }
    m_unwritten = m_queue.Counted();
    m_queue.Clear();
    ArmCloseTimer();
}

// Takes the frames a write finished off the queue.
void CWsSession::OnWritten(std::size_t n)
{
    const bool closeWritten = m_queue.Written(n, [this](EWsOpcode opcode, std::size_t size) {
        if (opcode == EWsOpcode::kBinary) {
            m_ctx.metrics.CountSent(size);
        }
    });
    if (!closeWritten) {
        return;
    }
    m_closeSent = true;
    m_queue.Clear();
    if (m_peerClosed) {
        HardClose();
        return;
    }
    // Nothing follows the close frame; the peer answers it and ends the
    // connection, or the close timer does.
    beast::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_send, ignored);
}

void CWsSession::HardClose()
{
    if (m_closed) {
        return;
    }
    m_closed = true;
    beast::error_code ec;
    m_socket.shutdown(tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
    m_loginTimer.cancel();
    m_idleTimer.cancel();
    m_closeTimer.cancel();
}
