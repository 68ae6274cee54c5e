#include "Chaos.h"

#include "archive/Endian.h"

#include <array>
#include <cmath>

using archive_detail::LoadLE;

std::optional<CorvaneClient::CResumeAck> ParseResumeAck(std::string_view body)
{
    if (body.size() < 8) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(body.data());
    return CorvaneClient::CResumeAck{LoadLE<int32_t>(p), LoadLE<uint32_t>(p + 4)};
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
