#include "core/output.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sonvex::core {

namespace {

// The process-wide output lock. A plain POSIX mutex, so that the child of a
// fork can make it anew: a reader thread that held it when the process
// forked does not exist in the child, and would never release it there.
pthread_mutex_t g_output_lock = PTHREAD_MUTEX_INITIALIZER;

void renew_output_lock_in_child() { ::pthread_mutex_init(&g_output_lock, nullptr); }

// Registered once, when the module is loaded.
[[maybe_unused]] const int g_fork_handler =
    ::pthread_atfork(nullptr, nullptr, renew_output_lock_in_child);

class OutputLock {
public:
    OutputLock() { ::pthread_mutex_lock(&g_output_lock); }
    ~OutputLock() { ::pthread_mutex_unlock(&g_output_lock); }
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
};

// Waits until `fd` takes more bytes: for a descriptor in non-blocking mode
// (a pipe a parent left so) whose reader is behind. Returns 0 to write again,
// kAbandoned, or the errno of a failed wait.
int wait_writable(int fd, OnInterrupt on_interrupt) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        if (::poll(&entry, 1, -1) >= 0) return entry.revents & POLLNVAL ? EBADF : 0;
        if (errno != EINTR) return errno;
        if (on_interrupt && !on_interrupt()) return kAbandoned;
    }
}

}  // namespace

int write_all(int fd, std::string_view text, OnInterrupt on_interrupt) {
    return write_all(fd, std::span<const std::string_view>(&text, 1), on_interrupt);
}

int write_all(int fd, std::span<const std::string_view> pieces, OnInterrupt on_interrupt) {
    if (pieces.size() > kMaxPieces) return EINVAL;
    iovec vector[kMaxPieces];
    std::size_t count = 0;
    for (std::string_view piece : pieces)
        if (!piece.empty()) vector[count++] = {const_cast<char*>(piece.data()), piece.size()};
    iovec* next = vector;
    while (count > 0) {
        ssize_t written = count == 1 ? ::write(fd, next->iov_base, next->iov_len)
                                     : ::writev(fd, next, static_cast<int>(count));
        if (written < 0) {
            if (errno == EINTR) {
                if (on_interrupt && !on_interrupt()) return kAbandoned;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (int error = wait_writable(fd, on_interrupt)) return error;
                continue;
            }
            return errno;
        }
        if (written == 0) return EIO;
        for (auto n = static_cast<std::size_t>(written); n > 0;) {
            if (n < next->iov_len) {
                next->iov_base = static_cast<char*>(next->iov_base) + n;
                next->iov_len -= n;
                break;
            }
            n -= next->iov_len;
            ++next;
            --count;
        }
        // A blocking write that a signal cut short returns what it wrote.
        if (count > 0 && on_interrupt && !on_interrupt()) return kAbandoned;
    }
    return 0;
}

int write_lines(std::string_view lines, int fd, OnInterrupt on_interrupt) {
    OutputLock hold;
    return write_all(fd, lines, on_interrupt);
}

int write_lines(std::span<const std::string_view> pieces, int fd) {
    OutputLock hold;
    return write_all(fd, pieces);
}

std::string describe_os_error(int code) {
    char buffer[256];
    // The GNU strerror_r returns the text, possibly not in `buffer`.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    std::string out = text ? text : "Unknown error";
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

}  // namespace sonvex::core
