// A host for tests: implements every host interface, records each call the
// library makes and each message it sends, with its recipients. A message
// goes to the target list in force: inside a lock the one set there, outside
// one any list left in place but the null one (no array, count 0); without a
// list, to the current user. Safe to call
// from several threads; the current user is per thread, as a host that
// handles each user's message on its own thread would have it.
#ifndef CORVANE_TESTS_FAKEHOST_H
#define CORVANE_TESTS_FAKEHOST_H

#include <corvane/KVServerApi.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct SSent {
    std::string bytes;
    std::vector<uint32_t> recipients;
};

class CFakeHost final : public IServerHost,
                        public IServiceManager,
                        public ITimerManager,
                        public IUserNotifier,
                        public IServiceContext,
                        public IMessageSender {
public:
    // What the host offers; null members make the host lack that manager.
    bool offerServices = true;
    bool offerTimers = true;
    bool offerNotifier = true;
    bool grantTargetLock = true;

    // IServerHost
    IServiceManager* GetServiceManager() override;
    void* Reserved_1() override;
    ITimerManager* GetTimerManager() override;
    IUserNotifier* GetUserNotifier() override;
    // IServiceManager
    bool RegisterService(uint32_t serviceId, IService* service) override;
    // ITimerManager
    uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) override;
    // IUserNotifier
    bool AddHandler(IUserNotifyHandler* handler) override;
    // IServiceContext
    bool RegisterModule(IModule* module) override;
    uint32_t GetCurrentUserId() override;
    bool LockTargets(uint8_t flag) override;
    void GetTargets(const uint32_t** ids, uint32_t* count) override;
    void SetTargets(const uint32_t* ids, uint32_t count) override;
    void UnlockTargets() override;
    // IMessageSender
    bool Send(const void* data, uint32_t size) override;

    // Starts the library the way a host does: KVServerStart, then Init on
    // every registered service, then SetSender on every registered module.
    int32_t Start(int32_t (*start)(IServerHost*));

    // The current user of the calling thread.
    static void SetCurrentUser(uint32_t userId);

    // Delivers a client message to the first registered module, as userId.
    bool Deliver(uint32_t userId, const std::vector<uint8_t>& msg);
    void FireTimers();
    void Login(uint32_t userId);
    void Logout(uint32_t userId);

    // Snapshots, taken under the host's own lock.
    std::vector<std::string> Calls();
    std::vector<SSent> Sent();
    std::vector<SSent> TakeSent();
    // The target list in force, as the library last left it.
    std::vector<uint32_t> Targets();
    bool TargetsLocked();

    std::vector<std::pair<uint32_t, IService*>> services;
    std::vector<std::pair<ITimerHandler*, uint32_t>> timers;
    std::vector<uint32_t> timerHandles; // what each AddTimer returned
    std::vector<IUserNotifyHandler*> notifyHandlers;
    std::vector<IModule*> modules;

private:
    void Record(std::string call);

    std::recursive_mutex m_mutex;
    // Held from LockTargets to UnlockTargets, so broadcasts never interleave.
    std::mutex m_targetMutex;
    std::vector<std::string> m_calls;
    std::vector<SSent> m_sent;
    const uint32_t* m_targetIds = nullptr;
    uint32_t m_targetCount = 0;
    bool m_targetsLocked = false;
    bool m_listSet = false;
    uint32_t m_nextTimer = 1;
};

// Little-endian byte strings for building client messages in tests.
std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::vector<uint8_t> Message(uint16_t moduleId, uint16_t cmd, const std::vector<uint8_t>& body = {});
std::string Hex(const std::string& bytes);

#endif
