// dll_host: loads the built module library the way a game server does and
// plays one scripted session through it: start-up, every EasyDemo and
// FirstCity command, timer ticks, logins and logouts, then unloads it and
// loads it once more. Every call the library makes and every byte it sends
// goes into a transcript, which must equal the one in SESSION byte for byte.
// Knows the library through include/corvane/KVServerApi.h alone.
//
// Usage: dll_host LIBRARY SESSION           check against SESSION
//        dll_host LIBRARY SESSION --write   write SESSION anew
// Exit code 0; 1 with one line on the first difference or a failed load.
#include <corvane/KVServerApi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

std::string Hex(const void* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::vector<uint8_t> FromHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The loaded library; unloads it when it goes.
class CLibrary {
public:
    explicit CLibrary(const std::string& path)
    {
#if defined(_WIN32)
        m_handle = LoadLibraryA(path.c_str());
#else
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;
    ~CLibrary() { Unload(); }

    bool Loaded() const { return m_handle != nullptr; }
    PFN_KVServerStart Start() const
    {
#if defined(_WIN32)
        return reinterpret_cast<PFN_KVServerStart>(
            reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), KV_SERVER_START_NAME)));
#else
        return reinterpret_cast<PFN_KVServerStart>(dlsym(m_handle, KV_SERVER_START_NAME));
#endif
    }
    bool Unload()
    {
        if (m_handle == nullptr) {
            return false;
        }
#if defined(_WIN32)
        const bool ok = FreeLibrary(static_cast<HMODULE>(m_handle)) != 0;
#else
        const bool ok = dlclose(m_handle) == 0;
#endif
        m_handle = nullptr;
        return ok;
    }

private:
    void* m_handle = nullptr;
};

// A single-threaded host that writes down everything the library does. A
// message goes to the target list in force: inside a lock the one set there,
// even an empty one; outside, any list left in place but the null one (no
// array, count 0); without a list, to the current user.
class CTranscriptHost final : public IServerHost,
                              public IServiceManager,
                              public ITimerManager,
                              public IUserNotifier,
                              public IServiceContext,
                              public IMessageSender {
public:
    IServiceManager* GetServiceManager() override
    {
        Note("GetServiceManager");
        return this;
    }
    void* Reserved_1() override
    {
        Note("Reserved_1");
        return nullptr;
    }
    ITimerManager* GetTimerManager() override
    {
        Note("GetTimerManager");
        return this;
    }
    IUserNotifier* GetUserNotifier() override
    {
        Note("GetUserNotifier");
        return this;
    }
    bool RegisterService(uint32_t serviceId, IService* service) override
    {
        Note("RegisterService ", serviceId);
        m_services.push_back(service);
        return true;
    }
    uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) override
    {
        m_timers.push_back(handler);
        Note("AddTimer ", interval, " -> ", m_timers.size());
        return static_cast<uint32_t>(m_timers.size());
    }
    bool AddHandler(IUserNotifyHandler* handler) override
    {
        Note("AddHandler");
        m_notifyHandlers.push_back(handler);
        return true;
    }
    bool RegisterModule(IModule* module) override
    {
        const uint16_t id = module->GetModuleId();
        Note("RegisterModule ", id);
        m_modules[id] = module;
        return true;
    }
    uint32_t GetCurrentUserId() override { return m_currentUser; }
    bool LockTargets(uint8_t flag) override
    {
        Note("LockTargets ", unsigned{flag});
        m_locked = true;
        m_setInLock = false;
        return true;
    }
    void GetTargets(const uint32_t** ids, uint32_t* count) override
    {
        *ids = m_targets;
        *count = m_targetCount;
    }
    void SetTargets(const uint32_t* ids, uint32_t count) override
    {
        m_targets = ids;
        m_targetCount = count;
        m_setInLock = m_locked;
    }
    void UnlockTargets() override
    {
        Note("UnlockTargets");
        m_locked = false;
    }
    bool Send(const void* data, uint32_t size) override
    {
        std::ostringstream to;
        if ((m_locked && m_setInLock) || m_targets != nullptr || m_targetCount != 0) {
            for (uint32_t i = 0; i < m_targetCount; ++i) {
                to << (i == 0 ? "" : ",") << m_targets[i];
            }
        } else {
            to << m_currentUser;
        }
        Note("send to [", to.str(), "] ", Hex(data, size));
        return true;
    }

    bool Start(PFN_KVServerStart start)
    {
        const int32_t result = start(this);
        Note("KVServerStart -> ", result);
        for (IService* service : m_services) {
            Note("Init -> ", service->Init(this) ? "true" : "false");
        }
        for (const auto& [id, module] : m_modules) {
            Note("SetSender ", id, " -> ", module->SetSender(this) == nullptr ? "null" : "a sender");
        }
        return result == 0;
    }
    void Stop()
    {
        for (IService* service : m_services) {
            Note("Uninit -> ", service->Uninit(nullptr) ? "true" : "false");
        }
    }
    // A client message, routed by the module id in its header.
    void Deliver(uint32_t userId, const std::string& hex)
    {
        const std::vector<uint8_t> msg = FromHex(hex);
        Note("recv from ", userId, " ", hex);
        const uint16_t moduleId = msg.size() >= 2 ? static_cast<uint16_t>(msg[0] | msg[1] << 8) : 0;
        const auto it = m_modules.find(moduleId);
        if (it == m_modules.end()) {
            Note("no module ", moduleId);
            return;
        }
        m_currentUser = userId;
        const bool ok = it->second->OnRecv(msg.data(), static_cast<int32_t>(msg.size()));
        m_currentUser = 0;
        Note("OnRecv -> ", ok ? "true" : "false");
    }
    void Tick()
    {
        Note("tick");
        for (ITimerHandler* timer : m_timers) {
            timer->OnTimer();
        }
    }
    void Login(uint32_t userId)
    {
        Note("login ", userId);
        for (IUserNotifyHandler* handler : m_notifyHandlers) {
            handler->OnUserLogin(userId);
        }
    }
    void Logout(uint32_t userId)
    {
        Note("logout ", userId);
        for (IUserNotifyHandler* handler : m_notifyHandlers) {
            handler->OnUserLogout(userId);
        }
    }

    // One line of the transcript, its parts written one after another.
    template <class... Parts>
    void Note(const Parts&... parts)
    {
        ((transcript << parts), ...) << '\n';
    }
    std::ostringstream transcript;

private:
    std::vector<IService*> m_services;
    std::vector<ITimerHandler*> m_timers;
    std::vector<IUserNotifyHandler*> m_notifyHandlers;
    std::map<uint16_t, IModule*> m_modules;
    uint32_t m_currentUser = 0;
    const uint32_t* m_targets = nullptr;
    uint32_t m_targetCount = 0;
    bool m_locked = false;
    bool m_setInLock = false;
};

// The session: two players through every command, with ticks between.
void PlaySession(CTranscriptHost& host)
{
    host.Tick(); // the first tick places the server's objects
    host.Login(1);
    host.Login(2);
    host.Deliver(1, "63000100");                   // EnterScene
    host.Deliver(2, "63000100");
    host.Deliver(1, "6300020005000700");           // MoveTo 5 7
    host.Deliver(2, "6300020016001500");           // MoveTo 22 21
    host.Tick();
    host.Deliver(2, "63000300010000000000000000"); // Attack user 1, single
    host.Deliver(1, "63000300070000000100000000"); // Attack object 7, single
    host.Deliver(2, "63000300020000000001000000"); // Attack around user 2, area
    host.Deliver(1, "63000400026869");             // Talk "hi"
    host.Deliver(1, "630005000000");               // no such EasyDemo command
    host.Deliver(1, "6300");                       // shorter than the header
    // FirstCity: PreEnter, NotifyLeave, InitPosition, MoveTo, SaveMyPos.
    host.Deliver(1, "f5010100");
    host.Deliver(1, "f501020001000000");
    host.Deliver(1, "f501030003000400");
    host.Deliver(1, "f501040005000600");
    host.Deliver(1, "f50105002a000000");
    host.Tick();
    host.Logout(2);
    host.Tick();
    host.Deliver(1, "63000100");
    host.Logout(1);
    host.Tick(); // object 7 keeps its 90 hit points to the end
}

// After an unload, the library starts from nothing again.
void PlayAgain(CTranscriptHost& host)
{
    host.Tick();
    host.Login(1);
    host.Deliver(1, "63000100");
    host.Logout(1);
}

bool Run(const std::string& libraryPath, CTranscriptHost& host, void (*play)(CTranscriptHost&))
{
    CLibrary library(libraryPath);
    if (!library.Loaded()) {
        std::fprintf(stderr, "dll_host: cannot load %s\n", libraryPath.c_str());
        return false;
    }
    const PFN_KVServerStart start = library.Start();
    if (start == nullptr) {
        std::fprintf(stderr, "dll_host: %s exports no %s\n", libraryPath.c_str(), KV_SERVER_START_NAME);
        return false;
    }
    if (host.Start(start)) {
        play(host);
    }
    host.Stop();
    host.Note("unload -> ", library.Unload() ? "true" : "false");
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool write = argc == 4 && std::strcmp(argv[3], "--write") == 0;
    if (argc != 3 && !write) {
        std::fprintf(stderr, "usage: dll_host LIBRARY SESSION [--write]\n");
        return 2;
    }
    std::string transcript;
    std::string firstTicks[2];
    for (int load = 0; load < 2; ++load) {
        CTranscriptHost host;
        host.Note("load ", load + 1);
        if (!Run(argv[1], host, load == 0 ? PlaySession : PlayAgain)) {
            return 1;
        }
        const std::string text = host.transcript.str();
        const std::size_t tick = text.find("tick\n");
        firstTicks[load] = text.substr(tick, text.find("UnlockTargets\n", tick) - tick);
        transcript += text;
    }
    // The first load's objects must have gone with its unload: a world that
    // outlived it would show object 7 at 90 hit points.
    if (firstTicks[0] != firstTicks[1]) {
        std::fprintf(stderr, "dll_host: the library loaded again still holds the world of its first load\n");
        return 1;
    }

    if (write) {
        std::ofstream out(argv[2], std::ios::binary);
        out << transcript;
        if (!out.flush()) {
            std::fprintf(stderr, "dll_host: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "dll_host: cannot read %s\n", argv[2]);
        return 1;
    }
    std::istringstream expected(std::string(std::istreambuf_iterator<char>(in), {}));
    std::istringstream actual(transcript);
    std::string want;
    std::string got;
    for (int line = 1;; ++line) {
        const bool haveWant = static_cast<bool>(std::getline(expected, want));
        const bool haveGot = static_cast<bool>(std::getline(actual, got));
        if (!haveWant && !haveGot) {
            return 0;
        }
        if (!haveWant || !haveGot || want != got) {
            // Lines of a tick run to kilobytes: show where they part.
            std::size_t at = 0;
            while (at < want.size() && at < got.size() && want[at] == got[at]) {
                ++at;
            }
            const std::size_t from = at > 20 ? at - 20 : 0;
            std::fprintf(stderr, "dll_host: line %d of %s, column %zu: expected \"%.60s\", got \"%.60s\"\n", line,
                         argv[2], at + 1, haveWant ? want.c_str() + from : "(end)",
                         haveGot ? got.c_str() + from : "(end)");
            return 1;
        }
    }
}
