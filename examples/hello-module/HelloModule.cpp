// hello: a small Corvane module. A player sends Hello with a name and gets a
// greeting back; every ten timer ticks all players online hear the count.
//
// Client -> module (module id 7):
//   1 Hello   name: count byte + bytes
//   2 Status  (no body)
// Module -> client:
//   1 Greeting  text: count byte + bytes
//   2 Status    ticks: u32, users online: u32 (little-endian)
//   3 Tick      ticks: u32, to every user online
#include <corvane/KVServerApi.h>

#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t kServiceId = 1;
constexpr uint16_t kModuleId = 7;
constexpr uint32_t kTickInterval = 1000; // milliseconds in most hosts

enum : uint16_t { kCmdHello = 1, kCmdStatus = 2 };
enum : uint16_t { kMsgGreeting = 1, kMsgStatus = 2, kMsgTick = 3 };

// Every message starts with the module id and the message number.
std::string Frame(uint16_t msg)
{
    return {static_cast<char>(kModuleId & 0xFF), static_cast<char>(kModuleId >> 8), static_cast<char>(msg & 0xFF),
            static_cast<char>(msg >> 8)};
}

void PutU32(std::string& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void PutShortString(std::string& out, std::string_view text)
{
    text = text.substr(0, 255);
    out += static_cast<char>(text.size());
    out += text;
}

// One object plays every part the host calls: service, module, timer
// handler, login/logout handler.
class CHelloModule final : public IService, public IModule, public ITimerHandler, public IUserNotifyHandler {
public:
    bool Init(IServiceContext* context) override
    {
        std::lock_guard lock(m_mutex);
        m_context = context;
        context->RegisterModule(this);
        return true;
    }

    bool Uninit(void*) override { return true; }

    bool OnRecv(const uint8_t* data, int32_t length) override
    {
        std::lock_guard lock(m_mutex);
        // The host hands over exactly `length` bytes: never read past them.
        if (length < 4 || m_context == nullptr) {
            return false;
        }
        const auto cmd = static_cast<uint16_t>(data[2] | data[3] << 8);
        const uint8_t* body = data + 4;
        const auto bodyLength = static_cast<std::size_t>(length - 4);
        // No exception may cross into the host.
        try {
            switch (cmd) {
            case kCmdHello:
                return OnHello(body, bodyLength);
            case kCmdStatus:
                return OnStatus();
            default:
                return false;
            }
        } catch (...) {
            return false;
        }
    }

    IMessageSender* SetSender(IMessageSender* sender) override
    {
        std::lock_guard lock(m_mutex);
        IMessageSender* before = m_sender;
        m_sender = sender;
        return before;
    }

    uint16_t GetModuleId() override { return kModuleId; }

    void OnTimer() override
    {
        std::lock_guard lock(m_mutex);
        if (++m_ticks % 10 != 0 || m_context == nullptr || m_online.empty()) {
            return;
        }
        try {
            std::string msg = Frame(kMsgTick);
            PutU32(msg, m_ticks);
            Broadcast(msg);
        } catch (...) {
        }
    }

    void OnUserLogin(uint32_t userId) override
    {
        std::lock_guard lock(m_mutex);
        m_online.insert(userId);
    }

    void OnUserLogout(uint32_t userId) override
    {
        std::lock_guard lock(m_mutex);
        m_online.erase(userId);
    }

private:
    bool OnHello(const uint8_t* body, std::size_t length)
    {
        if (length < 1 || length < 1u + body[0]) {
            return false;
        }
        const std::string name(reinterpret_cast<const char*>(body + 1), body[0]);
        std::string reply = Frame(kMsgGreeting);
        PutShortString(reply, "Hello, " + name + "! You are user " + std::to_string(m_context->GetCurrentUserId()) + ".");
        Send(reply);
        return true;
    }

    bool OnStatus()
    {
        std::string reply = Frame(kMsgStatus);
        PutU32(reply, m_ticks);
        PutU32(reply, static_cast<uint32_t>(m_online.size()));
        Send(reply);
        return true;
    }

    // Without a target list a message goes to the user whose message is
    // being handled; a list sends it to those users instead. The list is
    // the host's: take it, replace it, restore it, give it back.
    void Broadcast(const std::string& msg)
    {
        const std::vector<uint32_t> ids(m_online.begin(), m_online.end());
        if (!m_context->LockTargets(0)) {
            return;
        }
        const uint32_t* savedIds = nullptr;
        uint32_t savedCount = 0;
        m_context->GetTargets(&savedIds, &savedCount);
        m_context->SetTargets(ids.data(), static_cast<uint32_t>(ids.size()));
        Send(msg);
        m_context->SetTargets(savedIds, savedCount);
        m_context->UnlockTargets();
    }

    void Send(const std::string& msg)
    {
        // No sender: the host has turned sending off.
        if (m_sender != nullptr) {
            m_sender->Send(msg.data(), static_cast<uint32_t>(msg.size()));
        }
    }

    // Hosts may call in from any thread: one lock serialises every entry.
    // Recursive, for a host that calls back into the module from inside a
    // call the module makes (RegisterModule, Send).
    std::recursive_mutex m_mutex;
    IServiceContext* m_context = nullptr;
    IMessageSender* m_sender = nullptr;
    std::set<uint32_t> m_online;
    uint32_t m_ticks = 0;
};

CHelloModule g_hello;

} // namespace

extern "C" KV_API int32_t KVServerStart(IServerHost* host)
{
    IServiceManager* services = host != nullptr ? host->GetServiceManager() : nullptr;
    ITimerManager* timers = host != nullptr ? host->GetTimerManager() : nullptr;
    if (services == nullptr || timers == nullptr) {
        return -1;
    }
    services->RegisterService(kServiceId, &g_hello);
    timers->AddTimer(&g_hello, kTickInterval);
    if (IUserNotifier* notifier = host->GetUserNotifier()) {
        notifier->AddHandler(&g_hello);
    }
    return 0;
}
