#include "standins/common/byte_relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaron::standin {

void relayBytes(int a, int b, const std::atomic<bool>& stop) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    bool open[2] = {true, true};
    char buffer[16384];
    while ((open[0] || open[1]) && !stop) {
        fds[0].events = open[0] ? POLLIN : 0;
        fds[1].events = open[1] ? POLLIN : 0;
        if (::poll(fds, 2, 250) < 0 && errno != EINTR) break;
        for (int side = 0; side < 2; ++side) {
            if (!open[side] || !(fds[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t count = ::read(fds[side].fd, buffer, sizeof buffer);
            if (count <= 0) {
                open[side] = false;
                ::shutdown(fds[1 - side].fd, SHUT_WR);
                continue;
            }
            for (ssize_t written = 0; written < count;) {
                const ssize_t n =
                    ::send(fds[1 - side].fd, buffer + written, static_cast<std::size_t>(count - written), MSG_NOSIGNAL);
                if (n <= 0) {
                    open[0] = open[1] = false;
                    break;
                }
                written += n;
            }
        }
    }
    ::close(a);
    ::close(b);
}

int connectTcp(const std::string& host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
        const int code = errno;
        ::close(fd);
        errno = code;
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace tessaron::standin
