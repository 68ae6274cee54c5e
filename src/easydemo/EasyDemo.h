// The EasyDemo protocol: decodes the four client commands into callbacks and
// frames the five server messages. No game rules live here.
#ifndef CORVANE_EASYDEMO_EASYDEMO_H
#define CORVANE_EASYDEMO_EASYDEMO_H

#include "archive/Module.h"

#include <cstdint>
#include <string>
#include <vector>

namespace EasyDemo {

inline constexpr uint16_t kModuleId = 99;

// Client command numbers, the order of the command table.
enum : uint16_t {
    kCmdEnterScene = 1,
    kCmdMoveTo = 2,
    kCmdAttack = 3,
    kCmdTalk = 4,
};

// Server message numbers.
enum : uint16_t {
    kEnterSceneAck = 1,
    kPoseList = 2,
    kAttackNotify = 3,
    kObjInfoList = 4,
    kTalkNotify = 5,
};

// attackType asking for an area attack; any other value is single-target.
inline constexpr int32_t kAreaAttack = 1;

class CEasyDemo : public CModule {
public:
    CEasyDemo() { m_moduleId = kModuleId; }

    bool OnRecv(const uint8_t* data, int32_t length) override;

    virtual void OnRecv_EnterScene() = 0;
    virtual void OnRecv_MoveTo(const Pos& pos) = 0;
    virtual void OnRecv_Attack(const uint32_t& toID, const uint8_t& playerType, const int32_t& attackType) = 0;
    virtual void OnRecv_Talk(const vecChar& msg) = 0;

    void Send_EnterSceneAck(const int32_t& code, const Pos& pos);
    std::string Pack_EnterSceneAck(const int32_t& code, const Pos& pos) const;
    void Send_PoseList(const std::vector<ObjPos>& poses);
    std::string Pack_PoseList(const std::vector<ObjPos>& poses) const;
    void Send_AttackNotify(const uint32_t& id, const uint8_t& kind, const int32_t& attackType,
                           const std::vector<AttackResult>& result);
    std::string Pack_AttackNotify(const uint32_t& id, const uint8_t& kind, const int32_t& attackType,
                                  const std::vector<AttackResult>& result) const;
    void Send_ObjInfoList(const std::vector<ObjInfo>& infos);
    std::string Pack_ObjInfoList(const std::vector<ObjInfo>& infos) const;
    void Send_TalkNotify(const int32_t& id, const vecChar& msg);
    std::string Pack_TalkNotify(const int32_t& id, const vecChar& msg) const;

    bool _DoRecv_EnterScene(const uint8_t* data, int32_t length);
    bool _DoRecv_MoveTo(const uint8_t* data, int32_t length);
    bool _DoRecv_Attack(const uint8_t* data, int32_t length);
    bool _DoRecv_Talk(const uint8_t* data, int32_t length);

protected:
    ~CEasyDemo() = default;

private:
    using Handler = bool (CEasyDemo::*)(const uint8_t*, int32_t);
    static const Handler s_commands[4];
};

} // namespace EasyDemo

#endif
