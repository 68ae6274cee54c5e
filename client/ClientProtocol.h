// The messages a game client exchanges with corvane-host: the host's own
// (module id 0) and the EasyDemo module's (module id 99), encoded and
// decoded with the library's archive.
#ifndef CORVANE_CLIENT_CLIENTPROTOCOL_H
#define CORVANE_CLIENT_CLIENTPROTOCOL_H

#include "archive/Records.h"
#include "easydemo/EasyDemo.h"
#include "game/HostProtocol.h"

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

// ---- host messages (module id 0; numbers in HostProtocol.h) ----

struct CLoginAck {
    int32_t code = 0;
    uint32_t userId = 0;
};

struct CResumeAck {
    int32_t code = 0; // EResumeCode
    uint32_t userId = 0;
};

// ---- EasyDemo (module id 99; numbers in easydemo/EasyDemo.h) ----

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
std::string EncodeResume(std::string_view token, uint32_t framesReceived);
std::string EncodeMoveTo(Pos pos);
std::string EncodeAttack(uint32_t toId, uint8_t playerType, int32_t attackType);
std::string EncodeTalk(std::string_view text);

// Splits a received message; false when it is shorter than its frame.
bool ParseServerMessage(std::string_view bytes, CServerMessage& message);

// Bodies of server messages. Throw the archive's exception when the body is
// too short for its fields.
CLoginAck DecodeLoginAck(std::string_view body);
CResumeAck DecodeResumeAck(std::string_view body);
std::string DecodeResumeToken(std::string_view body);
CEnterSceneAck DecodeEnterSceneAck(std::string_view body);
std::vector<ObjPos> DecodePoseList(std::string_view body);
CAttackNotify DecodeAttackNotify(std::string_view body);
std::vector<ObjInfo> DecodeObjInfoList(std::string_view body);
CTalkNotify DecodeTalkNotify(std::string_view body);

} // namespace CorvaneClient

#endif
