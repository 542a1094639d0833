#include "core/output.hpp"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace sonvex::core {

namespace {
std::mutex& output_lock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

int write_all(int fd, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

int write_lines(std::string_view lines, int fd) {
    std::lock_guard<std::mutex> hold(output_lock());
    return write_all(fd, lines);
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
