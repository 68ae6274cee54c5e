// The calls a game server makes to the Agones SDK sidecar over its REST
// port (AGONES_SDK_HTTP_PORT): POST /ready once the host serves, then
// POST /health every two seconds, and POST /shutdown when it has stopped
// serving (after a drain). Runs on the event loop without blocking
// it; a sidecar that does not answer costs a warning, and /ready is tried
// again until it is accepted. In a fleet, the world's public URL comes from
// the SDK unless --public-url gives one.
#ifndef CORVANE_HOST_AGONESSDK_H
#define CORVANE_HOST_AGONESSDK_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
}

class CAgonesSdk {
public:
    // The port from AGONES_SDK_HTTP_PORT; nothing when it is unset. Throws
    // std::invalid_argument when it is set but no port.
    static std::optional<uint16_t> PortFromEnvironment();

    // Where players reach this game server: ws://ADDRESS:PORT/ws from the
    // SDK's GET /gameserver (its address and first port). Blocks for at most
    // a couple of seconds; nothing when the SDK does not say.
    static std::optional<std::string> PublicUrl(uint16_t port);

    CAgonesSdk(boost::asio::io_context& ioc, uint16_t port);
    ~CAgonesSdk();

    CAgonesSdk(const CAgonesSdk&) = delete;
    CAgonesSdk& operator=(const CAgonesSdk&) = delete;

    // Reports ready, then health every two seconds, until Stop.
    void Start();
    void Stop();
    // Stops, and asks the SDK to end this game server (POST /shutdown);
    // the request finishes on the event loop, within its timeout.
    void Shutdown();

private:
    struct CImpl;
    std::shared_ptr<CImpl> m_impl;
};

#endif
