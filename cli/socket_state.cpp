#include "cli/socket_state.h"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <linux/sockios.h>
#elif defined(__APPLE__)
#include <netinet/tcp_fsm.h>
#endif

namespace tessaron::cli {

std::size_t acknowledgedBytes(int socket, std::size_t written) {
    int queued = 0;
#if defined(__linux__)
    if (::ioctl(socket, SIOCOUTQ, &queued) != 0) queued = 0;
#elif defined(SO_NWRITE)
    socklen_t length = sizeof queued;
    if (::getsockopt(socket, SOL_SOCKET, SO_NWRITE, &queued, &length) != 0) queued = 0;
#else
    (void)socket;
#endif
    return written - std::min(written, static_cast<std::size_t>(std::max(queued, 0)));
}

bool nothingToRead(int socket) {
    char byte = 0;
    const ssize_t n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::optional<boost::system::error_code> connectionEnded(int socket) {
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        return boost::system::error_code(errno, boost::system::system_category());
    }
    if (pending != 0) return boost::system::error_code(pending, boost::system::system_category());
    // Nothing pending: the connection has ended when it has left the established state (the
    // peer's end of data has come; this side has not closed it while it asks).
#if defined(__linux__)
    tcp_info info{};
    length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state != TCP_ESTABLISHED) {
        return boost::system::error_code(boost::asio::error::eof);
    }
#elif defined(TCP_CONNECTION_INFO)
    tcp_connection_info info{};
    length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_CONNECTION_INFO, &info, &length) == 0 &&
        info.tcpi_state != TCPS_ESTABLISHED) {
        return boost::system::error_code(boost::asio::error::eof);
    }
#endif
    return std::nullopt;
}

}  // namespace tessaron::cli
