// The host's own messages, under module id 0: what corvane-host and its
// clients agree on. Bodies are encoded as the module's archive encodes them.
#ifndef CORVANE_HOST_HOSTPROTOCOL_H
#define CORVANE_HOST_HOSTPROTOCOL_H

#include <cstddef>
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
    // The world is draining: it takes no new players; the connection closes
    // with 1001 "draining".
    kLoginDraining = 5,
};

// The length of a resume token, in the ResumeToken and Resume bodies.
inline constexpr std::size_t kResumeTokenSize = 16;

// ResumeAck codes. After any but kResumeOk the host closes the connection.
enum EResumeCode : int32_t {
    kResumeOk = 0,
    kResumeUnknownToken = 1,  // never issued by this host, or forgotten since
    kResumeTokenUsed = 2,     // already used for a resume
    kResumeExpired = 3,       // the user is gone: the window ended or it logged out
    kResumeOverflow = 4,      // while away, the kept frames passed the send-queue bound
    kResumeFramesTooOld = 5,  // framesReceived is older than the oldest frame kept
    kResumeFramesAhead = 6,   // framesReceived is more than the user was sent
    kResumeMalformed = 7,     // body truncated, token not 16 bytes, trailing bytes
    kResumeOff = 8,           // the host runs with --resume-window 0
};

#endif
