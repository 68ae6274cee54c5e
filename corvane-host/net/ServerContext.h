// What every session of one server shares: the settings, the module's side,
// the counters, the HTTP routes, the fleet (if any) and the sessions to end on
// a stop. Lives on the event loop thread only.
#ifndef CORVANE_HOST_SERVERCONTEXT_H
#define CORVANE_HOST_SERVERCONTEXT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSharedState;
class CMetrics;
class CHttpRouter;
class IFleetGate;
class CDeflateGroup;
class CBoundedInflater;

inline constexpr const char* kServerName = "corvane-host";

// The part of a session that a server stop needs.
class IHostSession {
public:
    // Ends the connection for a server stop.
    virtual void Shutdown() = 0;

protected:
    ~IHostSession() = default;
};

// The host's settings that the sessions read.
struct CSessionOptions {
    double rate;      // messages a second per connection
    uint32_t burst;
    std::size_t maxFrame;
    std::size_t sendQueue;
    uint32_t maxPending; // game connections not logged in yet
};

struct CServerContext {
    const CSessionOptions options;
    CSharedState& state;
    CMetrics& metrics;
    const CHttpRouter& router;
    bool stopping = false;
    std::vector<std::weak_ptr<IHostSession>> sessions;
    std::size_t pruneAt = 64;
    // Game connections between the upgrade and the login (or their end).
    std::size_t pending = 0;
    IFleetGate* fleet = nullptr; // set when the host is part of a fleet
    // With --compression on: the shared compressor of broadcasts, and the
    // inflater of client messages with its output, used one message at a time.
    CDeflateGroup* deflate = nullptr;
    CBoundedInflater* inflater = nullptr;
    std::string inflated;

    // Remembers a session for the stop; forgets ended ones now and then, so
    // that the list stays proportional to the live sessions.
    void Track(const std::shared_ptr<IHostSession>& session)
    {
        if (sessions.size() >= pruneAt) {
            std::erase_if(sessions, [](const std::weak_ptr<IHostSession>& s) { return s.expired(); });
            pruneAt = std::max<std::size_t>(64, 2 * sessions.size());
        }
        sessions.push_back(session);
    }
};

#endif
