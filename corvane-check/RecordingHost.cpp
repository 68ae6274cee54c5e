#include "RecordingHost.h"

#include <cstdarg>
#include <cstdio>
#include <exception>

namespace {
thread_local uint32_t t_currentUser = 0;

// Texts kept per run; the counts go on beyond.
constexpr std::size_t kKeptViolations = 32;
} // namespace

bool CRecordingSender::Send(const void* data, uint32_t size)
{
    if (!installed) {
        m_host.Violation(EViolation::SendNoSender,
                         "Send of " + std::to_string(size) + " bytes through a sender the module no longer holds");
    }
    // Touch every byte: the module must hand over readable memory.
    const auto* bytes = static_cast<const uint8_t*>(data);
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    bool toList = false;
    for (const SModuleEntry& entry : m_host.modules) {
        if (entry.sender == this) {
            toList = entry.context->SendsToList();
            break;
        }
    }
    m_host.CountSend(toList);
    return true;
}

bool CRecordingContext::RegisterModule(IModule* module)
{
    SModuleEntry entry;
    entry.module = module;
    entry.context = this;
    m_host.modules.push_back(entry);
    return true;
}

uint32_t CRecordingContext::GetCurrentUserId()
{
    return t_currentUser;
}

bool CRecordingContext::LockTargets(uint8_t /*flag*/)
{
    const bool grant = m_host.GrantTargets();
    m_host.CountLock(grant);
    if (!grant) {
        return false;
    }
    std::unique_lock lock(m_mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (m_depth > 0 && m_holder == self) {
        ++m_depth;
        return true;
    }
    m_released.wait(lock, [this] { return m_depth == 0; });
    m_holder = self;
    m_depth = 1;
    return true;
}

void CRecordingContext::GetTargets(const uint32_t** ids, uint32_t* count)
{
    std::lock_guard lock(m_mutex);
    *ids = m_ids;
    *count = m_count;
}

void CRecordingContext::SetTargets(const uint32_t* ids, uint32_t count)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_depth > 0 && m_holder == std::this_thread::get_id()) {
            m_ids = ids;
            m_count = count;
            return;
        }
    }
    m_host.Violation(EViolation::Targets, "SetTargets without holding the target list (no granted LockTargets)");
}

void CRecordingContext::UnlockTargets()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_depth > 0 && m_holder == std::this_thread::get_id()) {
            if (--m_depth == 0) {
                m_holder = {};
                m_released.notify_all();
            }
            return;
        }
    }
    m_host.Violation(EViolation::Targets, "UnlockTargets without a granted LockTargets");
}

void CRecordingContext::CheckReleased(const std::string& what)
{
    std::string fault;
    {
        std::lock_guard lock(m_mutex);
        if (m_depth > 0 && m_holder == std::this_thread::get_id()) {
            fault = what + " returned still holding the target list (LockTargets without UnlockTargets)";
            m_depth = 0;
            m_holder = {};
            m_released.notify_all();
        }
        if (m_depth == 0 && m_count != 0) {
            if (fault.empty()) {
                fault = what + " returned without restoring the target list (" + std::to_string(m_count) +
                        " ids left in force)";
            }
            m_ids = nullptr;
            m_count = 0;
        }
    }
    if (!fault.empty()) {
        m_host.Violation(EViolation::Targets, fault);
    }
}

bool CRecordingContext::SendsToList()
{
    std::lock_guard lock(m_mutex);
    if (m_depth == 0 || m_holder != std::this_thread::get_id()) {
        return false;
    }
    // Read the list: the module must keep it alive while it is in force.
    volatile uint32_t sum = 0;
    for (uint32_t i = 0; i < m_count; ++i) {
        sum = sum + m_ids[i];
    }
    return m_count > 0;
}

CRecordingHost::CRecordingHost(char* breadcrumb, std::size_t breadcrumbSize)
    : m_breadcrumb(breadcrumb), m_breadcrumbSize(breadcrumbSize)
{
}

CRecordingHost::~CRecordingHost() = default;

bool CRecordingHost::RegisterService(uint32_t serviceId, IService* service)
{
    std::lock_guard lock(m_mutex);
    services.emplace_back(serviceId, service);
    return true;
}

uint32_t CRecordingHost::AddTimer(ITimerHandler* handler, uint32_t interval)
{
    std::lock_guard lock(m_mutex);
    timers.emplace_back(handler, interval);
    return m_nextTimer++;
}

bool CRecordingHost::AddHandler(IUserNotifyHandler* handler)
{
    std::lock_guard lock(m_mutex);
    notifyHandlers.push_back(handler);
    return true;
}

template <class F>
void CRecordingHost::Call(const std::string& what, F&& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        Violation(EViolation::Exception, what + " let an exception out: " + e.what());
    } catch (...) {
        Violation(EViolation::Exception, what + " let an exception of unknown type out");
    }
    for (const auto& context : m_contexts) {
        context->CheckReleased(what);
    }
}

int32_t CRecordingHost::Start(PFN_KVServerStart start)
{
    int32_t result = -1;
    Note("KVServerStart");
    Call("KVServerStart", [&] { result = start(this); });
    // Each service gets a context of its own.
    for (const auto& registered : services) {
        IService* service = registered.second;
        m_contexts.push_back(std::make_unique<CRecordingContext>(*this));
        CRecordingContext* context = m_contexts.back().get();
        bool ok = false;
        Note("Init of service %u", registered.first);
        Call("Init", [&] { ok = service->Init(context); });
        initResults.push_back(ok);
    }
    for (std::size_t i = 0; i < modules.size(); ++i) {
        modules[i].id = ModuleId(i);
        if (IMessageSender* before = SetSender(i, NewSender()); before != nullptr) {
            Violation(EViolation::Sender, "the first SetSender of module " + std::to_string(modules[i].id) +
                                              " returned a sender, not null");
        }
    }
    return result;
}

bool CRecordingHost::Deliver(std::size_t module, uint32_t userId, const uint8_t* data, int32_t length)
{
    t_currentUser = userId;
    bool result = false;
    Call("OnRecv", [&] { result = modules[module].module->OnRecv(data, length); });
    t_currentUser = 0;
    return result;
}

void CRecordingHost::FireTimers()
{
    for (const auto& timer : timers) {
        ITimerHandler* handler = timer.first;
        Call("OnTimer", [handler] { handler->OnTimer(); });
    }
}

void CRecordingHost::Login(uint32_t userId)
{
    for (IUserNotifyHandler* handler : notifyHandlers) {
        Call("OnUserLogin", [&] { handler->OnUserLogin(userId); });
    }
}

void CRecordingHost::Logout(uint32_t userId)
{
    for (IUserNotifyHandler* handler : notifyHandlers) {
        Call("OnUserLogout", [&] { handler->OnUserLogout(userId); });
    }
}

IMessageSender* CRecordingHost::SetSender(std::size_t module, CRecordingSender* sender)
{
    SModuleEntry& entry = modules[module];
    IMessageSender* before = nullptr;
    Note("SetSender of module %u", entry.id);
    // The new sender counts as held from the moment the module may use it.
    if (sender != nullptr) {
        sender->installed = true;
    }
    Call("SetSender", [&] { before = entry.module->SetSender(sender); });
    if (entry.sender != nullptr && entry.sender != sender) {
        entry.sender->installed = false;
    }
    entry.sender = sender;
    return before;
}

CRecordingSender* CRecordingHost::NewSender()
{
    m_senders.push_back(std::make_unique<CRecordingSender>(*this));
    return m_senders.back().get();
}

uint16_t CRecordingHost::ModuleId(std::size_t module)
{
    uint16_t id = 0;
    Call("GetModuleId", [&] { id = modules[module].module->GetModuleId(); });
    return id;
}

void CRecordingHost::Note(const char* format, ...)
{
    if (m_breadcrumb == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(m_breadcrumb, m_breadcrumbSize, format, args);
    va_end(args);
}

void CRecordingHost::Violation(EViolation kind, const std::string& text)
{
    std::lock_guard lock(m_mutex);
    ++m_violationCounts[static_cast<int>(kind)];
    if (m_violations.size() < kKeptViolations) {
        m_violations.emplace_back(kind, text);
    }
}

std::size_t CRecordingHost::ViolationCount(std::initializer_list<EViolation> kinds)
{
    std::lock_guard lock(m_mutex);
    std::size_t n = 0;
    for (EViolation kind : kinds) {
        n += m_violationCounts[static_cast<int>(kind)];
    }
    return n;
}

std::string CRecordingHost::ViolationText(std::initializer_list<EViolation> kinds)
{
    std::lock_guard lock(m_mutex);
    for (const auto& [kind, text] : m_violations) {
        for (EViolation wanted : kinds) {
            if (kind == wanted) {
                return text;
            }
        }
    }
    return {};
}

void CRecordingHost::CountSend(bool toList)
{
    std::lock_guard lock(m_mutex);
    ++m_stats.sends;
    m_stats.sendsToList += toList ? 1 : 0;
}

void CRecordingHost::CountLock(bool granted)
{
    std::lock_guard lock(m_mutex);
    ++(granted ? m_stats.locks : m_stats.refusedLocks);
}

SHostStats CRecordingHost::Stats()
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}
