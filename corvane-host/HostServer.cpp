#include "HostServer.h"

#include "HostProtocol.h"

#include "Metrics.h"
#include "ModuleLoader.h"
#include "SharedState.h"
#include "StartupError.h"
#include "StaticFiles.h"
#include "TokenBucket.h"
#include "TokenList.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <spdlog/spdlog.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kHeaderSize = 4;

constexpr auto kHttpTimeout = 30s;
constexpr auto kHandshakeTimeout = 10s;
constexpr auto kLoginTimeout = 10s;
// A peer that sends nothing for this long is pinged, then dropped.
constexpr auto kIdleTimeout = 60s;
// How long a closing connection may take to flush and finish the closing
// handshake before its socket is simply closed.
constexpr auto kCloseTimeout = 2s;

constexpr const char* kServerName = "corvane-host";

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

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
    out.reserve(kHeaderSize + body.size());
    AppendLE(out, kHostModuleId, 2);
    AppendLE(out, msg, 2);
    out.append(body);
    return out;
}

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

// The parts every session shares.
class IHostSession {
public:
    // Ends the connection for a server stop.
    virtual void Shutdown() = 0;

protected:
    ~IHostSession() = default;
};

struct CServerContext {
    const CHostOptions& options;
    CSharedState& state;
    CMetrics& metrics;
    fs::path webRoot; // canonical; empty when the folder is missing
    bool stopping = false;
    std::vector<std::weak_ptr<IHostSession>> sessions;
    std::size_t pruneAt = 64;

    void Track(const std::shared_ptr<IHostSession>& session)
    {
        if (sessions.size() >= pruneAt) {
            std::erase_if(sessions, [](const std::weak_ptr<IHostSession>& s) { return s.expired(); });
            pruneAt = std::max<std::size_t>(64, 2 * sessions.size());
        }
        sessions.push_back(session);
    }
};

std::string Describe(const tcp::socket& socket)
{
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) {
        return "?";
    }
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// ---- the game connection ----

class CWsSession final : public IHostSession, public IUserLink, public std::enable_shared_from_this<CWsSession> {
public:
    CWsSession(tcp::socket&& socket, CServerContext& ctx)
        : m_peer(Describe(socket)),
          m_ws(std::move(socket)),
          m_ctx(ctx),
          m_bucket(ctx.options.rate, ctx.options.burst, CTokenBucket::Clock::now()),
          m_loginTimer(m_ws.get_executor()),
          m_closeTimer(m_ws.get_executor())
    {
    }

    void Run(http::request<http::string_body> req)
    {
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
        m_ws.async_accept(req, [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

    void Shutdown() override
    {
        if (m_accepted) {
            CloseWith(websocket::close_code::going_away, "shutdown");
        } else {
            HardClose();
        }
    }

    void Deliver(std::shared_ptr<const std::string> message) override
    {
        if (m_ended) {
            return;
        }
        if (m_queuedBytes + message->size() > m_ctx.options.sendQueue) {
            CloseWith(websocket::close_code::policy_error, "send_queue_full", true);
            return;
        }
        m_queuedBytes += message->size();
        m_queue.push_back(std::move(message));
        DoWrite();
    }

private:
    void OnAccept(beast::error_code ec)
    {
        if (ec) {
            spdlog::debug("{}: WebSocket handshake failed: {}", m_peer, ec.message());
            return;
        }
        m_accepted = true;
        spdlog::debug("{}: game connection open", m_peer);
        if (m_ctx.stopping) {
            CloseWith(websocket::close_code::going_away, "shutdown");
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

    void DoRead()
    {
        m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
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
        DoRead();
    }

    void HandleMessage(const uint8_t* data, std::size_t size)
    {
        if (m_userId == 0) {
            HandleLogin(data, size);
            return;
        }
        if (size < kHeaderSize) {
            m_ctx.metrics.CountDropped("short");
            return;
        }
        if (ReadU16(data) == kHostModuleId) {
            m_ctx.metrics.CountReceived(kHostModuleId);
            HandleHostMessage(ReadU16(data + 2), data + kHeaderSize, size - kHeaderSize);
            return;
        }
        m_ctx.state.DeliverToModule(m_userId, data, size);
    }

    void HandleLogin(const uint8_t* data, std::size_t size)
    {
        if (size < kHeaderSize || ReadU16(data) != kHostModuleId || ReadU16(data + 2) != kCmdLogin) {
            CloseWith(websocket::close_code::policy_error, "not_logged_in");
            return;
        }
        m_ctx.metrics.CountReceived(kHostModuleId);

        // The token is a short string: a count byte, then that many bytes.
        const uint8_t* body = data + kHeaderSize;
        const std::size_t bodySize = size - kHeaderSize;
        if (bodySize < 1 || bodySize - 1 < body[0]) {
            RefuseLogin(kLoginMalformed);
            return;
        }
        const std::string_view token(reinterpret_cast<const char*>(body + 1), body[0]);
        const CLoginResult result = m_ctx.state.Login(*this, token);
        if (result.code != kLoginOk) {
            RefuseLogin(result.code);
            return;
        }
        m_userId = result.userId;
        m_loginTimer.cancel();
        m_ctx.metrics.CountLogin("ok");
        spdlog::debug("{}: logged in as user {}", m_peer, m_userId);
        SendLoginAck(kLoginOk, m_userId);
        m_ctx.state.ReportLogin(m_userId);
    }

    void RefuseLogin(int32_t code)
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

    void SendLoginAck(int32_t code, uint32_t userId)
    {
        std::string body;
        AppendLE(body, static_cast<uint32_t>(code), 4);
        AppendLE(body, userId, 4);
        Deliver(std::make_shared<const std::string>(HostFrame(kMsgLoginAck, body)));
    }

    void HandleHostMessage(uint16_t cmd, const uint8_t* body, std::size_t size)
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
    void EndConnection(std::string_view reason, std::string_view detail = {})
    {
        m_ended = true;
        m_ctx.metrics.CountClosed(reason);
        if (m_userId != 0) {
            spdlog::info("{}: user {} disconnected: {}{}{}", m_peer, m_userId, reason, detail.empty() ? "" : ": ",
                         detail);
        } else {
            spdlog::debug("{}: connection closed before login: {}", m_peer, reason);
        }
        if (m_userId != 0) {
            m_ctx.state.Logout(m_userId);
        }
    }

    // Sends what is queued, then the close frame. A slow consumer's backlog
    // is dropped instead: only the message being written is finished.
    void CloseWith(websocket::close_code code, std::string_view reason, bool dropQueue = false)
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

    void DoWrite()
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

    void OnWrite(beast::error_code ec)
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

    void OnClose(beast::error_code ec)
    {
        m_writing = false;
        m_closeTimer.cancel();
        if (ec) {
            HardClose();
        }
    }

    void HardClose()
    {
        beast::error_code ec;
        beast::get_lowest_layer(m_ws).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(m_ws).close();
    }

    std::string m_peer;
    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_buffer;
    CServerContext& m_ctx;
    CTokenBucket m_bucket;
    asio::steady_timer m_loginTimer;
    asio::steady_timer m_closeTimer;
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::size_t m_queuedBytes = 0;
    std::optional<websocket::close_code> m_closeCode;
    uint32_t m_userId = 0;
    bool m_accepted = false;
    bool m_ended = false;
    bool m_writing = false;
    bool m_closeSent = false;
};

// ---- plain HTTP: metrics, health, static files, and the upgrade ----

class CHttpSession final : public IHostSession, public std::enable_shared_from_this<CHttpSession> {
public:
    CHttpSession(tcp::socket&& socket, CServerContext& ctx) : m_stream(std::move(socket)), m_ctx(ctx) {}

    void Run() { DoRead(); }

    void Shutdown() override { m_stream.close(); }

private:
    void DoRead()
    {
        m_parser.emplace();
        m_parser->header_limit(8 * 1024);
        m_parser->body_limit(16 * 1024);
        m_stream.expires_after(kHttpTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        if (ec == http::error::end_of_stream) {
            m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
            return;
        }
        if (ec) {
            if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
                ReplyBadRequest();
            }
            return;
        }

        http::request<http::string_body> req = m_parser->release();
        if (websocket::is_upgrade(req)) {
            if (PathOf(req.target()) == "/ws" && !m_ctx.stopping) {
                auto session = std::make_shared<CWsSession>(m_stream.release_socket(), m_ctx);
                m_ctx.Track(session);
                session->Run(std::move(req));
                return;
            }
            Reply(req, http::status::not_found, "not found\n");
            return;
        }
        Handle(req);
    }

    void Handle(const http::request<http::string_body>& req)
    {
        if (req.method() != http::verb::get && req.method() != http::verb::head) {
            Reply(req, http::status::method_not_allowed, "method not allowed\n");
            return;
        }
        const std::string_view path = PathOf(req.target());
        if (path == "/metrics") {
            Reply(req, http::status::ok, m_ctx.metrics.Render(m_ctx.state.UsersOnline()),
                  "text/plain; version=0.0.4; charset=utf-8");
            return;
        }
        if (path == "/healthz") {
            if (m_ctx.state.Started()) {
                Reply(req, http::status::ok, "ok\n");
            } else {
                Reply(req, http::status::service_unavailable, "starting\n");
            }
            return;
        }
        if (path == "/ws") {
            Reply(req, http::status::upgrade_required, "open /ws as a WebSocket\n");
            return;
        }

        const CStaticFile found = LookUpStaticFile(m_ctx.webRoot, req.target());
        switch (found.result) {
        case EStaticLookup::Found:
            ReplyFile(req, found.file);
            return;
        case EStaticLookup::NotFound:
            Reply(req, http::status::not_found, "not found\n");
            return;
        case EStaticLookup::Forbidden:
            Reply(req, http::status::forbidden, "forbidden\n");
            return;
        case EStaticLookup::BadTarget:
            Reply(req, http::status::bad_request, "bad request\n");
            return;
        }
    }

    void ReplyFile(const http::request<http::string_body>& req, const fs::path& file)
    {
        http::file_body::value_type body;
        beast::error_code ec;
        body.open(file.string().c_str(), beast::file_mode::scan, ec);
        if (ec) {
            Reply(req, http::status::not_found, "not found\n");
            return;
        }
        const auto size = body.size();
        const std::string_view type = ContentTypeFor(file);
        if (req.method() == http::verb::head) {
            http::response<http::empty_body> res{http::status::ok, req.version()};
            Decorate(res, req, type);
            res.content_length(size);
            Send(std::move(res));
            return;
        }
        http::response<http::file_body> res{std::piecewise_construct, std::make_tuple(std::move(body)),
                                            std::make_tuple(http::status::ok, req.version())};
        Decorate(res, req, type);
        res.content_length(size);
        Send(std::move(res));
    }

    void Reply(const http::request<http::string_body>& req, http::status status, std::string body,
               std::string_view type = "text/plain; charset=utf-8")
    {
        if (req.method() == http::verb::head) {
            http::response<http::empty_body> res{status, req.version()};
            Decorate(res, req, type);
            res.content_length(body.size());
            Send(std::move(res));
            return;
        }
        http::response<http::string_body> res{status, req.version()};
        Decorate(res, req, type);
        res.body() = std::move(body);
        res.prepare_payload();
        Send(std::move(res));
    }

    void ReplyBadRequest()
    {
        http::response<http::string_body> res{http::status::bad_request, 11};
        res.set(http::field::server, kServerName);
        res.set(http::field::content_type, "text/plain; charset=utf-8");
        res.keep_alive(false);
        res.body() = "bad request\n";
        res.prepare_payload();
        Send(std::move(res));
    }

    template <class Response>
    static void Decorate(Response& res, const http::request<http::string_body>& req, std::string_view type)
    {
        res.set(http::field::server, kServerName);
        res.set(http::field::content_type, type);
        res.set(http::field::cache_control, "no-cache");
        res.set("X-Content-Type-Options", "nosniff");
        if (res.result() == http::status::method_not_allowed) {
            res.set(http::field::allow, "GET, HEAD");
        }
        res.keep_alive(req.keep_alive());
    }

    template <class Body>
    void Send(http::response<Body>&& res)
    {
        auto message = std::make_shared<http::response<Body>>(std::move(res));
        m_response = message;
        m_stream.expires_after(kHttpTimeout);
        http::async_write(m_stream, *message,
                          [self = shared_from_this(), close = message->need_eof()](beast::error_code ec, std::size_t) {
                              self->OnWrite(close, ec);
                          });
    }

    void OnWrite(bool close, beast::error_code ec)
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

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    CServerContext& m_ctx;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::shared_ptr<void> m_response;
};

class CListener : public std::enable_shared_from_this<CListener> {
public:
    CListener(asio::io_context& ioc, CServerContext& ctx) : m_ioc(ioc), m_acceptor(ioc), m_retry(ioc), m_ctx(ctx) {}

    // Throws CStartupError when the address cannot be had.
    tcp::endpoint Bind(const std::string& host, uint16_t port)
    {
        const std::string where = host + ":" + std::to_string(port);
        beast::error_code ec;
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

        const auto fail = [&](const beast::error_code& why) {
            return CStartupError("cannot listen on " + where + ": " + why.message());
        };
        m_acceptor.open(endpoint.protocol(), ec);
        if (ec) {
            throw fail(ec);
        }
        m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
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

    void Run() { DoAccept(); }

    void Stop()
    {
        beast::error_code ec;
        m_acceptor.close(ec);
        m_retry.cancel();
    }

private:
    void DoAccept()
    {
        m_acceptor.async_accept(m_ioc, [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
            self->OnAccept(ec, std::move(socket));
        });
    }

    void OnAccept(beast::error_code ec, tcp::socket socket)
    {
        if (!m_acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors, typically: wait a little instead of spinning.
            spdlog::warn("accept failed: {}", ec.message());
            m_retry.expires_after(100ms);
            m_retry.async_wait([self = shared_from_this()](beast::error_code timerEc) {
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

    asio::io_context& m_ioc;
    tcp::acceptor m_acceptor;
    asio::steady_timer m_retry;
    CServerContext& m_ctx;
};

} // namespace

// Members are destroyed in reverse: the connections and timers go before the
// event loop, and the module is unloaded last, when nothing can call it.
struct CHostServer::CImpl {
    explicit CImpl(CHostOptions opts) : options(std::move(opts)) {}

    void Stop()
    {
        spdlog::info("stopping with {} user(s) online", state->UsersOnline());
        context->stopping = true;
        listener->Stop();
        for (const auto& weak : context->sessions) {
            if (auto session = weak.lock()) {
                session->Shutdown();
            }
        }
        state->StopTimers();
        // A second signal now ends the process the default way.
        beast::error_code ec;
        signals.cancel(ec);
        signals.clear(ec);
    }

    CHostOptions options;
    std::unique_ptr<CModuleLoader> loader;
    asio::io_context ioc{1};
    CMetrics metrics;
    std::optional<CTokenList> tokens;
    std::unique_ptr<CSharedState> state;
    std::unique_ptr<CServerContext> context;
    std::shared_ptr<CListener> listener;
    asio::signal_set signals{ioc, SIGINT, SIGTERM};
};

CHostServer::CHostServer(CHostOptions options) : m_impl(std::make_unique<CImpl>(std::move(options))) {}

CHostServer::~CHostServer() = default;

void CHostServer::Start()
{
    CImpl& impl = *m_impl;
    const CHostOptions& options = impl.options;

    if (!options.tokenFile.empty()) {
        try {
            impl.tokens = CTokenList::Load(options.tokenFile);
        } catch (const std::exception& e) {
            throw CStartupError(e.what());
        }
        if (impl.tokens->Size() == 0) {
            throw CStartupError("token file " + options.tokenFile.string() + " holds no token");
        }
    }

    fs::path webRoot;
    std::error_code ec;
    if (fs::is_directory(options.webRoot, ec)) {
        webRoot = fs::canonical(options.webRoot, ec);
    }
    if (webRoot.empty()) {
        spdlog::warn("web root {} is not a folder; no static files will be served", options.webRoot.string());
    }

    impl.loader = std::make_unique<CModuleLoader>(options.modulePath);
    impl.state =
        std::make_unique<CSharedState>(impl.ioc, impl.metrics, options.maxUsers, impl.tokens ? &*impl.tokens : nullptr);
    if (!impl.state->StartModule(impl.loader->StartFunction())) {
        throw CStartupError("module " + options.modulePath.string() + " failed to start");
    }

    impl.context =
        std::make_unique<CServerContext>(CServerContext{options, *impl.state, impl.metrics, webRoot, false, {}, 64});
    impl.listener = std::make_shared<CListener>(impl.ioc, *impl.context);
    const tcp::endpoint local = impl.listener->Bind(options.listenHost, options.listenPort);

    const std::string address =
        local.address().is_v6() ? "[" + local.address().to_string() + "]" : local.address().to_string();
    spdlog::info("listening on http://{}:{}/ (game connection at /ws, module {}, web root {})", address, local.port(),
                 options.modulePath.string(), webRoot.empty() ? "none" : webRoot.string());
}

int CHostServer::Run()
{
    CImpl& impl = *m_impl;
    impl.signals.async_wait([&impl](beast::error_code ec, int signal) {
        if (ec) {
            return;
        }
        spdlog::info("received signal {}", signal);
        impl.Stop();
    });
    impl.listener->Run();
    impl.ioc.run();
    impl.state->FinishModule();
    spdlog::info("stopped");
    return 0;
}
