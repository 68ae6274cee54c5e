// The FirstCity protocol: decodes the five client commands into callbacks and
// frames the three server messages. No game rules live here.
#ifndef CORVANE_FIRSTCITY_FIRSTCITY_H
#define CORVANE_FIRSTCITY_FIRSTCITY_H

#include "archive/Module.h"

#include <cstdint>
#include <string>
#include <vector>

namespace FirstCity {

inline constexpr uint16_t kModuleId = 501;

// Server message numbers.
enum : uint16_t {
    kFirstResult = 1,
    kPosList = 2,
    kMoveToAck = 3,
};

class CFirstCity : public CModule {
public:
    CFirstCity() { m_moduleId = kModuleId; }

    bool OnRecv(const uint8_t* data, int32_t length) override;

    virtual void OnRecv_PreEnter() = 0;
    virtual void OnRecv_NotifyLeave(const uint32_t& type) = 0;
    virtual void OnRecv_InitPosition(const int16_t& x, const int16_t& y) = 0;
    virtual void OnRecv_MoveTo(const int16_t& x, const int16_t& y) = 0;
    virtual void OnRecv_SaveMyPos(const uint32_t& tokenData) = 0;

    void Send_FirstResult(const uint8_t& value);
    std::string Pack_FirstResult(const uint8_t& value) const;
    void Send_PosList(const std::vector<PlayerPos>& poses);
    std::string Pack_PosList(const std::vector<PlayerPos>& poses) const;
    void Send_MoveToAck(const int16_t& x, const int16_t& y);
    std::string Pack_MoveToAck(const int16_t& x, const int16_t& y) const;

    bool _DoRecv_PreEnter(const uint8_t* data, int32_t length);
    bool _DoRecv_NotifyLeave(const uint8_t* data, int32_t length);
    bool _DoRecv_InitPosition(const uint8_t* data, int32_t length);
    bool _DoRecv_MoveTo(const uint8_t* data, int32_t length);
    bool _DoRecv_SaveMyPos(const uint8_t* data, int32_t length);

protected:
    ~CFirstCity() = default;

private:
    using Handler = bool (CFirstCity::*)(const uint8_t*, int32_t);
    static const Handler s_commands[5];
};

} // namespace FirstCity

#endif
