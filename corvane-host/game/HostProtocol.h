// The host's own messages, under module id 0: what corvane-host and its
// clients agree on. Bodies are encoded as the module's archive encodes them.
#ifndef CORVANE_HOST_HOSTPROTOCOL_H
#define CORVANE_HOST_HOSTPROTOCOL_H

#include <cstdint>

inline constexpr uint16_t kHostModuleId = 0;

// Client to host.
enum EHostCommand : uint16_t { kCmdLogin = 1, kCmdLogout = 2, kCmdPing = 3 };
// Host to client.
enum EHostMessage : uint16_t { kMsgLoginAck = 1, kMsgPong = 2 };

// LoginAck codes.
enum ELoginCode : int32_t {
    kLoginOk = 0,
    kLoginUnauthorized = 1,
    kLoginServerFull = 2,
    kLoginMalformed = 3,
    kLoginAlreadyLoggedIn = 4,
    // The world is draining: it takes no new players; the connection closes
    // with 1001 "draining".
    kLoginDraining = 5,
};

#endif
