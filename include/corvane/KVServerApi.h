// The interfaces that a game server (the host) and the Corvane module library
// share. A host author includes this header alone.
//
// Binary contract: every interface is an abstract class whose virtual slots
// keep the order written here. None has a virtual destructor and none may be
// reordered or extended in the middle; the destructors are protected so that
// nobody deletes an object through an interface it did not create.
#ifndef CORVANE_KVSERVERAPI_H
#define CORVANE_KVSERVERAPI_H

#include <cstdint>

class IService;
class ITimerHandler;
class IUserNotifyHandler;
class IModule;
class IMessageSender;
class IServiceContext;

// ---- Host side: implemented by the host, called by the library ----

class IServiceManager {
public:
    // The host calls IService::Init with a service context afterwards.
    virtual bool RegisterService(uint32_t serviceId, IService* service) = 0;

protected:
    ~IServiceManager() = default;
};

class ITimerManager {
public:
    // Returns a nonzero handle; the host fires OnTimer once per interval.
    virtual uint32_t AddTimer(ITimerHandler* handler, uint32_t interval) = 0;

protected:
    ~ITimerManager() = default;
};

class IUserNotifier {
public:
    virtual bool AddHandler(IUserNotifyHandler* handler) = 0;

protected:
    ~IUserNotifier() = default;
};

class IServerHost {
public:
    virtual IServiceManager* GetServiceManager() = 0;
    virtual void* Reserved_1() = 0; // placeholder slot: the library never calls it
    virtual ITimerManager* GetTimerManager() = 0;
    virtual IUserNotifier* GetUserNotifier() = 0; // may return null

protected:
    ~IServerHost() = default;
};

class IServiceContext {
public:
    // The host then gives the module a sender and hands it every client
    // message addressed to its module id, header included.
    virtual bool RegisterModule(IModule* module) = 0;
    virtual void* Reserved_1() = 0; // placeholder slot: the library never calls it
    // The user whose message is being handled.
    virtual uint32_t GetCurrentUserId() = 0;
    // True when the caller now holds the target list; flag is always 0.
    virtual bool LockTargets(uint8_t flag) = 0;
    // The list in force: an array of user ids and its count.
    virtual void GetTargets(const uint32_t** ids, uint32_t* count) = 0;
    // Replaces the list without copying it: the caller keeps the array alive
    // until it restores the previous list.
    virtual void SetTargets(const uint32_t* ids, uint32_t count) = 0;
    virtual void UnlockTargets() = 0;

protected:
    ~IServiceContext() = default;
};

class IMessageSender {
public:
    // Sends the bytes unchanged as one message: to the users of the target
    // list while one is set, otherwise to the user whose message is handled.
    virtual bool Send(const void* data, uint32_t size) = 0;

protected:
    ~IMessageSender() = default;
};

// ---- Library side: implemented by the library, called by the host ----

class IService {
public:
    virtual bool Init(IServiceContext* context) = 0;
    virtual bool Uninit(void* arg) = 0;

protected:
    ~IService() = default;
};

class ITimerHandler {
public:
    virtual void OnTimer() = 0;

protected:
    ~ITimerHandler() = default;
};

class IUserNotifyHandler {
public:
    virtual void OnUserLogin(uint32_t userId) = 0;
    virtual void OnUserLogout(uint32_t userId) = 0;

protected:
    ~IUserNotifyHandler() = default;
};

class IModule {
public:
    // One complete client message: 4-byte header (module id, command), body.
    virtual bool OnRecv(const uint8_t* data, int32_t length) = 0;
    // Returns the sender stored before; null turns sending off.
    virtual IMessageSender* SetSender(IMessageSender* sender) = 0;
    virtual uint16_t GetModuleId() = 0;

protected:
    ~IModule() = default;
};

// ---- The library's one export ----

#if defined(_WIN32)
#define KV_EXPORT __declspec(dllexport)
#define KV_IMPORT __declspec(dllimport)
#else
#define KV_EXPORT __attribute__((visibility("default")))
#define KV_IMPORT
#endif

#if defined(CORVANE_BUILDING_LIBRARY)
#define KV_API KV_EXPORT
#else
#define KV_API KV_IMPORT
#endif

// Name the host resolves with dlsym/GetProcAddress.
#define KV_SERVER_START_NAME "KVServerStart"

extern "C" {
typedef int32_t (*PFN_KVServerStart)(IServerHost* host);
KV_API int32_t KVServerStart(IServerHost* host);
}

#endif
