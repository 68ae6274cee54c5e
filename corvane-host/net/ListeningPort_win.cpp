#include "net/ListeningPort.h"

#include <winsock2.h>

void ClaimListeningPort(boost::asio::ip::tcp::acceptor& acceptor)
{
    const BOOL on = TRUE;
    ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
}
