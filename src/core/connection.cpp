#include "core/connection.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonvex::core {

namespace {

constexpr int kFirstFreeDescriptor = 3;  // above standard input, output and error

// Moves `fd` to a number of at least 3 if it took one of the standard
// descriptors (closed in this process). Returns 0, or the errno after
// closing `fd`.
int move_above_standard(int& fd) {
    if (fd >= kFirstFreeDescriptor) return 0;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    const int error = moved < 0 ? errno : 0;
    ::close(fd);
    if (moved < 0) return error;
    fd = moved;
    return 0;
}

// After a signal interrupted connect(): the attempt goes on in the kernel.
// Unless the caller abandons it, waits until it finished and returns its
// outcome (0 or the errno), as a connect that was not interrupted would.
int finish_interrupted_connect(int s, OnInterrupt on_interrupt) {
    for (;;) {
        if (on_interrupt && !on_interrupt()) return kConnectAbandoned;
        pollfd entry{s, POLLOUT, 0};
        if (::poll(&entry, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return errno;
        return error;
    }
}

}  // namespace

int connect_tcp(const IpAddress& address, std::uint16_t port, int& fd, OnInterrupt on_interrupt) {
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
    if (int error = move_above_standard(s)) return error;
    if (::connect(s, reinterpret_cast<sockaddr*>(&storage), length) < 0) {
        int error = errno == EINTR ? finish_interrupted_connect(s, on_interrupt) : errno;
        if (error != 0) {
            ::close(s);
            return error;
        }
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
    int c = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    if (c < 0) return errno;
    copy = c;
    return 0;
}

int send_all(int fd, std::string_view data, OnInterrupt on_interrupt, std::size_t* sent) {
    const char* p = data.data();
    std::size_t left = data.size();
    const auto outcome = [&](int result) {
        if (sent) *sent = data.size() - left;
        return result;
    };
    while (left > 0) {
        ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EINTR) return outcome(errno);
            if (on_interrupt && !on_interrupt()) return outcome(kAbandoned);
            continue;
        }
        if (n == 0) return outcome(kWriteZero);
        p += n;
        left -= static_cast<std::size_t>(n);
        if (left > 0 && on_interrupt && !on_interrupt()) return outcome(kAbandoned);
    }
    return outcome(0);
}

void close_connection(int fd, bool end_stream) {
    if (end_stream) ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void break_connection(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

}  // namespace sonvex::core
