#include "core/output.hpp"

#include <poll.h>
#include <pthread.h>
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
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
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
        data += written;
        left -= static_cast<std::size_t>(written);
        // A blocking write that a signal cut short returns what it wrote.
        if (left > 0 && on_interrupt && !on_interrupt()) return kAbandoned;
    }
    return 0;
}

int write_lines(std::string_view lines, int fd, OnInterrupt on_interrupt) {
    OutputLock hold;
    return write_all(fd, lines, on_interrupt);
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
