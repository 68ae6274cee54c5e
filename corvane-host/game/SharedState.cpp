#include "game/SharedState.h"

#include "game/SessionObserver.h"
#include "game/TokenList.h"
#include "ops/Metrics.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <exception>

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// One IServiceContext per registered service, with its own target list. It
// is also the IMessageSender of the modules registered in it, since a Send
// goes to that context's targets.
class CServiceContext final : public IServiceContext, public IMessageSender {
public:
    explicit CServiceContext(CSharedState& state) : m_state(state) {}

    bool RegisterModule(IModule* module) override { return m_state.RegisterModule(*this, module); }
    void* Reserved_1() override { return nullptr; }
    uint32_t GetCurrentUserId() override { return m_state.CurrentUserId(); }

    // One thread calls the module, so taking the list never waits; the depth
    // lets a broadcast nest inside another one.
    bool LockTargets(uint8_t /*flag*/) override
    {
        ++m_lockDepth;
        return true;
    }

    void GetTargets(const uint32_t** ids, uint32_t* count) override
    {
        if (ids != nullptr) {
            *ids = m_ids;
        }
        if (count != nullptr) {
            *count = m_count;
        }
    }

    // Keeps the caller's array, which it holds alive until it restores the
    // list before unlocking. A list set without holding the lock is ignored.
    void SetTargets(const uint32_t* ids, uint32_t count) override
    {
        if (m_lockDepth == 0) {
            spdlog::warn("module set a target list without holding it; ignored");
            return;
        }
        m_ids = ids;
        m_count = count;
        m_hasTargets = true;
    }

    void UnlockTargets() override
    {
        if (m_lockDepth > 0 && --m_lockDepth == 0) {
            ClearTargets();
        }
    }

    bool Send(const void* data, uint32_t size) override { return m_state.Send(*this, data, size); }

    // The list applies while the lock is held and a list was set.
    bool HasTargets() const { return m_lockDepth > 0 && m_hasTargets; }
    const uint32_t* TargetIds() const { return m_ids; }
    uint32_t TargetCount() const { return m_count; }

    // A module call that returned still holding the list must not steer
    // the sends of the next one.
    void ReleaseStaleLock()
    {
        if (m_lockDepth == 0) {
            return;
        }
        spdlog::warn("module returned while holding its target list; released");
        m_lockDepth = 0;
        ClearTargets();
    }

private:
    void ClearTargets()
    {
        m_ids = nullptr;
        m_count = 0;
        m_hasTargets = false;
    }

    CSharedState& m_state;
    const uint32_t* m_ids = nullptr;
    uint32_t m_count = 0;
    bool m_hasTargets = false;
    int m_lockDepth = 0;
};

// Fires at start + k * interval: a slow tick delays only itself, and beats
// it overran are skipped rather than fired in a burst.
class CFixedRateTimer {
public:
    CFixedRateTimer(asio::io_context& ioc, CSharedState& state, ITimerHandler* handler, uint32_t handle,
                    std::chrono::milliseconds interval)
        : m_timer(ioc), m_state(state), m_handler(handler), m_handle(handle), m_interval(interval)
    {
    }

    ITimerHandler* Handler() const { return m_handler; }

    void Start()
    {
        m_next = Clock::now() + m_interval;
        Arm();
    }

    void Stop()
    {
        m_timer.cancel();
        m_stopped = true;
    }

private:
    void Arm()
    {
        m_timer.expires_at(m_next);
        m_timer.async_wait([this](const boost::system::error_code& ec) {
            if (ec || m_stopped) {
                return;
            }
            m_state.FireTimer(m_handle);
            m_next += m_interval;
            const auto now = Clock::now();
            if (m_next <= now) {
                m_next += m_interval * ((now - m_next) / m_interval + 1);
            }
            Arm();
        });
    }

    asio::steady_timer m_timer;
    CSharedState& m_state;
    ITimerHandler* m_handler;
    uint32_t m_handle;
    std::chrono::milliseconds m_interval;
    Clock::time_point m_next;
    bool m_stopped = false;
};

CSharedState::CSharedState(asio::io_context& ioc, CMetrics& metrics, uint32_t maxUsers, const CTokenList* tokens)
    : m_ioc(ioc), m_metrics(metrics), m_maxUsers(maxUsers), m_tokens(tokens)
{
}

CSharedState::~CSharedState() = default;

template <class F>
bool CSharedState::CallModule(uint32_t userId, const char* what, F&& call)
{
    const uint32_t previousUser = m_currentUser;
    m_currentUser = userId;
    ++m_callDepth;
    bool result = false;
    try {
        result = call();
    } catch (const std::exception& e) {
        spdlog::error("module threw in {}: {}", what, e.what());
    } catch (...) {
        spdlog::error("module threw in {}", what);
    }
    --m_callDepth;
    m_currentUser = previousUser;
    if (m_callDepth == 0) {
        for (CServiceEntry& entry : m_services) {
            entry.context->ReleaseStaleLock();
        }
    }
    return result;
}

bool CSharedState::StartModule(PFN_KVServerStart start)
{
    if (m_observer != nullptr) {
        m_observer->OnStart();
    }
    bool ok = CallModule(0, "KVServerStart", [&] {
        const int32_t rc = start(this);
        if (rc != 0) {
            spdlog::warn("KVServerStart returned {}", rc);
        }
        return true;
    });
    // A service may register another one from Init; it gets its Init too.
    for (std::size_t i = 0; ok && i < m_services.size(); ++i) {
        IService* service = m_services[i].service;
        CServiceContext* context = m_services[i].context.get();
        ok = CallModule(0, "IService::Init", [&] {
            if (!service->Init(context)) {
                spdlog::warn("service {} reported a failed Init", m_services[i].id);
            }
            return true;
        });
    }
    for (auto& [id, entry] : m_modules) {
        IModule* module = entry.module;
        IMessageSender* sender = entry.context;
        ok = ok && CallModule(0, "IModule::SetSender", [&] {
                 module->SetSender(sender);
                 return true;
             });
    }
    if (!ok) {
        return false;
    }

    m_started = true;
    for (auto& timer : m_timers) {
        timer->Start();
    }
    spdlog::debug("module started: {} service(s), {} module(s), {} timer(s), {} notification handler(s)",
                  m_services.size(), m_modules.size(), m_timers.size(), m_handlers.size());
    return true;
}

void CSharedState::StopTimers()
{
    for (auto& timer : m_timers) {
        timer->Stop();
    }
}

void CSharedState::FinishModule()
{
    if (m_observer != nullptr) {
        m_observer->OnStop();
    }
    for (CServiceEntry& entry : m_services) {
        IService* service = entry.service;
        CallModule(0, "IService::Uninit", [&] { return service->Uninit(nullptr); });
    }
}

bool CSharedState::RegisterService(uint32_t serviceId, IService* service)
{
    if (service == nullptr) {
        return false;
    }
    const bool taken =
        std::any_of(m_services.begin(), m_services.end(), [&](const CServiceEntry& e) { return e.id == serviceId; });
    if (taken) {
        spdlog::warn("service id {} registered twice; the second one is refused", serviceId);
        return false;
    }
    m_services.push_back({serviceId, service, std::make_unique<CServiceContext>(*this)});
    return true;
}

bool CSharedState::RegisterModule(CServiceContext& context, IModule* module)
{
    if (module == nullptr) {
        return false;
    }
    uint16_t id = 0;
    CallModule(m_currentUser, "IModule::GetModuleId", [&] {
        id = module->GetModuleId();
        return true;
    });
    if (id == 0) {
        spdlog::warn("a module asked for module id 0, which belongs to the host; refused");
        return false;
    }
    if (!m_modules.emplace(id, CModuleEntry{module, &context}).second) {
        spdlog::warn("module id {} registered twice; the second one is refused", id);
        return false;
    }
    m_metrics.DeclareModule(id);
    // Modules registered after start-up get their sender at once.
    if (m_started) {
        CallModule(m_currentUser, "IModule::SetSender", [&] {
            module->SetSender(&context);
            return true;
        });
    }
    return true;
}

uint32_t CSharedState::AddTimer(ITimerHandler* handler, uint32_t interval)
{
    if (handler == nullptr) {
        return 0;
    }
    if (interval == 0) {
        spdlog::warn("timer interval 0 raised to 1 ms");
        interval = 1;
    }
    const auto handle = static_cast<uint32_t>(m_timers.size() + 1);
    m_timers.push_back(
        std::make_unique<CFixedRateTimer>(m_ioc, *this, handler, handle, std::chrono::milliseconds(interval)));
    if (m_started) {
        m_timers.back()->Start();
    }
    return static_cast<uint32_t>(m_timers.size());
}

bool CSharedState::AddHandler(IUserNotifyHandler* handler)
{
    if (handler == nullptr || std::find(m_handlers.begin(), m_handlers.end(), handler) != m_handlers.end()) {
        return false;
    }
    m_handlers.push_back(handler);
    return true;
}

CLoginResult CSharedState::Login(IUserLink& link, std::string_view token)
{
    if (m_tokens != nullptr && !m_tokens->Accepts(token)) {
        return {kLoginUnauthorized, 0};
    }
    if (m_users.size() >= m_maxUsers) {
        return {kLoginServerFull, 0};
    }
    const uint32_t userId = TakeUserId();
    m_users.emplace(userId, &link);
    return {kLoginOk, userId};
}

// Ids count up and wrap after 2^32 - 1 logins, skipping 0 and the ids still
// online; fewer users than ids are ever online, so the search ends.
uint32_t CSharedState::TakeUserId()
{
    while (m_nextUserId == 0 || m_users.contains(m_nextUserId)) {
        ++m_nextUserId;
    }
    return m_nextUserId++;
}

void CSharedState::Logout(uint32_t userId)
{
    if (m_users.erase(userId) == 0) {
        return;
    }
    if (m_callDepth > 0) {
        if (m_observer != nullptr) {
            m_observer->OnDrop(userId);
        }
        asio::post(m_ioc, [this, userId] { NotifyLogout(userId); });
    } else {
        NotifyLogout(userId);
    }
}

void CSharedState::ReportLogin(uint32_t userId)
{
    if (m_users.count(userId) == 0) {
        return;
    }
    spdlog::info("user {} logged in ({} online)", userId, m_users.size());
    if (m_observer != nullptr) {
        m_observer->OnLogin(userId);
    }
    for (IUserNotifyHandler* handler : m_handlers) {
        CallModule(userId, "IUserNotifyHandler::OnUserLogin", [&] {
            handler->OnUserLogin(userId);
            return true;
        });
    }
}

void CSharedState::ReportResume(uint32_t userId)
{
    if (m_observer != nullptr && m_users.contains(userId)) {
        m_observer->OnResume(userId);
    }
}

void CSharedState::NotifyLogout(uint32_t userId)
{
    spdlog::info("user {} logged out ({} online)", userId, m_users.size());
    if (m_observer != nullptr) {
        m_observer->OnLogout(userId);
    }
    for (IUserNotifyHandler* handler : m_handlers) {
        CallModule(0, "IUserNotifyHandler::OnUserLogout", [&] {
            handler->OnUserLogout(userId);
            return true;
        });
    }
}

bool CSharedState::DeliverToModule(uint32_t userId, const uint8_t* data, std::size_t size)
{
    const auto moduleId = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const auto it = m_modules.find(moduleId);
    if (it == m_modules.end()) {
        m_metrics.CountDropped("unknown_module");
        return false;
    }
    m_metrics.CountReceived(moduleId);
    IModule* module = it->second.module;
    if (m_observer != nullptr) {
        m_observer->OnMessage(userId, data, size);
    }
    const bool ok =
        CallModule(userId, "IModule::OnRecv", [&] { return module->OnRecv(data, static_cast<int32_t>(size)); });
    if (!ok) {
        m_metrics.CountRecvFailure(moduleId);
    }
    return true;
}

bool CSharedState::Send(const CServiceContext& context, const void* data, uint32_t size)
{
    // The recipients are fixed before any delivery: a delivery may end a
    // connection (a full queue), which must not change who this send reaches.
    m_recipients.clear();
    m_recipientLinks.clear();
    const auto addIfOnline = [this](uint32_t userId) {
        if (const auto it = m_users.find(userId); it != m_users.end()) {
            m_recipients.push_back(userId);
            m_recipientLinks.push_back(it->second);
        }
    };
    if (context.HasTargets()) {
        const uint32_t* ids = context.TargetIds();
        for (uint32_t i = 0; ids != nullptr && i < context.TargetCount(); ++i) {
            addIfOnline(ids[i]);
        }
    } else if (m_currentUser != 0) {
        addIfOnline(m_currentUser);
    }
    if (m_observer != nullptr) {
        m_observer->OnSend(m_recipients, std::string_view(static_cast<const char*>(data), size));
    }
    if (m_recipients.empty()) {
        m_metrics.CountDropped("no_recipient");
        return false;
    }

    // The module's bytes are copied once; every recipient's queue shares them,
    // or shares the one encoded form the broadcaster gives that recipient.
    const auto message = std::make_shared<const std::string>(static_cast<const char*>(data), size);
    if (m_broadcaster != nullptr) {
        m_broadcaster->Broadcast(m_recipientLinks, message);
        return true;
    }
    for (IUserLink* link : m_recipientLinks) {
        link->Deliver(message);
    }
    return true;
}

bool CSharedState::FireTimer(uint32_t handle)
{
    if (handle == 0 || handle > m_timers.size()) {
        return false;
    }
    ITimerHandler* handler = m_timers[handle - 1]->Handler();
    if (m_observer != nullptr) {
        m_observer->OnTimer(handle);
    }
    const auto start = Clock::now();
    CallModule(0, "ITimerHandler::OnTimer", [&] {
        handler->OnTimer();
        return true;
    });
    m_metrics.ObserveTick(std::chrono::duration<double>(Clock::now() - start).count());
    return true;
}
