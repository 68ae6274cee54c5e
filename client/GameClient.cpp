#include "GameClient.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <deque>

namespace CorvaneClient {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

tcp::endpoint Resolve(asio::io_context& ioc, const std::string& host, uint16_t port)
{
    beast::error_code ec;
    tcp::resolver resolver(ioc);
    const auto results = resolver.resolve(host, std::to_string(port), ec);
    if (ec || results.empty()) {
        throw CClientError("cannot resolve " + host + ": " + ec.message());
    }
    return results.begin()->endpoint();
}

} // namespace

// Everything runs on the caller's thread: each wait runs the private event
// loop until its condition holds or its deadline passes. One read is kept
// pending for as long as the client reads, so control frames (pings, the
// closing handshake) are answered during any wait.
struct CGameClient::CImpl {
    // Outcome of one asynchronous step, shared with its handler so that a
    // step abandoned at its deadline cannot write into a finished frame.
    struct CStep {
        bool done = false;
        beast::error_code ec;
        std::string payload;
    };

    template <class Done>
    bool Pump(Done done, Clock::time_point deadline)
    {
        while (!done()) {
            if (ioc.stopped()) {
                ioc.restart();
            }
            if (ioc.run_one_until(deadline) == 0) {
                // Out of work, or out of time: either way nothing will change.
                if (ioc.stopped() || Clock::now() >= deadline) {
                    return done();
                }
            }
        }
        return true;
    }

    bool RunStep(const std::shared_ptr<CStep>& step, Clock::time_point deadline)
    {
        if (Pump([&] { return step->done; }, deadline)) {
            return !step->ec;
        }
        // Abandoned: closing the socket completes the step with an error.
        HardClose();
        Pump([&] { return step->done; }, Clock::now() + std::chrono::seconds(1));
        return false;
    }

    void StartRead()
    {
        if (reading || !open || stopReading) {
            return;
        }
        reading = true;
        ws->async_read(buffer, [this](beast::error_code ec, std::size_t) { OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        reading = false;
        if (ec) {
            open = false;
            if (ws->reason().code != websocket::close_code::none) {
                closeCode = static_cast<uint16_t>(ws->reason().code);
                closeReason = std::string(ws->reason().reason);
            }
            return;
        }
        const auto data = buffer.data();
        CServerMessage message;
        if (ParseServerMessage(std::string_view(static_cast<const char*>(data.data()), data.size()), message)) {
            Count(message);
        }
        buffer.consume(buffer.size());
        StartRead();
    }

    bool Write(std::string_view bytes, bool text, Millis timeout)
    {
        if (!open) {
            return false;
        }
        auto step = std::make_shared<CStep>();
        step->payload.assign(bytes);
        ws->text(text);
        ws->async_write(asio::buffer(step->payload), [step](beast::error_code ec, std::size_t) {
            step->done = true;
            step->ec = ec;
        });
        if (RunStep(step, Clock::now() + timeout)) {
            return true;
        }
        open = false;
        return false;
    }

    // Counts the module's frames for a resume, from the LoginAck that
    // starts them on; keeps the resume token to itself.
    void Count(CServerMessage& message)
    {
        if (message.moduleId != kHostModuleId) {
            ++framesReceived;
        } else if (message.cmd == kMsgResumeToken) {
            try {
                resumeToken = DecodeResumeToken(message.body);
            } catch (const std::exception&) {
                resumeToken.clear();
            }
            return;
        } else if (message.cmd == kMsgLoginAck && message.body.size() >= 4 && message.body[0] == 0 &&
                   message.body[1] == 0 && message.body[2] == 0 && message.body[3] == 0) {
            framesReceived = 0;
        }
        inbox.push_back(std::move(message));
    }

    void HardClose()
    {
        beast::error_code ec;
        beast::get_lowest_layer(*ws).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(*ws).close();
    }

    asio::io_context ioc{1};
    std::optional<websocket::stream<beast::tcp_stream>> ws;
    beast::flat_buffer buffer;
    std::deque<CServerMessage> inbox;
    std::optional<uint16_t> closeCode;
    std::string closeReason;
    uint32_t userId = 0;
    std::string resumeToken;
    uint32_t framesReceived = 0;
    bool connected = false;
    bool open = false;
    bool reading = false;
    bool stopReading = false;
};

CGameClient::CGameClient() : m_impl(std::make_unique<CImpl>()) { m_impl->ws.emplace(m_impl->ioc); }

CGameClient::~CGameClient()
{
    // The loop is never run again: pending handlers die with it.
    if (m_impl->connected) {
        m_impl->HardClose();
    }
}

void CGameClient::Connect(const CConnectOptions& options)
{
    CImpl& impl = *m_impl;
    if (impl.open) {
        throw CClientError("already connected");
    }
    if (impl.connected) {
        // A connection that ended: a fresh stream, the same user.
        impl.HardClose();
        impl.Pump([&] { return !impl.reading; }, Clock::now() + std::chrono::seconds(1));
        impl.ws.emplace(impl.ioc);
        impl.buffer.consume(impl.buffer.size());
        impl.closeCode.reset();
        impl.closeReason.clear();
        impl.stopReading = false;
        impl.connected = false;
    }
    const std::string where = options.host + ":" + std::to_string(options.port);
    const tcp::endpoint endpoint = Resolve(impl.ioc, options.host, options.port);
    const auto deadline = Clock::now() + options.timeout;

    auto& stream = beast::get_lowest_layer(*impl.ws);
    beast::error_code ec;
    if (options.receiveBuffer > 0 || !options.source.empty()) {
        stream.socket().open(endpoint.protocol(), ec);
        if (!ec && options.receiveBuffer > 0) {
            stream.socket().set_option(asio::socket_base::receive_buffer_size(options.receiveBuffer), ec);
        }
        if (!ec && !options.source.empty()) {
            const asio::ip::address source = asio::ip::make_address(options.source, ec);
            if (!ec) {
                stream.socket().bind(tcp::endpoint(source, 0), ec);
            }
        }
        if (ec) {
            throw CClientError("cannot prepare the socket: " + ec.message());
        }
    }
    impl.connected = true;

    auto step = std::make_shared<CImpl::CStep>();
    stream.expires_after(options.timeout);
    stream.async_connect(endpoint, [step](beast::error_code connectEc) {
        step->done = true;
        step->ec = connectEc;
    });
    if (!impl.RunStep(step, deadline)) {
        throw CClientError("cannot connect to " + where + ": " + step->ec.message());
    }
    stream.expires_never();
    stream.socket().set_option(tcp::no_delay(true), ec);

    websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
    timeouts.handshake_timeout = options.timeout;
    impl.ws->set_option(timeouts);
    impl.ws->read_message_max(std::size_t{64} << 20);
    if (options.deflate) {
        websocket::permessage_deflate deflate;
        deflate.client_enable = true;
        impl.ws->set_option(deflate);
    }
    impl.ws->binary(true);

    step = std::make_shared<CImpl::CStep>();
    impl.ws->async_handshake(where, options.path, [step](beast::error_code handshakeEc) {
        step->done = true;
        step->ec = handshakeEc;
    });
    if (!impl.RunStep(step, deadline)) {
        throw CClientError("WebSocket handshake with " + where + options.path + " failed: " + step->ec.message());
    }
    impl.open = true;
    impl.StartRead();
}

CLoginAck CGameClient::Login(std::string_view token, Millis timeout)
{
    if (!SendBinary(Frame(kHostModuleId, kCmdLogin, EncodeLogin(token)), timeout)) {
        throw CClientError("cannot send Login: the connection is closed");
    }
    const auto reply = WaitFor(kHostModuleId, kMsgLoginAck, timeout);
    if (!reply) {
        throw CClientError("no LoginAck arrived");
    }
    const CLoginAck ack = DecodeLoginAck(reply->body);
    if (ack.code == kLoginOk) {
        m_impl->userId = ack.userId;
    }
    return ack;
}

uint32_t CGameClient::UserId() const { return m_impl->userId; }

CResumeAck CGameClient::Resume(Millis timeout) { return ResumeWith(m_impl->resumeToken, m_impl->framesReceived, timeout); }

CResumeAck CGameClient::ResumeWith(std::string_view token, uint32_t framesReceived, Millis timeout)
{
    if (!SendBinary(Frame(kHostModuleId, kCmdResume, EncodeResume(token, framesReceived)), timeout)) {
        throw CClientError("cannot send Resume: the connection is closed");
    }
    // Frames of the old connection still waiting in the inbox stay there.
    CImpl& impl = *m_impl;
    const auto isAck = [](const CServerMessage& m) { return m.moduleId == kHostModuleId && m.cmd == kMsgResumeAck; };
    const auto deadline = Clock::now() + timeout;
    while (std::find_if(impl.inbox.begin(), impl.inbox.end(), isAck) == impl.inbox.end() && impl.open) {
        impl.StartRead();
        const std::size_t before = impl.inbox.size();
        if (!impl.Pump([&] { return !impl.open || impl.inbox.size() > before; }, deadline)) {
            break;
        }
    }
    const auto reply = std::find_if(impl.inbox.begin(), impl.inbox.end(), isAck);
    if (reply == impl.inbox.end()) {
        throw CClientError("no ResumeAck arrived");
    }
    const CResumeAck ack = DecodeResumeAck(reply->body);
    impl.inbox.erase(reply);
    if (ack.code == kResumeOk) {
        m_impl->userId = ack.userId;
    }
    return ack;
}

const std::string& CGameClient::ResumeToken() const { return m_impl->resumeToken; }

uint32_t CGameClient::FramesReceived() const { return m_impl->framesReceived; }

void CGameClient::Cut()
{
    CImpl& impl = *m_impl;
    if (!impl.connected) {
        return;
    }
    beast::error_code ec;
    auto& socket = beast::get_lowest_layer(*impl.ws).socket();
    socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
    impl.open = false;
    impl.Pump([&] { return !impl.reading; }, Clock::now() + std::chrono::seconds(1));
}

bool CGameClient::Send(uint16_t moduleId, uint16_t cmd, std::string_view body, Millis timeout)
{
    return SendBinary(Frame(moduleId, cmd, body), timeout);
}

bool CGameClient::SendBinary(std::string_view bytes, Millis timeout) { return m_impl->Write(bytes, false, timeout); }

bool CGameClient::SendText(std::string_view text, Millis timeout) { return m_impl->Write(text, true, timeout); }

std::optional<CServerMessage> CGameClient::Receive(Millis timeout)
{
    return WaitUntil([](const CServerMessage&) { return true; }, timeout);
}

std::optional<CServerMessage> CGameClient::WaitFor(uint16_t moduleId, uint16_t cmd, Millis timeout)
{
    return WaitUntil([&](const CServerMessage& m) { return m.moduleId == moduleId && m.cmd == cmd; }, timeout);
}

std::optional<CServerMessage> CGameClient::WaitUntil(const std::function<bool(const CServerMessage&)>& match,
                                                     Millis timeout)
{
    CImpl& impl = *m_impl;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        while (!impl.inbox.empty()) {
            CServerMessage message = std::move(impl.inbox.front());
            impl.inbox.pop_front();
            if (match(message)) {
                return message;
            }
        }
        impl.StartRead();
        if (!impl.Pump([&] { return !impl.inbox.empty() || !impl.open; }, deadline) || impl.inbox.empty()) {
            return std::nullopt;
        }
    }
}

void CGameClient::Discard() { m_impl->inbox.clear(); }

bool CGameClient::WaitClosed(Millis timeout)
{
    CImpl& impl = *m_impl;
    impl.stopReading = false;
    const auto deadline = Clock::now() + timeout;
    impl.StartRead();
    return impl.Pump([&] { return !impl.open; }, deadline);
}

bool CGameClient::IsOpen() const { return m_impl->open; }

std::optional<uint16_t> CGameClient::CloseCode() const { return m_impl->closeCode; }

std::string CGameClient::CloseReason() const { return m_impl->closeReason; }

void CGameClient::StopReading() { m_impl->stopReading = true; }

void CGameClient::Close(Millis timeout)
{
    CImpl& impl = *m_impl;
    if (!impl.open) {
        return;
    }
    auto step = std::make_shared<CImpl::CStep>();
    impl.ws->async_close(websocket::close_code::normal, [step](beast::error_code ec) {
        step->done = true;
        step->ec = ec;
    });
    impl.stopReading = false;
    impl.StartRead();
    impl.RunStep(step, Clock::now() + timeout);
    impl.open = false;
    impl.HardClose();
}

namespace {

CHttpReply HttpExchange(http::verb verb, const std::string& host, uint16_t port, const std::string& target,
                        const std::string& authorization, Millis timeout)
{
    asio::io_context ioc{1};
    beast::tcp_stream stream(ioc);
    const tcp::endpoint endpoint = Resolve(ioc, host, port);

    http::request<http::empty_body> req{verb, target, 11};
    req.set(http::field::host, host + ":" + std::to_string(port));
    req.set(http::field::user_agent, "corvane-client");
    if (!authorization.empty()) {
        req.set(http::field::authorization, authorization);
    }
    req.keep_alive(false);
    req.prepare_payload();
    http::response<http::string_body> res;
    beast::flat_buffer buffer;
    beast::error_code result;

    // The stream's deadline bounds the whole exchange, so run() returns.
    stream.expires_after(timeout);
    stream.async_connect(endpoint, [&](beast::error_code ec) {
        if (ec) {
            result = ec;
            return;
        }
        http::async_write(stream, req, [&](beast::error_code writeEc, std::size_t) {
            if (writeEc) {
                result = writeEc;
                return;
            }
            http::async_read(stream, buffer, res, [&](beast::error_code readEc, std::size_t) { result = readEc; });
        });
    });
    ioc.run();
    if (result) {
        throw CClientError(std::string(http::to_string(verb)) + " " + target + " from " + host + ":" +
                           std::to_string(port) + ": " + result.message());
    }
    return {static_cast<int>(res.result_int()), std::string(res[http::field::content_type]), res.body()};
}

} // namespace

CHttpReply HttpGet(const std::string& host, uint16_t port, const std::string& target, Millis timeout)
{
    return HttpExchange(http::verb::get, host, port, target, {}, timeout);
}

CHttpReply HttpPost(const std::string& host, uint16_t port, const std::string& target,
                    const std::string& authorization, Millis timeout)
{
    return HttpExchange(http::verb::post, host, port, target, authorization, timeout);
}

} // namespace CorvaneClient
