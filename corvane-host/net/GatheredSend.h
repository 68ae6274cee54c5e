// One system call that writes several buffers to a non-blocking socket:
// sendmsg on POSIX (GatheredSend_posix.cpp), WSASend on Windows
// (GatheredSend_win.cpp). The only code of the host that writes to a socket
// past Asio.
#ifndef CORVANE_HOST_GATHEREDSEND_H
#define CORVANE_HOST_GATHEREDSEND_H

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <span>
#include <string>

// One buffer of a gathered write.
struct CSendBuffer {
    const void* data;
    std::size_t size;
};

// The most buffers one call takes.
inline constexpr std::size_t kMaxSendBuffers = 512;

struct CSendResult {
    enum class EStatus { kSent, kWouldBlock, kFailed };
    EStatus status = EStatus::kSent;
    std::size_t bytes = 0; // with kSent: taken by the socket, maybe fewer than offered
    std::string error;     // with kFailed: why, for the log
};

// Writes from the front of `buffers` (at most kMaxSendBuffers) without
// waiting; a peer that has gone away is a failure, never a signal.
CSendResult SendGathered(boost::asio::ip::tcp::socket& socket, std::span<const CSendBuffer> buffers);

#endif
