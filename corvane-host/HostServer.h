// The host program: loads and starts the module, serves HTTP and WebSocket
// on one port. The first SIGINT or SIGTERM starts a drain (no new logins,
// players play on until they leave or --drain-timeout is up); a second one
// stops at once.
#ifndef CORVANE_HOST_HOSTSERVER_H
#define CORVANE_HOST_HOSTSERVER_H

#include "HostOptions.h"

class CMetrics;

#include <memory>
#include <string>

class CHostServer {
public:
    explicit CHostServer(CHostOptions options);
    ~CHostServer();

    CHostServer(const CHostServer&) = delete;
    CHostServer& operator=(const CHostServer&) = delete;

    // Loads the module, starts it and binds the port. Throws CStartupError.
    void Start();
    // Serves until a stop signal; returns the exit code.
    int Run();

    // For counters kept outside the server.
    CMetrics& Metrics();

private:
    // `publicUrl` empty: ws://LISTENING/ws.
    void JoinFleet(const std::string& listening, const std::string& publicUrl);
    // --compression on: the shared compressor, the inflater, their metrics.
    void EnableCompression();

    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

#endif
