#include "game/HostMessages.h"

#include "game/HostProtocol.h"

std::optional<CClientHeader> ReadClientHeader(const uint8_t* data, std::size_t size)
{
    if (size < kClientHeaderSize) {
        return std::nullopt;
    }
    return CClientHeader{static_cast<uint16_t>(data[0] | (data[1] << 8)),
                         static_cast<uint16_t>(data[2] | (data[3] << 8))};
}

std::optional<std::string_view> ParseLoginToken(const uint8_t* body, std::size_t size)
{
    if (size < 1 || size - 1 < body[0]) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char*>(body + 1), body[0]);
}

std::optional<CResumeRequest> ParseResume(const uint8_t* body, std::size_t size)
{
    if (size != 1 + kResumeTokenSize + 4 || body[0] != kResumeTokenSize) {
        return std::nullopt;
    }
    const uint8_t* frames = body + 1 + kResumeTokenSize;
    return CResumeRequest{std::string_view(reinterpret_cast<const char*>(body + 1), kResumeTokenSize),
                          static_cast<uint32_t>(frames[0]) | static_cast<uint32_t>(frames[1]) << 8 |
                              static_cast<uint32_t>(frames[2]) << 16 | static_cast<uint32_t>(frames[3]) << 24};
}
