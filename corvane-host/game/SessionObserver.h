// Sees every call the host makes into the module and every send the module
// makes, in the order they happen, on the event loop thread. The journal
// writer records them; corvane-replay checks a replayed session with them.
#ifndef CORVANE_HOST_SESSIONOBSERVER_H
#define CORVANE_HOST_SESSIONOBSERVER_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class ISessionObserver {
public:
    virtual void OnStart() = 0;
    virtual void OnLogin(uint32_t userId) = 0;
    virtual void OnLogout(uint32_t userId) = 0;
    // The user left while the module was running; OnLogout follows once it
    // has returned.
    virtual void OnDrop(uint32_t userId) = 0;
    // The user's connection was cut and a new one took the user over; the
    // module is not told.
    virtual void OnResume(uint32_t userId) = 0;
    virtual void OnMessage(uint32_t userId, const uint8_t* data, std::size_t size) = 0;
    virtual void OnTimer(uint32_t handle) = 0;
    // `recipients`: the users online that the send reaches, in order.
    virtual void OnSend(const std::vector<uint32_t>& recipients, std::string_view bytes) = 0;
    virtual void OnStop() = 0;

protected:
    ~ISessionObserver() = default;
};

#endif
