#include "net/GatheredSend.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

CSendResult SendGathered(boost::asio::ip::tcp::socket& socket, std::span<const CSendBuffer> buffers)
{
    std::array<iovec, kMaxSendBuffers> iov;
    const std::size_t count = std::min(buffers.size(), iov.size());
    for (std::size_t i = 0; i < count; ++i) {
        iov[i].iov_base = const_cast<void*>(buffers[i].data);
        iov[i].iov_len = buffers[i].size;
    }
    msghdr msg{};
    msg.msg_iov = iov.data();
    msg.msg_iovlen = count;
    for (;;) {
        const ssize_t n = ::sendmsg(socket.native_handle(), &msg, MSG_NOSIGNAL);
        if (n >= 0) {
            return {CSendResult::EStatus::kSent, static_cast<std::size_t>(n), {}};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {CSendResult::EStatus::kWouldBlock, 0, {}};
        }
        return {CSendResult::EStatus::kFailed, 0, std::strerror(errno)};
    }
}
