// How the host reads a client's message before any module sees it: the
// 4-byte header and the Login body. Free of sockets, so that the sessions,
// the tests and the fuzzers share one reading.
#ifndef CORVANE_HOST_HOSTMESSAGES_H
#define CORVANE_HOST_HOSTMESSAGES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr std::size_t kClientHeaderSize = 4;

struct CClientHeader {
    uint16_t moduleId;
    uint16_t cmd;
};

// The header (two unsigned 16-bit little-endian values); none when the
// message is shorter than it.
std::optional<CClientHeader> ReadClientHeader(const uint8_t* data, std::size_t size);

// The token of a Login body: a count byte, then that many bytes; bytes after
// them are ignored. None when the body is empty or shorter than its count.
std::optional<std::string_view> ParseLoginToken(const uint8_t* body, std::size_t size);

#endif
