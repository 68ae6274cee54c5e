#include "Chaos.h"

#include "archive/Endian.h"
#include "game/HostProtocol.h"

#include <array>
#include <cmath>

using archive_detail::LoadLE;

std::string ResumeMessage(std::string_view token, uint32_t framesReceived)
{
    std::string out;
    out.reserve(4 + 1 + token.size() + 4);
    auto u16 = [&out](uint16_t v) {
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>(v >> 8));
    };
    u16(kHostModuleId);
    u16(kCmdResume);
    out.push_back(static_cast<char>(token.size()));
    out.append(token);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((framesReceived >> shift) & 0xFF));
    }
    return out;
}

std::optional<CResumeAck> ParseResumeAck(std::string_view body)
{
    if (body.size() < 8) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(body.data());
    return CResumeAck{LoadLE<int32_t>(p), LoadLE<uint32_t>(p + 4)};
}

std::optional<std::string> ParseResumeToken(std::string_view body)
{
    if (body.empty() || static_cast<uint8_t>(body[0]) != kResumeTokenSize || body.size() < 1 + kResumeTokenSize) {
        return std::nullopt;
    }
    return std::string(body.substr(1, kResumeTokenSize));
}

std::string ResumeCodeName(int32_t code)
{
    static constexpr std::array<const char*, 9> kNames{"ok",           "unknown_token", "token_used",
                                                       "expired",      "overflow",      "frames_too_old",
                                                       "frames_ahead", "malformed",     "off"};
    if (code >= 0 && static_cast<std::size_t>(code) < kNames.size()) {
        return kNames[static_cast<std::size_t>(code)];
    }
    return "code " + std::to_string(code);
}

CCutSchedule::CCutSchedule(double rate, Clock::time_point start) : m_rate(rate), m_start(start) {}

uint64_t CCutSchedule::Due(Clock::time_point now)
{
    if (m_rate <= 0 || now <= m_start) {
        return 0;
    }
    const auto total = static_cast<uint64_t>(std::floor(std::chrono::duration<double>(now - m_start).count() * m_rate));
    const uint64_t due = total - std::min(total, m_given);
    m_given += due;
    return due;
}
