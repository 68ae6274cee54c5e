// How the listening socket claims its port: SO_REUSEADDR on POSIX
// (ListeningPort_posix.cpp), so that a restarted host binds while its last
// run's connections linger in TIME_WAIT; SO_EXCLUSIVEADDRUSE on Windows
// (ListeningPort_win.cpp), where SO_REUSEADDR would let a second process
// bind a port in use and take its connections, and a closed listener's port
// is free again at once anyway. Either way a port in use is a start-up error.
#ifndef CORVANE_HOST_LISTENINGPORT_H
#define CORVANE_HOST_LISTENINGPORT_H

#include <boost/asio/ip/tcp.hpp>

// Call between open and bind.
void ClaimListeningPort(boost::asio::ip::tcp::acceptor& acceptor);

#endif
