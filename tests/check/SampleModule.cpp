// A small module that keeps the binary contract, built once as it is and
// once per fault that corvane-check must catch (CORVANE_FAULT_...). It
// greets: command 1 answers the sender; every tick it tells all users online
// how many there are, under a target list.
#include <corvane/KVServerApi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

constexpr uint16_t kModuleId = 7;
constexpr uint16_t kCommands = 2;

std::mutex g_mutex;

// Serialises the entry points, unless the fault is leaving that out. The
// faulty build asserts instead that no two calls overlap.
class CEntry {
public:
#if defined(CORVANE_FAULT_THREADS)
    CEntry()
    {
        if (s_inside++ != 0) {
            std::abort();
        }
        std::this_thread::yield();
    }
    ~CEntry() { --s_inside; }

private:
    static inline std::atomic<int> s_inside{0};
#else
    CEntry() : m_lock(g_mutex) {}

private:
    std::lock_guard<std::mutex> m_lock;
#endif
};

class CSampleModule final : public IModule {
public:
    IServiceContext* context = nullptr;

    bool OnRecv(const uint8_t* data, int32_t length) override
    {
        CEntry entry;
#if defined(CORVANE_FAULT_BOUNDS)
        (void)length; // reads the header whatever the length
#else
        if (length < 4) {
            return false;
        }
#endif
        uint16_t cmd = 0;
        std::memcpy(&cmd, data + 2, 2);
        if (cmd > kCommands) {
            return false;
        }
#if defined(CORVANE_FAULT_MESSAGES)
        // cmd - 1 wraps for command 0, and at() throws out of the module.
        const Handler handler = kHandlers.at(static_cast<std::size_t>(cmd) - 1);
#else
        if (cmd == 0) {
            return false;
        }
        const Handler handler = kHandlers[cmd - 1u];
#endif
        return (this->*handler)();
    }

    IMessageSender* SetSender(IMessageSender* sender) override
    {
        CEntry entry;
        IMessageSender* before = m_sender;
        m_sender = sender;
#if defined(CORVANE_FAULT_CACHED_SENDER)
        if (sender != nullptr) {
            m_lastSender = sender;
        }
#endif
#if defined(CORVANE_FAULT_SENDER)
        (void)before;
        return sender;
#else
        return before;
#endif
    }

    uint16_t GetModuleId() override { return kModuleId; }

    void Tick()
    {
        if (context == nullptr || m_sender == nullptr) {
            return;
        }
        std::vector<uint32_t> ids;
        for (uint32_t id : m_order) {
#if defined(CORVANE_FAULT_INTERLEAVE)
            // A user who logged out is still in m_order; at() throws.
            if (m_online.at(id)) {
                ids.push_back(id);
            }
#else
            ids.push_back(id);
#endif
        }
        const uint8_t frame[5] = {kModuleId, 0, 2, 0, static_cast<uint8_t>(ids.size())};
        if (!context->LockTargets(0)) {
            return;
        }
        const uint32_t* savedIds = nullptr;
        uint32_t savedCount = 0;
        context->GetTargets(&savedIds, &savedCount);
        context->SetTargets(ids.data(), static_cast<uint32_t>(ids.size()));
        Sender()->Send(frame, sizeof frame);
#if !defined(CORVANE_FAULT_TARGETS)
        context->SetTargets(savedIds, savedCount);
#endif
        context->UnlockTargets();
    }

    void Login(uint32_t id)
    {
        m_online[id] = true;
        m_order.push_back(id);
    }

    void Logout(uint32_t id)
    {
        m_online.erase(id);
#if !defined(CORVANE_FAULT_INTERLEAVE)
        std::erase(m_order, id);
#endif
    }

private:
    using Handler = bool (CSampleModule::*)();

    IMessageSender* Sender()
    {
#if defined(CORVANE_FAULT_CACHED_SENDER)
        return m_lastSender;
#else
        return m_sender;
#endif
    }

    bool Greet()
    {
        static const uint8_t kHello[4] = {kModuleId, 0, 1, 0};
        if (m_sender != nullptr) {
            m_sender->Send(kHello, sizeof kHello);
        }
        return true;
    }

    bool Count()
    {
        const uint8_t reply[5] = {kModuleId, 0, 3, 0, static_cast<uint8_t>(m_online.size())};
        if (IMessageSender* sender = Sender()) {
            sender->Send(reply, sizeof reply);
        }
        return true;
    }

    static inline const std::vector<Handler> kHandlers = {&CSampleModule::Greet, &CSampleModule::Count};

    IMessageSender* m_sender = nullptr;
#if defined(CORVANE_FAULT_CACHED_SENDER)
    IMessageSender* m_lastSender = nullptr;
#endif
    std::map<uint32_t, bool> m_online;
    std::vector<uint32_t> m_order;
};

CSampleModule g_module;
#if defined(CORVANE_FAULT_MODULES)
CSampleModule g_twin;
#endif

class CSampleService final : public IService, public ITimerHandler, public IUserNotifyHandler {
public:
    bool Init(IServiceContext* context) override
    {
        CEntry entry;
        context->RegisterModule(&g_module);
#if defined(CORVANE_FAULT_MODULES)
        context->RegisterModule(&g_twin);
#endif
        g_module.context = context;
        return true;
    }
    bool Uninit(void*) override { return true; }
    void OnTimer() override
    {
        CEntry entry;
        g_module.Tick();
    }
    void OnUserLogin(uint32_t userId) override
    {
        CEntry entry;
        g_module.Login(userId);
    }
    void OnUserLogout(uint32_t userId) override
    {
        CEntry entry;
        g_module.Logout(userId);
    }
};

CSampleService g_service;

} // namespace

#if defined(CORVANE_FAULT_EXPORTS)
extern "C" KV_EXPORT int SampleVersion() { return 1; }
#endif

#if defined(CORVANE_FAULT_FORKED_CHILD)
// Forks on load a child that inherits every descriptor of the loading
// process and outlives it, and names it in the file CORVANE_TEST_PIDFILE
// names. The child gives up after two minutes.
[[gnu::constructor]] static void ForkAChild()
{
    const pid_t child = fork();
    if (child == 0) {
        sleep(120);
        _exit(0);
    }
    if (const char* file = std::getenv("CORVANE_TEST_PIDFILE")) {
        if (FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "%d\n", static_cast<int>(child));
            std::fclose(out);
        }
    }
}
#endif

extern "C" KV_EXPORT int32_t KVServerStart(IServerHost* host)
{
#if defined(CORVANE_FAULT_HANG)
    // Never returns, for as long as a test could wait.
    for (int i = 0; i < 600; ++i) {
        sleep(1);
    }
#endif
    host->GetServiceManager()->RegisterService(1, &g_service);
#if defined(CORVANE_FAULT_START)
    host->GetTimerManager()->AddTimer(&g_service, 0);
#else
    host->GetTimerManager()->AddTimer(&g_service, 100);
#endif
    if (IUserNotifier* notifier = host->GetUserNotifier()) {
        notifier->AddHandler(&g_service);
    }
    return 0;
}
