#include "core/reader.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <cstring>
#include <exception>
#include <new>

#include "core/line_splitter.hpp"
#include "core/utf8.hpp"

namespace sonvex::core {

namespace {

// The most bytes of lines written at once: what a pipe writes whole
// (PIPE_BUF), so that a process that exits while a reader prints never
// tears a line shorter than this.
constexpr std::size_t kBatch = 4096;

// The readers that run, counted so that a connect short of descriptors or
// threads can wait for readers that are ending. A plain mutex and condition,
// made anew in a forked child, where no reader runs.
pthread_mutex_t g_readers_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_reader_ended = PTHREAD_COND_INITIALIZER;
std::size_t g_running_readers = 0;

void forget_readers_in_child() {
    ::pthread_mutex_init(&g_readers_lock, nullptr);
    ::pthread_cond_init(&g_reader_ended, nullptr);
    g_running_readers = 0;
}

[[maybe_unused]] const int g_readers_fork_handler =
    ::pthread_atfork(nullptr, nullptr, forget_readers_in_child);

void count_reader(bool starts) {
    ::pthread_mutex_lock(&g_readers_lock);
    if (starts) {
        ++g_running_readers;
    } else {
        --g_running_readers;
        ::pthread_cond_broadcast(&g_reader_ended);
    }
    ::pthread_mutex_unlock(&g_readers_lock);
}

// The two descriptors travel in the thread's argument itself: a reader that
// waits allocates nothing, and so takes no memory arena of its own.
void* pack_descriptors(int fd, int out_fd) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(fd)) |
                                   static_cast<std::uintptr_t>(static_cast<std::uint32_t>(out_fd))
                                       << 32);
}

void* reader_main(void* packed) {
    const auto bits = reinterpret_cast<std::uintptr_t>(packed);
    run_reader(static_cast<int>(static_cast<std::uint32_t>(bits)),
               static_cast<int>(static_cast<std::uint32_t>(bits >> 32)));
    count_reader(false);
    return nullptr;
}

void report(const std::string& text) { write_all(kStderr, text); }

// Hands `print` the text of a received line (its bytes without the line
// feed) as it is printed after "Received: ": ill-formed UTF-8 replaced and
// Unicode white space trimmed from both ends. Well-formed lines, the usual
// case, are trimmed in place without a copy.
template <class Print>
void with_received_text(std::string_view raw, Print&& print) {
    const std::size_t valid = valid_utf8_prefix(raw);
    if (valid == raw.size()) {
        print(trim_white_space(raw));
        return;
    }
    const std::string repaired = repair_utf8(raw, valid);
    print(trim_white_space(repaired));
}

// The reader's output. Whole lines are gathered in a batch of at most kBatch
// bytes, written when the next line does not fit and after each receive; a
// line too long for a batch goes out on its own, from where it was received,
// with its prefix and line feed in one write. After a failed write nothing
// more is printed.
class Printer {
public:
    explicit Printer(int out_fd) : out_fd_(out_fd) {}
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    bool ok() const { return ok_; }

    // One received line, without its line feed.
    void line(std::string_view raw) {
        with_received_text(raw, [this](std::string_view text) { print(text); });
    }

    void connection_closed() {
        if (!ok_) return;
        if (kConnectionClosed.size() > kBatch - used_) flush();
        put(kConnectionClosed);
        flush();
    }

    void flush() {
        if (used_ == 0 || !ok_) return;
        check(write_lines(std::string_view(batch_, used_), out_fd_));
        used_ = 0;
    }

private:
    void print(std::string_view text) {
        if (!ok_) return;
        const std::size_t size = kReceived.size() + text.size() + 1;
        if (size > kBatch - used_) flush();
        if (size <= kBatch) {
            put(kReceived);
            put(text);
            put("\n");
            return;
        }
        const std::string_view pieces[] = {kReceived, text, "\n"};
        check(write_lines(pieces, out_fd_));
    }

    void put(std::string_view text) {
        std::memcpy(batch_ + used_, text.data(), text.size());
        used_ += text.size();
    }

    void check(int error) {
        if (error == 0 || !ok_) return;
        ok_ = false;
        report("sonvex_rs: reader thread stopped: failed printing to stdout: " +
               describe_os_error(error) + "\n");
    }

    char batch_[kBatch];
    std::size_t used_ = 0;
    int out_fd_;
    bool ok_ = true;
};

}  // namespace

void append_received_line(std::string& out, std::string_view line) {
    with_received_text(line, [&out](std::string_view text) {
        out += kReceived;
        out += text;
        out += '\n';
    });
}

void run_reader(int fd, int out_fd) {
    static constexpr std::size_t kReceiveBuffer = 8192;
    char buffer[kReceiveBuffer];
    Printer printer(out_fd);
    try {
        LineSplitter splitter;
        auto on_line = [&printer](std::string_view line) { printer.line(line); };
        for (;;) {
            ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            splitter.feed(buffer, static_cast<std::size_t>(got), on_line);
            printer.flush();
            if (!printer.ok()) break;
        }
        splitter.finish(on_line);
        printer.connection_closed();
    } catch (const std::exception& e) {
        // Out of memory, say for a line that never ends: stop like a failed
        // receive, without taking the process down. What was printed before
        // goes out first.
        report(std::string("sonvex_rs: reader thread stopped: ") + e.what() + "\n");
        printer.connection_closed();
    }
    ::close(fd);
}

int start_reader(int fd, int out_fd) {
    static_assert(sizeof(void*) >= 8, "two descriptors in a thread argument");
    // The thread starts with every signal blocked, so that signals go to the
    // interpreter's threads: a signal meant to interrupt a blocking call of
    // the main thread (a connect, say) must not be taken by a reader.
    sigset_t all, before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstacksize(&attributes, std::max<std::size_t>(kReaderStack, PTHREAD_STACK_MIN));
    count_reader(true);
    pthread_t thread;
    int error = ::pthread_create(&thread, &attributes, reader_main, pack_descriptors(fd, out_fd));
    ::pthread_attr_destroy(&attributes);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        count_reader(false);
        ::close(fd);
        return error;
    }
    ::pthread_detach(thread);
    return 0;
}

std::size_t running_readers() {
    ::pthread_mutex_lock(&g_readers_lock);
    const std::size_t count = g_running_readers;
    ::pthread_mutex_unlock(&g_readers_lock);
    return count;
}

bool wait_for_fewer_readers(std::size_t count, int milliseconds) {
    timespec deadline{};
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    ::pthread_mutex_lock(&g_readers_lock);
    while (g_running_readers >= count &&
           ::pthread_cond_timedwait(&g_reader_ended, &g_readers_lock, &deadline) != ETIMEDOUT) {
    }
    const bool fewer = g_running_readers < count;
    ::pthread_mutex_unlock(&g_readers_lock);
    return fewer;
}

}  // namespace sonvex::core
