// How the host reads a client's message before any module sees it: the
// 4-byte header and the Login and Resume bodies. Free of sockets, so that the sessions,
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

struct CResumeRequest {
    std::string_view token;
    uint32_t framesReceived;
};

// A Resume body: a count byte of exactly kResumeTokenSize, the token, then
// framesReceived (unsigned 32-bit little-endian) and nothing after it. None
// for any other body.
std::optional<CResumeRequest> ParseResume(const uint8_t* body, std::size_t size);

#endif
