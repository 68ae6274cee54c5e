// The host's own messages, under module id 0: what corvane-host and its
// clients agree on. Bodies are encoded as the module's archive encodes them.
#ifndef CORVANE_HOST_HOSTPROTOCOL_H
#define CORVANE_HOST_HOSTPROTOCOL_H

#include <cstdint>

inline constexpr uint16_t kHostModuleId = 0;

// Client to host.
enum EHostCommand : uint16_t { kCmdLogin = 1, kCmdLogout = 2, kCmdPing = 3, kCmdResume = 4 };
// Host to client.
enum EHostMessage : uint16_t { kMsgLoginAck = 1, kMsgPong = 2, kMsgResumeToken = 3, kMsgResumeAck = 4 };

// LoginAck codes.
enum ELoginCode : int32_t {
    kLoginOk = 0,
    kLoginUnauthorized = 1,
    kLoginServerFull = 2,
    kLoginMalformed = 3,
    kLoginAlreadyLoggedIn = 4,
};

// ResumeAck codes.
enum EResumeCode : int32_t {
    kResumeOk = 0,
    kResumeUnknownToken = 1,
    kResumeTokenUsed = 2,
    kResumeExpired = 3,
    kResumeOverflow = 4,
    kResumeFramesTooOld = 5,
    kResumeFramesAhead = 6,
    kResumeMalformed = 7,
    kResumeOff = 8,
};

#endif
