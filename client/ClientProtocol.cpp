#include "ClientProtocol.h"

#include "archive/Archive.h"

namespace CorvaneClient {

namespace {

// The archive counts in signed 32-bit lengths; a longer body cannot be a
// message of this protocol.
CInArchive Reader(std::string_view body)
{
    return CInArchive(body.data(), body.size() > 0x7FFFFFFF ? 0 : static_cast<int32_t>(body.size()));
}

vecChar ToVecChar(std::string_view text) { return vecChar(text.begin(), text.end()); }

} // namespace

std::string Frame(uint16_t moduleId, uint16_t cmd, std::string_view body)
{
    std::string pkg;
    COutArchive ar(pkg);
    ar << moduleId << cmd;
    pkg.append(body);
    return pkg;
}

std::string EncodeLogin(std::string_view token)
{
    std::string body;
    COutArchive ar(body);
    ar << ToVecChar(token);
    return body;
}

std::string EncodeMoveTo(Pos pos)
{
    std::string body;
    COutArchive ar(body);
    ar << pos;
    return body;
}

std::string EncodeAttack(uint32_t toId, uint8_t playerType, int32_t attackType)
{
    std::string body;
    COutArchive ar(body);
    ar << toId << playerType << attackType;
    return body;
}

std::string EncodeTalk(std::string_view text)
{
    std::string body;
    COutArchive ar(body);
    ar << ToVecChar(text);
    return body;
}

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
    Reader(body) >> ack.code >> ack.userId;
    return ack;
}

CEnterSceneAck DecodeEnterSceneAck(std::string_view body)
{
    CEnterSceneAck ack;
    CInArchive ar = Reader(body);
    ar >> ack.code >> ack.pos;
    return ack;
}

std::vector<ObjPos> DecodePoseList(std::string_view body)
{
    std::vector<ObjPos> poses;
    CInArchive ar = Reader(body);
    ar >> poses;
    return poses;
}

CAttackNotify DecodeAttackNotify(std::string_view body)
{
    CAttackNotify notify;
    CInArchive ar = Reader(body);
    ar >> notify.attackerId >> notify.attackerKind >> notify.attackType >> notify.results;
    return notify;
}

std::vector<ObjInfo> DecodeObjInfoList(std::string_view body)
{
    std::vector<ObjInfo> infos;
    CInArchive ar = Reader(body);
    ar >> infos;
    return infos;
}

CTalkNotify DecodeTalkNotify(std::string_view body)
{
    CTalkNotify notify;
    vecChar text;
    CInArchive ar = Reader(body);
    ar >> notify.id >> text;
    notify.text.assign(text.begin(), text.end());
    return notify;
}

} // namespace CorvaneClient
