#include "net/GatheredSend.h"

#include <winsock2.h>

#include <algorithm>
#include <array>
#include <limits>
#include <system_error>

CSendResult SendGathered(boost::asio::ip::tcp::socket& socket, std::span<const CSendBuffer> buffers)
{
    // A WSABUF holds at most 4 GiB less one byte; a longer buffer is offered
    // in part and the rest goes in the next call.
    constexpr std::size_t kMaxLen = std::numeric_limits<ULONG>::max();
    std::array<WSABUF, kMaxSendBuffers> bufs;
    const std::size_t count = std::min(buffers.size(), bufs.size());
    for (std::size_t i = 0; i < count; ++i) {
        bufs[i].buf = const_cast<CHAR*>(static_cast<const CHAR*>(buffers[i].data));
        bufs[i].len = static_cast<ULONG>(std::min(buffers[i].size, kMaxLen));
    }
    DWORD sent = 0;
    if (::WSASend(socket.native_handle(), bufs.data(), static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == 0) {
        return {CSendResult::EStatus::kSent, sent, {}};
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        return {CSendResult::EStatus::kWouldBlock, 0, {}};
    }
    return {CSendResult::EStatus::kFailed, 0, std::system_category().message(error)};
}
