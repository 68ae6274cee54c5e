// A host that implements every host interface, drives a module the way a host
// does and records each way in which the module breaks the contract of
// KVServerApi.h. Safe to call from several threads: the target list is held
// by one thread at a time, as a host that serialises broadcasts would do.
#ifndef CORVANE_CHECK_RECORDINGHOST_H
#define CORVANE_CHECK_RECORDINGHOST_H

#include <corvane/KVServerApi.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Which rule a violation breaks; each check judges the kinds it is about.
enum class EViolation {
    Exception,      // an exception left an entry point
    Targets,        // LockTargets/SetTargets/UnlockTargets misused
    SendNoSender,   // Send through a sender the module no longer holds
    Start,          // start-up registrations
    Sender,         // SetSender did not return the sender stored before
    Count
};

class CRecordingHost;

class CRecordingSender final : public IMessageSender {
public:
    explicit CRecordingSender(CRecordingHost& host) : m_host(host) {}
    bool Send(const void* data, uint32_t size) override;

    // Whether a module holds this sender now.
    bool installed = false;

private:
    CRecordingHost& m_host;
};

class CRecordingContext final : public IServiceContext {
public:
    explicit CRecordingContext(CRecordingHost& host) : m_host(host) {}

    bool RegisterModule(IModule* module) override;
    void* Reserved_1() override { return nullptr; }
    uint32_t GetCurrentUserId() override;
    bool LockTargets(uint8_t flag) override;
    void GetTargets(const uint32_t** ids, uint32_t* count) override;
    void SetTargets(const uint32_t* ids, uint32_t count) override;
    void UnlockTargets() override;

    // After an entry point returned on this thread: the lock must be free
    // again and the list in force the one from before. Repairs either, so
    // that one fault is reported once.
    void CheckReleased(const std::string& what);
    // Whether a Send from this thread now goes to a target list.
    bool SendsToList();

private:
    CRecordingHost& m_host;
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::thread::id m_holder;
    int m_depth = 0;
    const uint32_t* m_ids = nullptr;
    uint32_t m_count = 0;
};

struct SModuleEntry {
    IModule* module = nullptr;
    CRecordingContext* context = nullptr;
    uint16_t id = 0;
    CRecordingSender* sender = nullptr; // the one it holds; null when off
};

struct SHostStats {
    uint64_t sends = 0;
    uint64_t sendsToList = 0;
    uint64_t locks = 0;
    uint64_t refusedLocks = 0;
};

class CRecordingHost final : public IServerHost, IServiceManager, ITimerManager, IUserNotifier {
public:
    // breadcrumb: a buffer (shared with the parent process) into which the
    // host writes the call in progress, so that a crash can be told apart.
    explicit CRecordingHost(char* breadcrumb = nullptr, std::size_t breadcrumbSize = 0);
    ~CRecordingHost();

    IServiceManager* GetServiceManager() override { return this; }
    void* Reserved_1() override { return nullptr; }
    ITimerManager* GetTimerManager() override { return this; }
    IUserNotifier* GetUserNotifier() override { return this; }
    bool RegisterService(uint32_t serviceId, IService* service) override;
    uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) override;
    bool AddHandler(IUserNotifyHandler* handler) override;

    // KVServerStart, Init on every service, SetSender on every module.
    int32_t Start(PFN_KVServerStart start);

    bool Deliver(std::size_t module, uint32_t userId, const uint8_t* data, int32_t length);
    void FireTimers();
    void Login(uint32_t userId);
    void Logout(uint32_t userId);
    // Gives the module this sender, or none for null; returns what the
    // module's SetSender returned.
    IMessageSender* SetSender(std::size_t module, CRecordingSender* sender);
    CRecordingSender* NewSender();
    uint16_t ModuleId(std::size_t module);

    void SetGrantTargets(bool grant) { m_grantTargets = grant; }
    bool GrantTargets() const { return m_grantTargets; }

    // Writes the call in progress for the crash report.
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Violation(EViolation kind, const std::string& text);

    // Counts and first few texts of the violations of the given kinds.
    std::size_t ViolationCount(std::initializer_list<EViolation> kinds);
    std::string ViolationText(std::initializer_list<EViolation> kinds);
    SHostStats Stats();

    std::vector<std::pair<uint32_t, IService*>> services;
    std::vector<std::pair<ITimerHandler*, uint32_t>> timers;
    std::vector<IUserNotifyHandler*> notifyHandlers;
    std::vector<SModuleEntry> modules;
    std::vector<bool> initResults;

private:
    friend class CRecordingSender;
    friend class CRecordingContext;

    // Runs one call into the module: catches what it lets out and checks the
    // target lists afterwards.
    template <class F>
    void Call(const std::string& what, F&& call);
    void CountSend(bool toList);
    void CountLock(bool granted);

    char* m_breadcrumb;
    std::size_t m_breadcrumbSize;
    bool m_grantTargets = true;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<CRecordingContext>> m_contexts;
    std::vector<std::unique_ptr<CRecordingSender>> m_senders;
    std::vector<std::pair<EViolation, std::string>> m_violations;
    std::size_t m_violationCounts[static_cast<int>(EViolation::Count)] = {};
    SHostStats m_stats;
    uint32_t m_nextTimer = 1;
};

#endif
