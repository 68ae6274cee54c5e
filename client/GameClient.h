// A small blocking client of corvane-host: one WebSocket game connection,
// driven from the calling thread. Every wait takes a timeout; nothing
// blocks longer. Messages arriving while the client waits for something
// else are kept in order until asked for.
#ifndef CORVANE_CLIENT_GAMECLIENT_H
#define CORVANE_CLIENT_GAMECLIENT_H

#include "ClientProtocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace CorvaneClient {

using Millis = std::chrono::milliseconds;

class CClientError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CConnectOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 7780;
    std::string path = "/ws";
    Millis timeout{5000};
    // Socket receive buffer in bytes (0: the system's default). A small one
    // makes a client that stops reading fall behind quickly.
    int receiveBuffer = 0;
    // Local address to connect from (empty: the system's choice); on
    // loopback, any of 127.0.0.0/8 stands for another client.
    std::string source{};
    // Offer permessage-deflate: the host may then send its broadcasts
    // compressed, which the client inflates.
    bool deflate = false;
};

class CGameClient {
public:
    CGameClient();
    ~CGameClient();

    CGameClient(const CGameClient&) = delete;
    CGameClient& operator=(const CGameClient&) = delete;

    // TCP connect and WebSocket handshake. Throws CClientError.
    void Connect(const CConnectOptions& options);

    // Sends Login and waits for LoginAck. Throws CClientError when none comes.
    CLoginAck Login(std::string_view token, Millis timeout = Millis{5000});
    uint32_t UserId() const;

    // After a cut, on a new Connect: sends Resume with the token and the
    // count of module frames received since the login, and waits for
    // ResumeAck. On code 0 the frames the host kept follow, then the live
    // stream. Throws CClientError when no ResumeAck comes.
    CResumeAck Resume(Millis timeout = Millis{5000});
    // The same with any token and count.
    CResumeAck ResumeWith(std::string_view token, uint32_t framesReceived, Millis timeout = Millis{5000});
    // The latest ResumeToken (empty before one came); those messages are
    // not passed on to Receive.
    const std::string& ResumeToken() const;
    // Module frames received since the last successful login, across
    // connections.
    uint32_t FramesReceived() const;
    // Ends the connection with a TCP reset and no closing handshake, as a
    // dropped link does; Connect may follow.
    void Cut();

    // One module message: the 4-byte header, then the body. False once the
    // connection is gone (or the write did not finish within the timeout,
    // which also drops the connection).
    bool Send(uint16_t moduleId, uint16_t cmd, std::string_view body = {}, Millis timeout = Millis{5000});
    // Any bytes as one binary message, or as one text message.
    bool SendBinary(std::string_view bytes, Millis timeout = Millis{5000});
    bool SendText(std::string_view text, Millis timeout = Millis{5000});

    // The next message, or nothing when none arrives in time.
    std::optional<CServerMessage> Receive(Millis timeout);
    // Skips messages until one of this module and number arrives.
    std::optional<CServerMessage> WaitFor(uint16_t moduleId, uint16_t cmd, Millis timeout);
    // Skips messages until one satisfies `match`.
    std::optional<CServerMessage> WaitUntil(const std::function<bool(const CServerMessage&)>& match, Millis timeout);
    // Drops what has arrived so far.
    void Discard();

    // Reads until the server ends the connection; true when it did in time.
    // What arrives meanwhile is kept for Receive.
    bool WaitClosed(Millis timeout);
    bool IsOpen() const;
    // The close code the server sent, once the connection is closed.
    std::optional<uint16_t> CloseCode() const;
    // The reason text of the server's close frame (often empty).
    std::string CloseReason() const;

    // Stops taking messages off the socket, as a client that hangs would.
    void StopReading();

    // Closing handshake with code 1000, bounded by the timeout.
    void Close(Millis timeout = Millis{2000});

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

// One HTTP/1.1 GET, for /metrics, /healthz and the static files. The target
// is sent exactly as given. Throws CClientError on a network failure.
struct CHttpReply {
    int status = 0;
    std::string contentType;
    std::string body;
};
CHttpReply HttpGet(const std::string& host, uint16_t port, const std::string& target, Millis timeout = Millis{5000});
// One HTTP/1.1 POST with an empty body, for /matchmake; `authorization`, when
// not empty, is sent as the Authorization header.
CHttpReply HttpPost(const std::string& host, uint16_t port, const std::string& target,
                    const std::string& authorization = {}, Millis timeout = Millis{5000});

} // namespace CorvaneClient

#endif
