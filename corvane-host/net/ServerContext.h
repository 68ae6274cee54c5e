// What every session of one server shares: the settings, the module's side,
// the counters, the HTTP routes, the fleet (if any) and the sessions to end on
// a stop. Lives on the event loop thread only.
#ifndef CORVANE_HOST_SERVERCONTEXT_H
#define CORVANE_HOST_SERVERCONTEXT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CSharedState;
class CMetrics;
class CHttpRouter;
class IFleetGate;
class CDeflateGroup;
class CBoundedInflater;
class CResumeKeeper;

inline constexpr const char* kServerName = "corvane-host";

// The part of a session that a server stop needs.
class IHostSession {
public:
    // Ends the connection for a server stop or the end of a drain: close
    // 1001, with `reason` in the close frame.
    virtual void Shutdown(std::string_view reason) = 0;

protected:
    ~IHostSession() = default;
};

// A game connection that has not logged in yet, as the pending set sees it.
class IPendingSession {
public:
    // Closes the connection to make room for a newer one; it leaves the
    // pending set before this returns.
    virtual void Evict() = 0;
    // False while its Login is being checked: a player is about to get in.
    virtual bool Evictable() const = 0;

protected:
    ~IPendingSession() = default;
};

// Game connections between the upgrade and the login (or their end),
// oldest first, counted per client address. A player logs in within a
// round trip and an idle connection does not, so when there is no room the
// oldest one makes way for the newcomer.
class CPendingConnections {
    struct CEntry {
        IPendingSession* session;
        std::string address;
    };

public:
    using CHandle = std::list<CEntry>::iterator;

    CPendingConnections(std::size_t total, std::size_t perAddress) : m_total(total), m_perAddress(perAddress) {}

    // Makes room for one more connection from `address`: evicts the oldest
    // one of that address when it has its share, else the oldest of all
    // when the set is full. False when every candidate has its Login being
    // checked; the newcomer is then refused.
    bool MakeRoom(const std::string& address)
    {
        const auto count = m_counts.find(address);
        const bool addressFull = count != m_counts.end() && count->second >= m_perAddress;
        if (!addressFull && m_entries.size() < m_total) {
            return true;
        }
        for (const CEntry& entry : m_entries) {
            if ((!addressFull || entry.address == address) && entry.session->Evictable()) {
                entry.session->Evict();
                return true;
            }
        }
        return false;
    }

    CHandle Add(IPendingSession& session, std::string address)
    {
        ++m_counts[address];
        return m_entries.insert(m_entries.end(), CEntry{&session, std::move(address)});
    }

    void Remove(CHandle handle)
    {
        const auto count = m_counts.find(handle->address);
        if (--count->second == 0) {
            m_counts.erase(count);
        }
        m_entries.erase(handle);
    }

    std::size_t Size() const { return m_entries.size(); }

private:
    std::size_t m_total;
    std::size_t m_perAddress;
    std::list<CEntry> m_entries;
    std::unordered_map<std::string, std::size_t> m_counts;
};

// The host's settings that the sessions read.
struct CSessionOptions {
    double rate;      // messages a second per connection
    uint32_t burst;
    std::size_t maxFrame;
    std::size_t sendQueue;
};

struct CServerContext {
    const CSessionOptions options;
    CSharedState& state;
    CMetrics& metrics;
    const CHttpRouter& router;
    bool stopping = false;
    // Logins are refused (LoginAck kLoginDraining); players online stay.
    bool draining = false;
    std::vector<std::weak_ptr<IHostSession>> sessions;
    std::size_t pruneAt = 64;
    CPendingConnections pending;
    IFleetGate* fleet = nullptr; // set when the host is part of a fleet
    // With --compression on: the shared compressor of broadcasts, and the
    // inflater of client messages with its output, used one message at a time.
    CDeflateGroup* deflate = nullptr;
    CBoundedInflater* inflater = nullptr;
    std::string inflated;
    // Every logged-in user's channel, and the users waiting for a resume.
    CResumeKeeper* resume = nullptr;

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
