// The module through its binary interfaces: the library is started on a
// recording host, then each input is a sequence of host events (logins,
// logouts, ticks, client messages of any length for modules 99 and 501 from
// a few users, a crowd entering at once, the target lock refused). After
// every event the world and everything the module sent are checked.
//
// The world singletons live as long as the process, so every input ends by
// logging out everyone it logged in: the next input starts from an empty
// grid but for the server-driven objects.
#include "FuzzCheck.h"

#include "easydemo/EasyDemo.h"
#include "firstcity/FirstCity.h"
#include "host/Globals.h"
#include "world/NpcManager.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"
#include "world/WorldRecords.h"

#include <corvane/KVServerApi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kEasyDemoId = 99;
constexpr uint16_t kFirstCityId = 501;
constexpr uint32_t kFewUsers = 4;
// Crowd members get ids from here on, clear of the few users. A crowd of
// 156 is enough to push the per-tick lists past 255 entries; more would only
// slow every event down.
constexpr uint32_t kCrowdBase = 1000;
constexpr uint32_t kMaxCrowd = 160;
constexpr int16_t kMaxHp = 100;

uint16_t U16(const std::string& s, std::size_t at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint32_t U32(const std::string& s, std::size_t at)
{
    return static_cast<uint32_t>(U16(s, at)) | (static_cast<uint32_t>(U16(s, at + 2)) << 16);
}

int16_t I16(const std::string& s, std::size_t at)
{
    return static_cast<int16_t>(U16(s, at));
}

// A host that checks the library's use of the target list as it happens and
// every message as it is sent.
class CCheckingHost final : public IServerHost,
                            public IServiceManager,
                            public ITimerManager,
                            public IUserNotifier,
                            public IServiceContext,
                            public IMessageSender {
public:
    IServiceManager* GetServiceManager() override { return this; }
    void* Reserved_1() override { return nullptr; }
    ITimerManager* GetTimerManager() override { return this; }
    IUserNotifier* GetUserNotifier() override { return this; }

    bool RegisterService(uint32_t, IService* service) override
    {
        services.push_back(service);
        return true;
    }
    uint32_t AddTimer(ITimerHandler* handler, uint32_t) override
    {
        timers.push_back(handler);
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

    bool LockTargets(uint8_t) override
    {
        FUZZ_CHECK(!m_locked, "LockTargets while the target list is locked");
        if (!grantTargetLock) {
            return false;
        }
        m_locked = true;
        ++m_lockDepth;
        return true;
    }
    void GetTargets(const uint32_t** ids, uint32_t* count) override
    {
        FUZZ_CHECK(m_locked, "GetTargets outside LockTargets");
        *ids = m_ids;
        *count = m_count;
    }
    void SetTargets(const uint32_t* ids, uint32_t count) override
    {
        FUZZ_CHECK(m_locked, "SetTargets outside LockTargets");
        FUZZ_CHECK(ids != nullptr || count == 0, "SetTargets with a count but no list");
        m_ids = ids;
        m_count = count;
    }
    void UnlockTargets() override
    {
        FUZZ_CHECK(m_locked, "UnlockTargets without LockTargets");
        m_locked = false;
        --m_lockDepth;
    }

    bool Send(const void* data, uint32_t size) override
    {
        const std::string bytes(static_cast<const char*>(data), size);
        CheckFrame(bytes);
        if (m_locked && m_count != 0 && bytes.size() >= 5 && U16(bytes, 2) == EasyDemo::kPoseList) {
            // A pose list goes to exactly the users it lists.
            std::vector<uint32_t> listed;
            const std::size_t n = static_cast<uint8_t>(bytes[4]);
            for (std::size_t i = 0; i < n; ++i) {
                if (static_cast<uint8_t>(bytes[5 + 9 * i + 4]) == kKindUser) {
                    listed.push_back(U32(bytes, 5 + 9 * i));
                }
            }
            FUZZ_CHECK(std::vector<uint32_t>(m_ids, m_ids + m_count) == listed,
                       "pose list recipients differ from the users it lists");
        }
        return true;
    }

    // After every event: nothing left locked, the list back to none.
    void CheckRestored() const
    {
        FUZZ_CHECK(!m_locked && m_lockDepth == 0, "LockTargets and UnlockTargets do not balance");
        FUZZ_CHECK(m_ids == nullptr && m_count == 0, "target list not restored");
    }

    std::vector<IService*> services;
    std::vector<ITimerHandler*> timers;
    std::vector<IUserNotifyHandler*> notifyHandlers;
    std::vector<IModule*> modules;
    uint32_t currentUser = 0;
    bool grantTargetLock = true;

private:
    static void CheckHp(int16_t hp) { FUZZ_CHECK(hp >= 0 && hp <= kMaxHp, "hit points out of range"); }

    // Every frame is complete: its counted lists hold what their count
    // byte says (a list over 255 entries could not), its hit points are in
    // range.
    static void CheckFrame(const std::string& bytes)
    {
        FUZZ_CHECK(bytes.size() >= 4, "frame shorter than its header");
        const uint16_t module = U16(bytes, 0);
        const uint16_t msg = U16(bytes, 2);
        if (module == kFirstCityId) {
            FUZZ_CHECK(msg == FirstCity::kMoveToAck && bytes.size() == 8, "unexpected FirstCity frame");
            return;
        }
        FUZZ_CHECK(module == kEasyDemoId, "frame of an unknown module");
        const auto countOf = [&](std::size_t at, std::size_t width) {
            FUZZ_CHECK(bytes.size() > at, "list without its count byte");
            const std::size_t n = static_cast<uint8_t>(bytes[at]);
            FUZZ_CHECK(bytes.size() == at + 1 + n * width, "list length differs from its count");
            return n;
        };
        switch (msg) {
        case EasyDemo::kEnterSceneAck:
            FUZZ_CHECK(bytes.size() == 12, "EnterSceneAck size");
            FUZZ_CHECK(CSceneGrid::IsValidPos(I16(bytes, 8), I16(bytes, 10)), "EnterSceneAck off the grid");
            break;
        case EasyDemo::kPoseList: {
            const std::size_t n = countOf(4, 9);
            for (std::size_t i = 0; i < n; ++i) {
                FUZZ_CHECK(CSceneGrid::IsValidPos(I16(bytes, 5 + 9 * i + 5), I16(bytes, 5 + 9 * i + 7)),
                           "pose off the grid");
            }
            break;
        }
        case EasyDemo::kAttackNotify: {
            const std::size_t n = countOf(13, 8);
            for (std::size_t i = 0; i < n; ++i) {
                CheckHp(I16(bytes, 14 + 8 * i + 6));
            }
            break;
        }
        case EasyDemo::kObjInfoList: {
            const std::size_t n = countOf(4, 15);
            for (std::size_t i = 0; i < n; ++i) {
                CheckHp(I16(bytes, 5 + 15 * i + 7));
            }
            break;
        }
        default:
            FUZZ_CHECK(false, "unexpected EasyDemo message");
        }
    }

    const uint32_t* m_ids = nullptr;
    uint32_t m_count = 0;
    bool m_locked = false;
    int m_lockDepth = 0;
};

CCheckingHost* g_host = nullptr;

// Server-driven objects are looked up only when asked: the fuzz inputs do
// not create or remove them, and the tick's lists show their state anyway.
void CheckWorld(bool withObjects)
{
    g_host->CheckRestored();
    std::vector<ObjPos> poses;
    CSceneGrid::Instance().GetAllPoses(poses);
    for (const ObjPos& p : poses) {
        if (p.kind != kKindUser && !withObjects) {
            continue;
        }
        const CSceneObject* r = FindWorldRecord(ObjID(p.id, p.kind));
        FUZZ_CHECK(r != nullptr, "an object on the grid has no record");
        FUZZ_CHECK(r->x == p.x && r->y == p.y, "record and grid disagree on a position");
        FUZZ_CHECK(r->hp >= 0 && r->hp <= kMaxHp, "hit points out of range");
    }
}

std::vector<uint8_t> Frame(uint16_t module, uint16_t cmd, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> msg{static_cast<uint8_t>(module & 0xFF), static_cast<uint8_t>(module >> 8),
                             static_cast<uint8_t>(cmd & 0xFF), static_cast<uint8_t>(cmd >> 8)};
    msg.insert(msg.end(), body.begin(), body.end());
    return msg;
}

void Deliver(IModule* module, uint32_t user, const std::vector<uint8_t>& msg)
{
    g_host->currentUser = user;
    // Data of exactly the message's length, so that a read past its end is
    // caught by the address sanitizer.
    std::vector<uint8_t> exact(msg);
    module->OnRecv(exact.empty() ? nullptr : exact.data(), static_cast<int32_t>(exact.size()));
    g_host->currentUser = 0;
}

void Login(uint32_t user)
{
    for (IUserNotifyHandler* h : g_host->notifyHandlers) {
        h->OnUserLogin(user);
    }
}

void Logout(uint32_t user)
{
    for (IUserNotifyHandler* h : g_host->notifyHandlers) {
        h->OnUserLogout(user);
    }
}

enum EOp : uint8_t { kOpLogin, kOpLogout, kOpTick, kOpRaw, kOpEasyDemo, kOpFirstCity, kOpCrowd, kOpRefuseLock, kOpCount };

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The module prints a line on every move; the terminal would be the
    // bottleneck.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    static CCheckingHost host;
    g_host = &host;
    FUZZ_CHECK(KVServerStart(&host) == 0, "KVServerStart failed");
    for (IService* s : host.services) {
        s->Init(&host);
    }
    for (IModule* m : host.modules) {
        m->SetSender(&host);
    }
    FUZZ_CHECK(host.modules.size() == 1 && host.modules[0]->GetModuleId() == kEasyDemoId,
               "EasyDemo module not registered");
    // FirstCity is never registered; its frames are checked all the same.
    g_firstCityDrv.SetSender(&host);
    return 0;
}

// An input is a list of events, each an event byte and a user byte, then
// what the event needs: a raw message takes a length byte, that many bytes
// and a byte whose low bit picks FirstCity; a framed message a command byte
// (mod 7), a length byte (mod 17) and the body; a crowd its size byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    CInputReader in(data, size);
    IModule* easyDemo = g_host->modules[0];
    uint32_t crowd = 0;
    g_host->grantTargetLock = true;
    while (!in.Empty()) {
        const auto op = static_cast<EOp>(in.Byte() % kOpCount);
        const uint32_t user = 1 + in.Byte() % kFewUsers;
        switch (op) {
        case kOpLogin:
            Login(user);
            break;
        case kOpLogout:
            Logout(user);
            break;
        case kOpTick:
            for (ITimerHandler* t : g_host->timers) {
                t->OnTimer();
            }
            break;
        case kOpRaw: {
            // Any bytes at all, header included (or not).
            const std::vector<uint8_t> msg = in.Bytes(in.Byte());
            Deliver((in.Byte() & 1) == 0 ? easyDemo : &g_firstCityDrv, user, msg);
            break;
        }
        case kOpEasyDemo:
        case kOpFirstCity: {
            const auto cmd = static_cast<uint16_t>(in.Byte() % 7);
            const std::vector<uint8_t> body = in.Bytes(in.Byte() % 17);
            if (op == kOpEasyDemo) {
                Deliver(easyDemo, user, Frame(kEasyDemoId, cmd, body));
            } else {
                Deliver(&g_firstCityDrv, user, Frame(kFirstCityId, cmd, body));
            }
            break;
        }
        case kOpCrowd: {
            // Enough users to push the per-tick lists past 255 entries.
            const uint32_t more = std::min<uint32_t>(in.Byte(), kMaxCrowd - crowd);
            for (uint32_t i = 0; i < more; ++i, ++crowd) {
                Login(kCrowdBase + crowd);
                Deliver(easyDemo, kCrowdBase + crowd, Frame(kEasyDemoId, EasyDemo::kCmdEnterScene, {}));
            }
            break;
        }
        case kOpRefuseLock:
            g_host->grantTargetLock = !g_host->grantTargetLock;
            break;
        case kOpCount:
            break;
        }
        CheckWorld(false);
    }
    for (uint32_t user = 1; user <= kFewUsers; ++user) {
        Logout(user);
    }
    for (uint32_t i = 0; i < crowd; ++i) {
        Logout(kCrowdBase + i);
    }
    CheckWorld(true);
    std::vector<uint32_t> left;
    CSceneGrid::Instance().GetUserIDs(left);
    FUZZ_CHECK(left.empty(), "users left on the grid after everyone logged out");
    FUZZ_CHECK(CUserManager::Instance().Count() == 0, "user records left after everyone logged out");
    return 0;
}
