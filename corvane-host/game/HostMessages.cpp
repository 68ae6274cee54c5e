#include "game/HostMessages.h"

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
