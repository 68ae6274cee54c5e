// Everything the host knows beyond single connections: the module's
// registrations (services, contexts, modules, timers, notification
// handlers), the users online, and the routing of messages both ways. It is
// the host's implementation of the interfaces in KVServerApi.h.
//
// Runs on the event loop thread only: no locks. Every call into the module
// goes through CallModule, so that a user's logout caused while the module is
// running (say, a recipient's queue overflowing inside Send) is reported
// only after the module has returned.
#ifndef CORVANE_HOST_SHAREDSTATE_H
#define CORVANE_HOST_SHAREDSTATE_H

#include "corvane/KVServerApi.h"
#include "game/HostProtocol.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace boost::asio {
class io_context;
}

class CMetrics;
class CTokenList;
class ISessionObserver;
class CServiceContext;
class CFixedRateTimer;

// A game connection, as the shared state sees it.
class IUserLink {
public:
    // Queues one complete server message. The buffer is shared by every
    // recipient of the same Send and never changes. A link whose user left
    // during that Send (an earlier delivery ended it) still gets the rest of
    // its messages and ignores them: it outlives the Send.
    virtual void Deliver(std::shared_ptr<const std::string> message) = 0;

protected:
    ~IUserLink() = default;
};

// Hands one module message to all its recipients at once, so that the
// network can encode it once for many of them (compression). Without one,
// each recipient's link gets the message as it is.
class IBroadcaster {
public:
    // `links`: the recipients online, in the order of the send's list.
    virtual void Broadcast(std::span<IUserLink* const> links, const std::shared_ptr<const std::string>& message) = 0;

protected:
    ~IBroadcaster() = default;
};

struct CLoginResult {
    int32_t code;
    uint32_t userId; // 0 unless code is kLoginOk
};

class CSharedState final : public IServerHost, public IServiceManager, public ITimerManager, public IUserNotifier {
public:
    CSharedState(boost::asio::io_context& ioc, CMetrics& metrics, uint32_t maxUsers, const CTokenList* tokens);
    ~CSharedState();

    CSharedState(const CSharedState&) = delete;
    CSharedState& operator=(const CSharedState&) = delete;

    // KVServerStart, then Init on every registered service, then SetSender
    // on every module registered in its context. False when the module
    // threw; the error is logged.
    bool StartModule(PFN_KVServerStart start);
    // Sees every call into the module and every send from then on; null
    // for none. Set it before StartModule to see the whole session.
    void SetObserver(ISessionObserver* observer) { m_observer = observer; }
    bool Started() const { return m_started; }
    // Delivers the module's sends from then on; null (the default) hands
    // each recipient's link the message as it is.
    void SetBroadcaster(IBroadcaster* broadcaster) { m_broadcaster = broadcaster; }

    // Stops the timers; no OnTimer runs afterwards.
    void StopTimers();
    // Uninit on every service. Call once the event loop has finished.
    void FinishModule();

    // Admits a user: checks the token and the user cap, assigns the id. The
    // caller sends LoginAck and then calls ReportLogin, so that the
    // module's first words to the user come after the acknowledgement.
    CLoginResult Login(IUserLink& link, std::string_view token);
    void ReportLogin(uint32_t userId);
    // A logged-in user is now served by another connection: the module is
    // not told, the observer is.
    void ReportResume(uint32_t userId);
    // Where the next id search starts; lets tests begin near the wrap.
    void SetNextUserId(uint32_t userId) { m_nextUserId = userId; }
    // Reports OnUserLogout; a second call for the same id does nothing.
    void Logout(uint32_t userId);
    // Users the module counts as logged in, whether or not a connection
    // carries them now: a drain ends when none is left.
    std::size_t UsersOnline() const { return m_users.size(); }

    // Hands one client message (header included, at least 4 bytes) to the
    // module registered under its module id; false when none is.
    bool DeliverToModule(uint32_t userId, const uint8_t* data, std::size_t size);

    // IServerHost
    IServiceManager* GetServiceManager() override { return this; }
    void* Reserved_1() override { return nullptr; }
    ITimerManager* GetTimerManager() override { return this; }
    IUserNotifier* GetUserNotifier() override { return this; }

    // IServiceManager
    bool RegisterService(uint32_t serviceId, IService* service) override;

    // ITimerManager
    uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) override;

    // IUserNotifier
    bool AddHandler(IUserNotifyHandler* handler) override;

    // Used by CServiceContext and CFixedRateTimer.
    bool RegisterModule(CServiceContext& context, IModule* module);
    uint32_t CurrentUserId() const { return m_currentUser; }
    bool Send(const CServiceContext& context, const void* data, uint32_t size);
    // Runs the OnTimer of the timer with this AddTimer handle; false when
    // there is none.
    bool FireTimer(uint32_t handle);

private:
    struct CServiceEntry {
        uint32_t id;
        IService* service;
        std::unique_ptr<CServiceContext> context;
    };

    struct CModuleEntry {
        IModule* module;
        CServiceContext* context;
    };

    // Runs `call` as a call into the module on behalf of `userId`; catches
    // what the module throws. Returns the call's result, false after a throw.
    template <class F>
    bool CallModule(uint32_t userId, const char* what, F&& call);
    void NotifyLogout(uint32_t userId);
    uint32_t TakeUserId();

    boost::asio::io_context& m_ioc;
    CMetrics& m_metrics;
    uint32_t m_maxUsers;
    const CTokenList* m_tokens;

    std::vector<CServiceEntry> m_services;
    std::map<uint16_t, CModuleEntry> m_modules;
    std::vector<IUserNotifyHandler*> m_handlers;
    std::vector<std::unique_ptr<CFixedRateTimer>> m_timers;

    std::unordered_map<uint32_t, IUserLink*> m_users;
    uint32_t m_nextUserId = 1;
    uint32_t m_currentUser = 0;
    int m_callDepth = 0;
    bool m_started = false;
    ISessionObserver* m_observer = nullptr;
    std::vector<uint32_t> m_recipients; // scratch of Send, for the observer
    std::vector<IUserLink*> m_recipientLinks; // scratch of Send: the recipients' links, in the same order
    IBroadcaster* m_broadcaster = nullptr;
};

#endif
