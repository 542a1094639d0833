#include "core/reader.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "core/line_splitter.hpp"
#include "core/utf8.hpp"

namespace sonvex::core {

namespace {

constexpr std::string_view kReceived = "Received: ";

void append_trimmed(std::string& out, std::string_view valid_utf8) {
    const std::string_view text = trim_white_space(valid_utf8);
    const std::size_t start = out.size();
    out.resize(start + kReceived.size() + text.size() + 1);
    char* p = out.data() + start;
    std::memcpy(p, kReceived.data(), kReceived.size());
    std::memcpy(p + kReceived.size(), text.data(), text.size());
    p[kReceived.size() + text.size()] = '\n';
}

struct ReaderArgs {
    int fd;
    int out_fd;
};

void* reader_main(void* raw) {
    ReaderArgs args = *static_cast<ReaderArgs*>(raw);
    delete static_cast<ReaderArgs*>(raw);
    run_reader(args.fd, args.out_fd);
    return nullptr;
}

void report(const std::string& text) { write_all(kStderr, text); }

// Writes the lines gathered so far; false (after a report) if that failed.
// The batch is emptied for reuse (within kKeptCapacity).
bool emit(std::string& lines, int out_fd) {
    if (lines.empty()) return true;
    int error = write_lines(lines, out_fd);
    clear_for_reuse(lines);
    if (error == 0) return true;
    report("sonvex_rs: reader thread stopped: failed printing to stdout: " +
           describe_os_error(error) + "\n");
    return false;
}

}  // namespace

void append_received_line(std::string& out, std::string_view line) {
    // Well-formed lines, the usual case, are trimmed in place without a copy.
    const std::size_t valid = valid_utf8_prefix(line);
    if (valid == line.size()) {
        append_trimmed(out, line);
    } else {
        append_trimmed(out, repair_utf8(line, valid));
    }
}

void run_reader(int fd, int out_fd) {
    static constexpr std::size_t kReceiveBuffer = 8192;
    char buffer[kReceiveBuffer];
    bool output_ok = true;
    try {
        LineSplitter splitter;
        std::string lines;
        auto on_line = [&lines](std::string_view line) { append_received_line(lines, line); };
        for (;;) {
            ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            splitter.feed(buffer, static_cast<std::size_t>(got), on_line);
            if (!(output_ok = emit(lines, out_fd))) break;
        }
        if (output_ok) {
            splitter.finish(on_line);
            lines += kConnectionClosed;
            emit(lines, out_fd);
        }
    } catch (const std::exception& e) {
        // Out of memory, say for a line that never ends: stop like a failed
        // receive, without taking the process down.
        report(std::string("sonvex_rs: reader thread stopped: ") + e.what() + "\n");
        if (output_ok) write_lines(kConnectionClosed, out_fd);
    }
    ::close(fd);
}

int start_reader(int fd, int out_fd) {
    auto* args = new (std::nothrow) ReaderArgs{fd, out_fd};
    if (!args) {
        ::close(fd);
        return ENOMEM;
    }
    // The thread starts with every signal blocked, so that signals go to the
    // interpreter's threads: a signal meant to interrupt a blocking call of
    // the main thread (a connect, say) must not be taken by a reader.
    sigset_t all, before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    int error = ::pthread_create(&thread, nullptr, reader_main, args);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        delete args;
        ::close(fd);
        return error;
    }
    ::pthread_detach(thread);
    return 0;
}

}  // namespace sonvex::core
