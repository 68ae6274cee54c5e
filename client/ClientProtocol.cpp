#include "ClientProtocol.h"

#include "archive/Archive.h"

namespace CorvaneClient {

namespace {

template <class... T>
std::string Encode(const T&... fields)
{
    std::string body;
    COutArchive ar(body);
    ((ar << fields), ...);
    return body;
}

// The archive counts in signed 32-bit lengths; a longer body cannot be a
// message of this protocol.
template <class... T>
void Decode(std::string_view body, T&... fields)
{
    CInArchive ar(body.data(), body.size() > 0x7FFFFFFF ? 0 : static_cast<int32_t>(body.size()));
    ((ar >> fields), ...);
}

vecChar ToVecChar(std::string_view text) { return vecChar(text.begin(), text.end()); }

} // namespace

std::string Frame(uint16_t moduleId, uint16_t cmd, std::string_view body)
{
    std::string pkg = Encode(moduleId, cmd);
    pkg.append(body);
    return pkg;
}

std::string EncodeLogin(std::string_view token) { return Encode(ToVecChar(token)); }

std::string EncodeResume(std::string_view token, uint32_t framesReceived)
{
    return Encode(ToVecChar(token), framesReceived);
}

std::string EncodeMoveTo(Pos pos) { return Encode(pos); }

std::string EncodeAttack(uint32_t toId, uint8_t playerType, int32_t attackType)
{
    return Encode(toId, playerType, attackType);
}

std::string EncodeTalk(std::string_view text) { return Encode(ToVecChar(text)); }

bool ParseServerMessage(std::string_view bytes, CServerMessage& message)
{
    if (bytes.size() < 4) {
        return false;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    message.moduleId = static_cast<uint16_t>(p[0] | (p[1] << 8));
    message.cmd = static_cast<uint16_t>(p[2] | (p[3] << 8));
    message.body.assign(bytes.substr(4));
    return true;
}

CLoginAck DecodeLoginAck(std::string_view body)
{
    CLoginAck ack;
    Decode(body, ack.code, ack.userId);
    return ack;
}

CResumeAck DecodeResumeAck(std::string_view body)
{
    CResumeAck ack;
    Decode(body, ack.code, ack.userId);
    return ack;
}

std::string DecodeResumeToken(std::string_view body)
{
    vecChar token;
    Decode(body, token);
    return std::string(token.begin(), token.end());
}

CEnterSceneAck DecodeEnterSceneAck(std::string_view body)
{
    CEnterSceneAck ack;
    Decode(body, ack.code, ack.pos);
    return ack;
}

std::vector<ObjPos> DecodePoseList(std::string_view body)
{
    std::vector<ObjPos> poses;
    Decode(body, poses);
    return poses;
}

CAttackNotify DecodeAttackNotify(std::string_view body)
{
    CAttackNotify notify;
    Decode(body, notify.attackerId, notify.attackerKind, notify.attackType, notify.results);
    return notify;
}

std::vector<ObjInfo> DecodeObjInfoList(std::string_view body)
{
    std::vector<ObjInfo> infos;
    Decode(body, infos);
    return infos;
}

CTalkNotify DecodeTalkNotify(std::string_view body)
{
    CTalkNotify notify;
    vecChar text;
    Decode(body, notify.id, text);
    notify.text.assign(text.begin(), text.end());
    return notify;
}

} // namespace CorvaneClient
