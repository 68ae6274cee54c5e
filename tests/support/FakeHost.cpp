#include "support/FakeHost.h"

#include <algorithm>
#include <cstdio>

namespace {
thread_local uint32_t t_currentUser = 0;
}

IServiceManager* CFakeHost::GetServiceManager()
{
    Record("GetServiceManager");
    return offerServices ? this : nullptr;
}

void* CFakeHost::Reserved_1()
{
    Record("Reserved_1");
    return nullptr;
}

ITimerManager* CFakeHost::GetTimerManager()
{
    Record("GetTimerManager");
    return offerTimers ? this : nullptr;
}

IUserNotifier* CFakeHost::GetUserNotifier()
{
    Record("GetUserNotifier");
    return offerNotifier ? this : nullptr;
}

bool CFakeHost::RegisterService(uint32_t serviceId, IService* service)
{
    Record("RegisterService " + std::to_string(serviceId));
    std::lock_guard lock(m_mutex);
    services.emplace_back(serviceId, service);
    return true;
}

uint32_t CFakeHost::AddTimer(ITimerHandler* handler, uint32_t interval)
{
    Record("AddTimer " + std::to_string(interval));
    std::lock_guard lock(m_mutex);
    timers.emplace_back(handler, interval);
    timerHandles.push_back(m_nextTimer);
    return m_nextTimer++;
}

bool CFakeHost::AddHandler(IUserNotifyHandler* handler)
{
    Record("AddHandler");
    std::lock_guard lock(m_mutex);
    notifyHandlers.push_back(handler);
    return true;
}

bool CFakeHost::RegisterModule(IModule* module)
{
    Record("RegisterModule");
    std::lock_guard lock(m_mutex);
    modules.push_back(module);
    return true;
}

uint32_t CFakeHost::GetCurrentUserId()
{
    Record("GetCurrentUserId");
    return t_currentUser;
}

bool CFakeHost::LockTargets(uint8_t flag)
{
    Record("LockTargets " + std::to_string(flag));
    if (!grantTargetLock) {
        return false;
    }
    m_targetMutex.lock();
    std::lock_guard lock(m_mutex);
    m_targetsLocked = true;
    return true;
}

void CFakeHost::GetTargets(const uint32_t** ids, uint32_t* count)
{
    Record("GetTargets");
    std::lock_guard lock(m_mutex);
    *ids = m_targetIds;
    *count = m_targetCount;
}

void CFakeHost::SetTargets(const uint32_t* ids, uint32_t count)
{
    Record("SetTargets " + std::to_string(count));
    std::lock_guard lock(m_mutex);
    m_targetIds = ids;
    m_targetCount = count;
    m_listSet = true;
}

void CFakeHost::UnlockTargets()
{
    Record("UnlockTargets");
    {
        std::lock_guard lock(m_mutex);
        m_targetsLocked = false;
        m_listSet = false;
    }
    m_targetMutex.unlock();
}

bool CFakeHost::Send(const void* data, uint32_t size)
{
    std::lock_guard lock(m_mutex);
    SSent sent{std::string(static_cast<const char*>(data), size), {}};
    // Named by the frame's module id and message number: "Send 99:2".
    if (size >= 4) {
        const auto* b = static_cast<const uint8_t*>(data);
        Record("Send " + std::to_string(b[0] | b[1] << 8) + ":" + std::to_string(b[2] | b[3] << 8));
    } else {
        Record("Send");
    }
    // Inside a lock, the list set there; outside one, the list left in force,
    // if there is one; otherwise the user whose message is being handled.
    const bool toList = m_targetsLocked ? m_listSet : m_targetIds != nullptr || m_targetCount != 0;
    if (toList) {
        sent.recipients.assign(m_targetIds, m_targetIds + m_targetCount);
    } else if (t_currentUser != 0) {
        sent.recipients.push_back(t_currentUser);
    }
    m_sent.push_back(std::move(sent));
    return true;
}

int32_t CFakeHost::Start(int32_t (*start)(IServerHost*))
{
    const int32_t rc = start(this);
    for (auto& service : services) {
        service.second->Init(this);
    }
    for (IModule* module : modules) {
        module->SetSender(this);
    }
    return rc;
}

void CFakeHost::SetCurrentUser(uint32_t userId)
{
    t_currentUser = userId;
}

bool CFakeHost::Deliver(uint32_t userId, const std::vector<uint8_t>& msg)
{
    SetCurrentUser(userId);
    const bool ok = modules.at(0)->OnRecv(msg.data(), static_cast<int32_t>(msg.size()));
    SetCurrentUser(0);
    return ok;
}

void CFakeHost::FireTimers()
{
    for (auto& timer : timers) {
        timer.first->OnTimer();
    }
}

void CFakeHost::Login(uint32_t userId)
{
    for (IUserNotifyHandler* handler : notifyHandlers) {
        handler->OnUserLogin(userId);
    }
}

void CFakeHost::Logout(uint32_t userId)
{
    for (IUserNotifyHandler* handler : notifyHandlers) {
        handler->OnUserLogout(userId);
    }
}

std::vector<std::string> CFakeHost::Calls()
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<SSent> CFakeHost::Sent()
{
    std::lock_guard lock(m_mutex);
    return m_sent;
}

std::vector<SSent> CFakeHost::TakeSent()
{
    std::lock_guard lock(m_mutex);
    std::vector<SSent> sent;
    sent.swap(m_sent);
    return sent;
}

std::vector<uint32_t> CFakeHost::Targets()
{
    std::lock_guard lock(m_mutex);
    return std::vector<uint32_t>(m_targetIds, m_targetIds + m_targetCount);
}

bool CFakeHost::TargetsLocked()
{
    std::lock_guard lock(m_mutex);
    return m_targetsLocked;
}

void CFakeHost::Record(std::string call)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

std::vector<uint8_t> Message(uint16_t moduleId, uint16_t cmd, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> msg(4 + body.size());
    msg[0] = static_cast<uint8_t>(moduleId & 0xFF);
    msg[1] = static_cast<uint8_t>(moduleId >> 8);
    msg[2] = static_cast<uint8_t>(cmd & 0xFF);
    msg[3] = static_cast<uint8_t>(cmd >> 8);
    std::copy(body.begin(), body.end(), msg.begin() + 4);
    return msg;
}

std::string Hex(const std::string& bytes)
{
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof(buf), out.empty() ? "%02X" : " %02X", c);
        out += buf;
    }
    return out;
}
