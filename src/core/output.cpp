#include "core/output.hpp"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace sonvex::core {

namespace {

// The process-wide output lock: a flag under a plain POSIX mutex that is
// held only to look at it, and a condition that a thread releasing the lock
// signals. Waiters wait on the condition with a monotonic clock, so a writer
// that runs signal handlers can wait in slices on every glibc the module
// supports. Plain POSIX objects, so that the child of a fork can make them
// anew: a reader thread that held the lock when the process forked does not
// exist in the child, and would never release it there.
pthread_mutex_t g_lock_state;
pthread_cond_t g_lock_released;
bool g_lock_held = false;  // under g_lock_state

// The thread that holds the output lock (0: none). Only that thread ever
// finds itself here, so a relaxed load tells a thread whether it holds it.
std::atomic<pthread_t> g_owner{0};

// Bytes that must go out before any other line, each to its descriptor:
// lines that a signal handler wrote while its thread held the lock, and the
// rest of a line whose write a handler abandoned. Under the output lock.
struct Pending {
    int fd;
    std::string bytes;
};
std::vector<Pending> g_pending;
// Whether g_pending holds anything: read without the lock at exit.
std::atomic<bool> g_has_pending{false};
// The bytes of g_pending and of the pending bytes being written just now:
// what would be lost if the process ended here. Changed under the output
// lock; read without it at exit, when the lock may be held for good.
std::atomic<std::size_t> g_pending_bytes{0};

// How long a writer that runs signal handlers waits for the lock at a time.
constexpr long kLockSliceNanoseconds = 50'000'000;

void make_output_lock() {
    ::pthread_mutex_init(&g_lock_state, nullptr);
    pthread_condattr_t attributes;
    ::pthread_condattr_init(&attributes);
    ::pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    ::pthread_cond_init(&g_lock_released, &attributes);
    ::pthread_condattr_destroy(&attributes);
    g_lock_held = false;
    g_owner.store(0, std::memory_order_relaxed);
}

void renew_output_lock_in_child() {
    make_output_lock();
    // The parent writes what it had pending; the child must not repeat it.
    g_pending.clear();
    g_has_pending.store(false, std::memory_order_relaxed);
    g_pending_bytes.store(0, std::memory_order_relaxed);
}

// Both run once, when the module is loaded.
[[maybe_unused]] const bool g_lock_made = (make_output_lock(), true);
[[maybe_unused]] const int g_fork_handler =
    ::pthread_atfork(nullptr, nullptr, renew_output_lock_in_child);

bool holds_output_lock() {
    return g_owner.load(std::memory_order_relaxed) == ::pthread_self();
}

timespec slice_from_now() {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += kLockSliceNanoseconds;
    if (deadline.tv_nsec >= 1'000'000'000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1'000'000'000L;
    }
    return deadline;
}

// Takes the lock. A writer with `on_interrupt` waits in slices and asks it
// between them (without the state mutex), so that signal handlers run while
// another thread (a reader waiting for a full standard output, say) holds
// the lock. Returns 0 or kAbandoned.
int take_output_lock(OnInterrupt on_interrupt) {
    ::pthread_mutex_lock(&g_lock_state);
    while (g_lock_held) {
        if (!on_interrupt) {
            ::pthread_cond_wait(&g_lock_released, &g_lock_state);
            continue;
        }
        const timespec deadline = slice_from_now();
        if (::pthread_cond_timedwait(&g_lock_released, &g_lock_state, &deadline) != ETIMEDOUT)
            continue;
        ::pthread_mutex_unlock(&g_lock_state);
        if (!on_interrupt()) return kAbandoned;
        ::pthread_mutex_lock(&g_lock_state);
    }
    g_lock_held = true;
    ::pthread_mutex_unlock(&g_lock_state);
    g_owner.store(::pthread_self(), std::memory_order_relaxed);
    return 0;
}

void release_output_lock() {
    g_has_pending.store(!g_pending.empty(), std::memory_order_relaxed);
    g_owner.store(0, std::memory_order_relaxed);
    ::pthread_mutex_lock(&g_lock_state);
    g_lock_held = false;
    ::pthread_cond_signal(&g_lock_released);
    ::pthread_mutex_unlock(&g_lock_state);
}

// Releases the lock taken before it.
struct HeldOutputLock {
    HeldOutputLock() = default;
    HeldOutputLock(const HeldOutputLock&) = delete;
    HeldOutputLock& operator=(const HeldOutputLock&) = delete;
    ~HeldOutputLock() { release_output_lock(); }
};

// Writes what is pending, first come first. Returns 0, or kAbandoned with
// the rest still pending. Bytes that their descriptor refuses are dropped:
// the writer they belong to has returned already.
int write_pending(OnInterrupt on_interrupt) {
    while (!g_pending.empty()) {
        // Taken out first: a handler that runs during the write appends.
        Pending first = std::move(g_pending.front());
        g_pending.erase(g_pending.begin());
        std::size_t written = 0;
        const int error = write_all(first.fd, first.bytes, on_interrupt, &written);
        if (error == kAbandoned) {
            first.bytes.erase(0, written);
            g_pending_bytes.fetch_sub(written, std::memory_order_relaxed);
            g_pending.insert(g_pending.begin(), std::move(first));
            return kAbandoned;
        }
        g_pending_bytes.fetch_sub(first.bytes.size(), std::memory_order_relaxed);
    }
    return 0;
}

void add_pending(std::vector<Pending>::iterator at, int fd, std::string bytes) {
    g_pending_bytes.fetch_add(bytes.size(), std::memory_order_relaxed);
    g_pending.insert(at, Pending{fd, std::move(bytes)});
}

// --- the flush at exit ---------------------------------------------------
//
// At exit, what is still pending goes out (a raising handler ended the
// write it belonged to, and no line was written since), but the process
// must end even when that cannot be: standard output may be full with no
// one reading it, and the lock may be held for good by a reader thread
// blocked writing there. So the flush waits for the lock and for room in
// slices, up to a limit, and stops early on SIGINT.

std::atomic<bool> g_interrupted{false};

void note_interrupt(int) { g_interrupted.store(true, std::memory_order_relaxed); }

// Catches SIGINT for its lifetime (unless SIGINT is ignored), without
// SA_RESTART, so that a blocked call returns and the flush stops.
class CatchInterrupt {
public:
    CatchInterrupt() {
        g_interrupted.store(false, std::memory_order_relaxed);
        struct sigaction ours {};
        ours.sa_handler = note_interrupt;
        sigemptyset(&ours.sa_mask);
        if (::sigaction(SIGINT, nullptr, &old_) != 0 || old_.sa_handler == SIG_IGN) return;
        installed_ = ::sigaction(SIGINT, &ours, nullptr) == 0;
    }
    ~CatchInterrupt() {
        if (installed_) ::sigaction(SIGINT, &old_, nullptr);
    }
    CatchInterrupt(const CatchInterrupt&) = delete;
    CatchInterrupt& operator=(const CatchInterrupt&) = delete;

private:
    struct sigaction old_ {};
    bool installed_ = false;
};

constexpr auto kExitSlice = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

bool out_of_time(Clock::time_point deadline) {
    return g_interrupted.load(std::memory_order_relaxed) || Clock::now() >= deadline;
}

// Takes the output lock unless it stays held until the deadline.
bool take_output_lock_until(Clock::time_point deadline) {
    ::pthread_mutex_lock(&g_lock_state);
    while (g_lock_held) {
        if (out_of_time(deadline)) {
            ::pthread_mutex_unlock(&g_lock_state);
            return false;
        }
        const timespec slice = slice_from_now();   // at most one slice at a time
        ::pthread_cond_timedwait(&g_lock_released, &g_lock_state, &slice);
    }
    g_lock_held = true;
    ::pthread_mutex_unlock(&g_lock_state);
    g_owner.store(::pthread_self(), std::memory_order_relaxed);
    return true;
}

// Writes `bytes` to `fd` only as fast as it takes them, never blocking
// past the deadline: it waits for room in slices and writes at most what
// a pipe promises to take when it reports room. Returns the bytes written.
std::size_t write_until(int fd, std::string_view bytes, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kExitSlice.count()));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (out_of_time(deadline)) break;
            continue;
        }
        if (entry.revents & (POLLERR | POLLNVAL)) break;
        const std::size_t size = std::min<std::size_t>(bytes.size() - done, PIPE_BUF);
        const ssize_t n = ::write(fd, bytes.data() + done, size);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;   // the descriptor is gone: what is left cannot go out
        }
        if (out_of_time(deadline)) break;
    }
    return done;
}

void report_unwritten(std::size_t bytes) {
    if (bytes == 0) return;
    const std::string line =
        "sonvex_rs: " + std::to_string(bytes) + " bytes of output could not be written\n";
    write_all(kStderr, line);
}

void write_pending_at_exit() {
    report_unwritten(flush_pending(std::chrono::seconds(1)));
}

[[maybe_unused]] const int g_exit_handler = std::atexit(write_pending_at_exit);

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

int write_all(int fd, std::string_view text, OnInterrupt on_interrupt, std::size_t* written) {
    return write_all(fd, std::span<const std::string_view>(&text, 1), on_interrupt, written);
}

int write_all(int fd, std::span<const std::string_view> pieces, OnInterrupt on_interrupt,
              std::size_t* written_in_all) {
    if (written_in_all) *written_in_all = 0;
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
        if (written_in_all) *written_in_all += static_cast<std::size_t>(written);
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
    return write_lines(std::span<const std::string_view>(&lines, 1), fd, on_interrupt);
}

int write_lines(std::span<const std::string_view> pieces, int fd, OnInterrupt on_interrupt) {
    if (holds_output_lock()) {
        // A signal handler that runs while its own thread writes (a line
        // waiting for a full standard output): waiting for the lock would
        // wait for ever. Its lines go out right after the one being written.
        std::string lines;
        for (std::string_view piece : pieces) lines += piece;
        add_pending(g_pending.end(), fd, std::move(lines));
        return 0;
    }
    if (int error = take_output_lock(on_interrupt)) return error;
    HeldOutputLock hold;
    if (int error = write_pending(on_interrupt)) return error;
    std::size_t written = 0;
    const int error = write_all(fd, pieces, on_interrupt, &written);
    if (error == kAbandoned && written > 0) {
        // A handler raised within the lines: what is left of them goes out
        // before any other line, so that no line is ever torn by another.
        std::string rest;
        for (std::string_view piece : pieces) rest += piece;
        add_pending(g_pending.begin(), fd, rest.substr(written));
    }
    return error == 0 ? write_pending(on_interrupt) : error;
}

std::size_t flush_pending(std::chrono::milliseconds limit) {
    if (!g_has_pending.load(std::memory_order_relaxed)) return 0;
    CatchInterrupt catching;
    const auto deadline = Clock::now() + limit;
    if (holds_output_lock() || !take_output_lock_until(deadline))
        return g_pending_bytes.load(std::memory_order_relaxed);
    HeldOutputLock hold;
    while (!g_pending.empty() && !out_of_time(deadline)) {
        Pending& first = g_pending.front();
        const std::size_t written = write_until(first.fd, first.bytes, deadline);
        g_pending_bytes.fetch_sub(written, std::memory_order_relaxed);
        if (written < first.bytes.size()) {
            first.bytes.erase(0, written);
            break;
        }
        g_pending.erase(g_pending.begin());
    }
    return g_pending_bytes.load(std::memory_order_relaxed);
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
