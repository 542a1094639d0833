#include "core/connection.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonvex::core {

int connect_tcp(const IpAddress& address, std::uint16_t port, int& fd) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.family == IpAddress::Family::V4) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
        length = sizeof(sockaddr_in);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_flowinfo = 0;
        v6->sin6_scope_id = 0;
        std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
        length = sizeof(sockaddr_in6);
    }
    int s = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    if (::connect(s, reinterpret_cast<sockaddr*>(&storage), length) < 0) {
        int error = errno;
        ::close(s);
        return error;
    }
    timeval forever{};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &forever, sizeof forever);
    // Each command is a request the server answers; without this a second
    // command would wait for the acknowledgement of the first.
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fd = s;
    return 0;
}

int duplicate_descriptor(int fd, int& copy) {
    int c = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (c < 0) return errno;
    copy = c;
    return 0;
}

int send_all(int fd, std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t sent = ::send(fd, p, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (sent == 0) return kWriteZero;
        p += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return 0;
}

void close_connection(int fd) {
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

}  // namespace sonvex::core
