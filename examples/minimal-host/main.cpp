// minimal-host: the smallest host of a Corvane module. It loads the module
// with dlopen, starts it, fires its timers on time and hands it messages
// typed on standard input as hex bytes, from user 1:
//
//   minimal-host [MODULE]          (default: the installed Corvane module)
//   > 63 00 01 00                  module 99, command 1, no body
//   -> user 1: 63 00 01 00 ...     what the module sends, and to whom
//
// One thread makes every call into the module, so the module never sees two
// at once. End with Ctrl-D.
#include <corvane/KVServerApi.h>

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct STimer {
    ITimerHandler* handler;
    std::chrono::milliseconds interval;
    Clock::time_point due;
};

// Every host interface in one object, with one service context for all.
class CMinimalHost final : public IServerHost,
                           public IServiceManager,
                           public ITimerManager,
                           public IUserNotifier,
                           public IServiceContext,
                           public IMessageSender {
public:
    std::vector<IService*> services;
    std::vector<STimer> timers;
    std::vector<IUserNotifyHandler*> notifyHandlers;
    std::vector<IModule*> modules;
    uint32_t currentUser = 0;

    IServiceManager* GetServiceManager() override { return this; }
    void* Reserved_1() override { return nullptr; }
    ITimerManager* GetTimerManager() override { return this; }
    IUserNotifier* GetUserNotifier() override { return this; }

    bool RegisterService(uint32_t, IService* service) override
    {
        services.push_back(service);
        return true;
    }
    uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) override
    {
        const std::chrono::milliseconds ms(interval);
        timers.push_back({handler, ms, Clock::now() + ms});
        return static_cast<uint32_t>(timers.size());
    }
    bool AddHandler(IUserNotifyHandler* handler) override
    {
        notifyHandlers.push_back(handler);
        return true;
    }

    bool RegisterModule(IModule* module) override
    {
        modules.push_back(module);
        return true;
    }
    uint32_t GetCurrentUserId() override { return currentUser; }
    // One thread: the list is never contended.
    bool LockTargets(uint8_t) override
    {
        ++m_locked;
        return true;
    }
    void GetTargets(const uint32_t** ids, uint32_t* count) override
    {
        *ids = m_ids;
        *count = m_count;
    }
    void SetTargets(const uint32_t* ids, uint32_t count) override
    {
        m_ids = ids;
        m_count = count;
    }
    void UnlockTargets() override { --m_locked; }

    bool Send(const void* data, uint32_t size) override
    {
        std::string to;
        if (m_locked > 0 && m_count > 0) {
            for (uint32_t i = 0; i < m_count; ++i) {
                to += (i ? "," : "") + std::to_string(m_ids[i]);
            }
        } else if (currentUser != 0) {
            to = std::to_string(currentUser);
        } else {
            return false; // a timer's send without a list reaches nobody
        }
        std::printf("-> user %s:", to.c_str());
        for (uint32_t i = 0; i < size; ++i) {
            std::printf(" %02x", static_cast<const uint8_t*>(data)[i]);
        }
        std::printf("\n");
        return true;
    }

    // Fires every timer that is due, at a fixed rate.
    void FireDueTimers()
    {
        for (STimer& timer : timers) {
            while (timer.interval.count() > 0 && Clock::now() >= timer.due) {
                timer.handler->OnTimer();
                timer.due += timer.interval;
            }
        }
    }

    int MillisToNextTimer() const
    {
        auto next = Clock::now() + std::chrono::hours(1);
        for (const STimer& timer : timers) {
            next = std::min(next, timer.due);
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        return ms < 0 ? 0 : static_cast<int>(ms);
    }

    // A line of hex bytes: one client message, header first.
    void Deliver(const std::string& line)
    {
        std::vector<uint8_t> msg;
        std::istringstream in(line);
        unsigned byte = 0;
        while (in >> std::hex >> byte) {
            msg.push_back(static_cast<uint8_t>(byte));
        }
        if (msg.size() < 4) {
            std::printf("need at least the 4 header bytes: module id and command, little-endian\n");
            return;
        }
        const auto moduleId = static_cast<uint16_t>(msg[0] | msg[1] << 8);
        for (IModule* module : modules) {
            if (module->GetModuleId() == moduleId) {
                currentUser = 1;
                const bool ok = module->OnRecv(msg.data(), static_cast<int32_t>(msg.size()));
                currentUser = 0;
                std::printf("OnRecv returned %s\n", ok ? "true" : "false");
                return;
            }
        }
        std::printf("no module with id %u\n", moduleId);
    }

private:
    int m_locked = 0;
    const uint32_t* m_ids = nullptr;
    uint32_t m_count = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : CORVANE_MODULE_PATH;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "minimal-host: cannot load %s: %s\n", path, dlerror());
        return 2;
    }
    auto start = reinterpret_cast<PFN_KVServerStart>(dlsym(library, KV_SERVER_START_NAME));
    if (start == nullptr) {
        std::fprintf(stderr, "minimal-host: %s does not export " KV_SERVER_START_NAME "\n", path);
        return 2;
    }

    // Start-up: KVServerStart, Init on every service, a sender for every module.
    static CMinimalHost host;
    if (start(&host) != 0) {
        std::fprintf(stderr, "minimal-host: %s refused to start\n", path);
        return 2;
    }
    for (IService* service : host.services) {
        service->Init(&host);
    }
    for (IModule* module : host.modules) {
        module->SetSender(&host);
        std::printf("module %u ready\n", module->GetModuleId());
    }
    for (IUserNotifyHandler* handler : host.notifyHandlers) {
        handler->OnUserLogin(1);
    }
    std::fflush(stdout);

    // Wait for input, but never past the next timer.
    std::string pending;
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, host.MillisToNextTimer()) > 0) {
            char chunk[4096];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                host.Deliver(pending.substr(0, end));
            }
        }
        host.FireDueTimers();
        std::fflush(stdout);
    }

    for (IUserNotifyHandler* handler : host.notifyHandlers) {
        handler->OnUserLogout(1);
    }
    // The module stays loaded: nothing may call into it after dlclose.
    return 0;
}
