// The messages a game client exchanges with corvane-host: the host's own
// (module id 0) and the EasyDemo module's (module id 99), encoded and
// decoded with the library's archive.
#ifndef CORVANE_CLIENT_CLIENTPROTOCOL_H
#define CORVANE_CLIENT_CLIENTPROTOCOL_H

#include "archive/Records.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CorvaneClient {

// One server message: the 4-byte frame split into its two numbers, and the
// body behind it.
struct CServerMessage {
    uint16_t moduleId = 0;
    uint16_t cmd = 0;
    std::string body;
};

// ---- host messages (module id 0) ----

inline constexpr uint16_t kHostModuleId = 0;

enum EHostCommand : uint16_t { kCmdLogin = 1, kCmdLogout = 2, kCmdPing = 3 };
enum EHostMessage : uint16_t { kMsgLoginAck = 1, kMsgPong = 2 };

enum ELoginCode : int32_t {
    kLoginOk = 0,
    kLoginUnauthorized = 1,
    kLoginServerFull = 2,
    kLoginMalformed = 3,
    kLoginAlreadyLoggedIn = 4,
};

struct CLoginAck {
    int32_t code = 0;
    uint32_t userId = 0;
};

// ---- EasyDemo (module id 99) ----

inline constexpr uint16_t kEasyDemoModuleId = 99;

enum EEasyDemoCommand : uint16_t { kCmdEnterScene = 1, kCmdMoveTo = 2, kCmdAttack = 3, kCmdTalk = 4 };
enum EEasyDemoMessage : uint16_t {
    kMsgEnterSceneAck = 1,
    kMsgPoseList = 2,
    kMsgAttackNotify = 3,
    kMsgObjInfoList = 4,
    kMsgTalkNotify = 5,
};

// attackType 1 hits everything around the attacker; any other value the
// one target.
inline constexpr int32_t kAreaAttack = 1;

struct CEnterSceneAck {
    int32_t code = 0;
    Pos pos;
};

struct CAttackNotify {
    uint32_t attackerId = 0;
    uint8_t attackerKind = 0;
    int32_t attackType = 0;
    std::vector<AttackResult> results;
};

struct CTalkNotify {
    int32_t id = 0;
    std::string text;
};

// A whole client message: the 4-byte header (module id, command), then body.
std::string Frame(uint16_t moduleId, uint16_t cmd, std::string_view body = {});

// Bodies of client messages. Throw the archive's exception on a token or
// text longer than 255 bytes.
std::string EncodeLogin(std::string_view token);
std::string EncodeMoveTo(Pos pos);
std::string EncodeAttack(uint32_t toId, uint8_t playerType, int32_t attackType);
std::string EncodeTalk(std::string_view text);

// Splits a received message; false when it is shorter than its frame.
bool ParseServerMessage(std::string_view bytes, CServerMessage& message);

// Bodies of server messages. Throw the archive's exception when the body is
// too short for its fields.
CLoginAck DecodeLoginAck(std::string_view body);
CEnterSceneAck DecodeEnterSceneAck(std::string_view body);
std::vector<ObjPos> DecodePoseList(std::string_view body);
CAttackNotify DecodeAttackNotify(std::string_view body);
std::vector<ObjInfo> DecodeObjInfoList(std::string_view body);
CTalkNotify DecodeTalkNotify(std::string_view body);

} // namespace CorvaneClient

#endif
