// sonvex_replies._drain: the thread that empties a ReplyTap's pipe.
//
// While a tap is active, descriptor 1 is the write end of a pipe. The drain
// thread reads that pipe without ever touching the interpreter, so the pipe
// is emptied even while a Python thread holds the interpreter lock (say in a
// send that blocks until the server reads, which it does only once the
// client's reader can print again). The core's reply sorter
// (core/reply_sorter.hpp) keeps the text of each "Received: " line, counts
// "Connection closed." lines and hands every other line on to the original
// standard output, in order.
//
// Python threads look at what was kept with take() (under the tap's own
// lock, so replies are absorbed in the order they arrived) and block in
// wait() with the interpreter lock released. An asyncio loop watches
// notify_fd(), which becomes readable once something is kept while a
// watcher is registered.
//
// One thread at a time reads the pipe: reader_ names it (nobody, the drain
// thread, a waiting thread, an asyncio loop's pump). The drain thread waits
// in one way only, poll() on its wake descriptor (with the pipe while it
// reads), and is woken only by wake_drain_locked(). A waiter that reads the
// pipe is woken from it by the close only (closing_fd_).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/reader.hpp"
#include "core/reply_sorter.hpp"
#include "frame/signals.hpp"

namespace {

using sonvex::core::ReplySorter;
using sonvex::core::SortedLines;

constexpr size_t kReadSize = 1 << 20;
// How long the drain thread leaves the pipe to the waiters after the last
// one left: a program that waits for each answer is back with its next wait
// long before. A thread that holds the interpreter lock in a blocked send
// has its answers read by the drain thread after at most this long.
constexpr auto kLinger = std::chrono::milliseconds(5);

// A descriptor the tap owns, moved to 3 or above (close-on-exec): a closed
// 0, 1 or 2 (a daemon, `prog >&-`) is never taken by one of them, where the
// swap of descriptor 1 would replace it. -1 (errno set) when it cannot be.
int above_standard(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// An eventfd of the tap's, at 3 or above; -1 (errno set) on failure.
int new_eventfd() { return above_standard(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);   // the clock of time.monotonic()
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// --- the writer of pass-through output --------------------------------------
//
// Lines that pass through go into a queue that a thread of their own writes
// to the original standard output, so that whoever reads the pipe never
// blocks on a standard output whose reader pauses: replies keep arriving
// meanwhile. The queue is bounded; past the bound whoever reads the pipe
// waits for room before reading more (see Drain::read_step), as a program
// without the tap would wait in its write. The writer outlives its drain:
// what is still queued when the tap closes is written in the background,
// and what is left at exit is counted on standard error (see
// report_unwritten_at_exit).

class Writer {
public:
    Writer(int fd, size_t bound) : fd_(fd), bound_(bound), owner_(getpid()) {}
    ~Writer() {
        if (fd_ >= 0) ::close(fd_);
        if (room_fd_ >= 0) ::close(room_fd_);
    }

    // Starts the thread, which holds `self` (this) until the queue is
    // written out after close(). Returns an errno value, 0 on success.
    static int start(const std::shared_ptr<Writer>& self) {
        self->room_fd_ = new_eventfd();
        if (self->room_fd_ < 0) return errno;
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        int error = 0;
        try {
            std::thread([self] { self->run(); }).detach();
        } catch (const std::exception&) {
            error = EAGAIN;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return error;
    }

    // Queues the bytes, whatever the bound (see has_room).
    void put(const char* data, size_t size) {
        std::lock_guard<std::mutex> lock(mu_);
        if (gone_) return;
        try {
            if (!queue_.empty() && queue_.back().size() + size <= kJoin) {
                queue_.back().append(data, size);
            } else {
                queue_.emplace_back(data, size);
            }
            queued_ += size;
            cv_.notify_one();
        } catch (const std::bad_alloc&) {
            lost_ += size;   // no memory to hold them: counted at exit
        }
    }

    // Whether the queue is below its bound. When it is not, room_fd() turns
    // readable once it is again.
    bool has_room() {
        std::lock_guard<std::mutex> lock(mu_);
        room_wanted_ = queued_ > bound_;
        return !room_wanted_;
    }

    // Waits up to `ms` (negative: no limit) for room, or for `wake_fd` to
    // turn readable (true then, the wake left for the caller to read).
    // Whether there is room afterwards.
    bool wait_room(int ms, int wake_fd, bool& woken) {
        woken = false;
        if (has_room() || room_fd_ < 0) return true;
        if (ms == 0) return false;
        pollfd fds[2] = {{room_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 2, ms) > 0) {
            if (fds[0].revents & POLLIN) {
                uint64_t value;   // consumed, so that a later wait does not see it again
                ssize_t ignored = ::read(room_fd_, &value, sizeof value);
                (void)ignored;
            }
            woken = (fds[1].revents & POLLIN) != 0;
        }
        return has_room();
    }

    // No more will be queued: the thread ends once the queue is written.
    void close() {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        cv_.notify_one();
    }

    // Waits until all queued bytes are written (true), or until `deadline`
    // (a monotonic_now() time) or `interrupted()` says to stop (false).
    template <typename Stop>
    bool wait_written(double deadline, Stop interrupted) {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            if (queued_ == 0 || gone_) return true;
            double left = deadline - monotonic_now();
            if (left <= 0) return false;
            auto slice = std::chrono::milliseconds(20);
            if (left < 0.02) slice = std::chrono::milliseconds(static_cast<int>(left * 1000) + 1);
            written_cv_.wait_for(lock, slice);
            if (queued_ == 0 || gone_) return true;
            lock.unlock();
            bool stop = interrupted();
            lock.lock();
            if (stop) return false;
        }
    }

    // Bytes queued and not yet written; how many were written in all.
    size_t queued() {
        std::lock_guard<std::mutex> lock(mu_);
        return (gone_ ? 0 : queued_) + lost_;
    }
    uint64_t written() {
        std::lock_guard<std::mutex> lock(mu_);
        return written_;
    }

    pid_t owner() const { return owner_; }

    // Whether the thread ended with nothing left to write.
    bool idle() {
        std::lock_guard<std::mutex> lock(mu_);
        return ended_ && lost_ == 0;
    }

private:
    static constexpr size_t kJoin = 64 * 1024;    // small pieces share one string
    // Written per call: a pipe takes that much whole or not at all, so that
    // what a write blocked at exit had written is never counted as unwritten.
    static constexpr size_t kSlice = PIPE_BUF;

    void run() {
        write_queue();
        // Written out (or the output is gone) and closed: the descriptors
        // go now, not when the last holder lets go of the writer.
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (closed_ && room_fd_ >= 0) ::close(room_fd_);   // no reader waits for room now
        if (closed_) room_fd_ = -1;
    }

    void write_queue() {
        std::string piece;
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            cv_.wait(lock, [&] { return !queue_.empty() || closed_ || gone_; });
            if (gone_ || queue_.empty()) return;   // closed and all written
            piece.swap(queue_.front());
            queue_.pop_front();
            lock.unlock();
            size_t done = 0;
            bool gone = false;
            while (done < piece.size() && !gone) {
                size_t n = write_some(piece.data() + done, std::min(kSlice, piece.size() - done));
                if (n == 0) {
                    gone = true;
                    break;
                }
                done += n;
                std::lock_guard<std::mutex> relock(mu_);
                written_ += n;
                queued_ -= n;
                if (room_wanted_ && queued_ <= bound_) {
                    room_wanted_ = false;
                    uint64_t one = 1;
                    ssize_t ignored = ::write(room_fd_, &one, sizeof one);
                    (void)ignored;
                }
                written_cv_.notify_all();
            }
            piece.clear();
            if (piece.capacity() > 4 * kJoin) std::string().swap(piece);
            lock.lock();
            if (gone) {
                // Standard output is gone (closed, or its reader ended): as
                // a write there would, what is left goes nowhere.
                gone_ = true;
                queue_.clear();
                queued_ = 0;
                uint64_t one = 1;
                ssize_t ignored = ::write(room_fd_, &one, sizeof one);
                (void)ignored;
                written_cv_.notify_all();
                return;
            }
        }
    }

    // Writes up to `size` bytes, waiting for room as long as it takes; 0
    // once the descriptor is gone.
    size_t write_some(const char* data, size_t size) {
        for (;;) {
            ssize_t n = ::write(fd_, data, size);
            if (n > 0) return static_cast<size_t>(n);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {   // a non-blocking output that is full
                pollfd out{fd_, POLLOUT, 0};
                poll(&out, 1, -1);
                continue;
            }
            return 0;
        }
    }

    int fd_;   // closed by the thread as it ends
    const size_t bound_;
    const pid_t owner_;
    int room_fd_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;           // the thread waits for bytes
    std::condition_variable written_cv_;   // wait_written waits for progress
    std::deque<std::string> queue_;
    size_t queued_ = 0;                    // including the piece being written
    size_t lost_ = 0;                      // found no memory to be queued in
    uint64_t written_ = 0;
    bool closed_ = false, gone_ = false, room_wanted_ = false;
    bool ended_ = false;   // the thread has ended
};

// Every writer started in this process, for the count at exit. Writers are
// few (one per tap) and small once written out; the list keeps them.
std::mutex writers_mu;
std::vector<std::shared_ptr<Writer>>* writers = nullptr;

void register_writer(const std::shared_ptr<Writer>& writer) {
    std::lock_guard<std::mutex> lock(writers_mu);
    if (writers == nullptr) writers = new std::vector<std::shared_ptr<Writer>>();
    // Writers whose thread ended with everything written are dropped here.
    std::vector<std::shared_ptr<Writer>> live;
    for (auto& w : *writers) {
        if (!w->idle()) live.push_back(std::move(w));
    }
    live.push_back(writer);
    writers->swap(live);
}

// This process's id, read at import and again in a forked child (by the
// atfork handler below, which libc's fork runs before the child goes on):
// the checks of the drain's owner, made on every take and wait, compare
// with it instead of asking the kernel each time.
std::atomic<pid_t> current_pid{0};

pid_t this_process() { return current_pid.load(std::memory_order_relaxed); }

void note_pid_in_child() { current_pid.store(getpid(), std::memory_order_relaxed); }

// In a forked child the parent's writer threads do not exist, and the
// list's lock may have been held by one of them at the fork: the child
// starts with a lock of its own and forgets the parent's writers (it never
// waits on them; their queues are the parent's to write).
void forget_writers_in_child() {
    new (&writers_mu) std::mutex();
    writers = nullptr;   // the parent's list stays where it is, unused
}

std::atomic<bool> exit_interrupted{false};
std::atomic<bool> exit_reported{false};

void note_exit_interrupt(int) { exit_interrupted.store(true); }

// At exit: what the writers still hold gets its chance to go out as long as
// standard output takes it (the flush stops once a second passes without a
// byte written, or on SIGINT); what is left then is counted on standard
// error, in one line. Runs once: from the interpreter's exit (the
// interpreter ends some exits, a KeyboardInterrupt's, by a signal rather
// than exit()) or else from exit().
void report_unwritten_at_exit() {
    if (exit_reported.exchange(true)) return;
    std::vector<std::shared_ptr<Writer>> mine;
    {
        std::lock_guard<std::mutex> lock(writers_mu);
        if (writers == nullptr) return;
        for (auto& w : *writers) {
            if (w->owner() == getpid()) mine.push_back(w);
        }
    }
    auto left = [&] {
        size_t sum = 0;
        for (auto& w : mine) sum += w->queued();
        return sum;
    };
    if (left() == 0) return;
    struct sigaction ours {}, old {};
    ours.sa_handler = note_exit_interrupt;
    sigemptyset(&ours.sa_mask);
    bool caught = sigaction(SIGINT, nullptr, &old) == 0 && old.sa_handler != SIG_IGN &&
                  sigaction(SIGINT, &ours, nullptr) == 0;
    auto stop = [] { return exit_interrupted.load(); };
    for (auto& w : mine) {
        for (;;) {
            uint64_t before = w->written();
            if (w->wait_written(monotonic_now() + 1.0, stop) || stop()) break;
            if (w->written() == before) break;   // a second without progress
        }
        if (stop()) break;
    }
    if (caught) sigaction(SIGINT, &old, nullptr);
    size_t unwritten = left();
    if (unwritten == 0) return;
    std::string line = "sonvex_replies: " + std::to_string(unwritten) +
                       " bytes of standard output could not be written\n";
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
}

// A run of reply texts read at one time, each text ending with '\n'; the
// texts before `start` were dropped. `tag` is the command tag of the last
// text, parsed once by the sorter.
struct Batch {
    double time;
    std::string texts;
    size_t start = 0;
    size_t lines = 0;
    std::optional<uint64_t> tag;
};

// Who reads the pipe just now. Changed only by take_pipe_locked() and
// leave_pipe_locked().
enum class Reader : unsigned char {
    nobody,   // no one: the next waiter or the drain thread may take it
    drain,    // the drain thread
    waiter,   // a thread in wait(), reading for its own answer
    pump,     // an asyncio loop in pump(), reading one chunk
};

// What the drain thread waits for in poll() on the wake descriptor; the
// waking side says which of these its change matters to.
enum DrainSleep : unsigned {
    kAwake = 0,       // not waiting (or just woken)
    kReading = 1,     // reads the pipe: to let go of it to a waiter or a loop
    kBlocked = 2,     // the pipe is someone else's: for it to come free
    kLingering = 4,   // leaves the pipe to the waiters a moment: for a close or a loop
};

// A thread inside Drain::wait(). Each has a condition variable of its own,
// so that a change wakes only the waiters it matters to: a waiter by tag
// when a reply with its tag is kept, any other waiter when anything is kept
// or taken; every waiter at the end, a failure or the close; one waiter
// when the pipe comes free for it to read. Lives on the waiting thread's
// stack while it is registered (under the drain's lock).
struct Waiter {
    std::condition_variable cv;
    std::optional<uint64_t> tag;   // none: woken by anything kept or taken
    bool woken = false;            // set, under the drain's lock, by whoever wakes it
    bool arrived = false;          // a reply with its tag was kept
    Waiter* prev = nullptr;        // in the list of waiters without a tag
    Waiter* next = nullptr;
};

class Drain {
public:
    Drain(int read_fd, int forward_fd, bool echo, size_t max_lines, bool keep_output,
          size_t max_queued)
        : read_fd_(read_fd), forward_fd_(forward_fd), echo_(echo), keep_output_(keep_output),
          max_lines_(max_lines), max_queued_(max_queued), owner_(getpid()),
          sorter_(echo, keep_output) {}

    // Returns an errno value, 0 on success.
    int open() {
        struct stat st {};
        if (fstat(read_fd_, &st) != 0) return errno;
        pipe_dev_ = st.st_dev;
        pipe_ino_ = st.st_ino;
        int flags = fcntl(read_fd_, F_GETFL);
        if (flags < 0 || fcntl(read_fd_, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
        wake_fd_ = new_eventfd();
        if (wake_fd_ < 0) return errno;
        closing_fd_ = new_eventfd();
        if (closing_fd_ < 0) return errno;
        notify_fd_ = new_eventfd();
        if (notify_fd_ < 0) return errno;
        look_fd_ = new_eventfd();
        if (look_fd_ < 0) return errno;
        watch_fd_ = fcntl(read_fd_, F_DUPFD_CLOEXEC, 3);
        if (watch_fd_ < 0) return errno;
        if (forward_fd_ >= 0 && !keep_output_) {
            // The writer keeps a descriptor of its own: it may go on after
            // the tap has closed the one it was given.
            int fd = fcntl(forward_fd_, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) return errno;
            try {
                writer_ = std::make_shared<Writer>(fd, max_queued_);
            } catch (const std::bad_alloc&) {
                ::close(fd);
                return ENOMEM;
            }
            if (int error = Writer::start(writer_)) {
                writer_.reset();
                return error;
            }
            try {
                register_writer(writer_);
            } catch (const std::bad_alloc&) {
                writer_->close();
                writer_.reset();
                return ENOMEM;
            }
        }
        // The thread takes no signals: they stay with the interpreter's threads.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        try {
            thread_ = new std::thread([this] { run(); });
        } catch (const std::exception&) {
            thread_ = nullptr;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return thread_ ? 0 : EAGAIN;
    }

    ~Drain() {
        finish(0.0, [] { return false; });
        close_fd(notify_fd_);
        close_fd(watch_fd_);
    }

    // Stops the thread once the pipe has no writer left and is empty, or
    // after `grace` seconds if a writer (a child that inherited descriptor
    // 1) keeps it open or standard output takes nothing more: what is in
    // the pipe then is sorted and queued all the same. Then waits, within
    // the same grace, for the queued output to be written; what is still
    // queued after it is written in the background. `interrupted` is asked
    // every few milliseconds: true cuts both waits short. Returns false
    // when it did. Then closes the descriptors that no one needs any more
    // (notify_fd stays open while an asyncio loop still watches it).
    // In a forked child the thread does not exist and the lock may be held
    // for good: the child only closes its copies of the descriptors and
    // leaves the thread's handle (and the parent's writer) alone.
    template <typename Stop>
    bool finish(double grace, Stop interrupted) {
        if (finished_) return true;
        finished_ = true;
        bool child = getpid() != owner_;
        bool whole = true;
        double deadline = monotonic_now() + grace;
        if (thread_ != nullptr && !child) {
            std::unique_lock<std::mutex> lock(mu_);
            close_deadline_ = deadline;
            closing_ = true;
            wake_all_locked();
            // A waiter that reads the pipe lets go of it (closing_fd_ stays
            // readable), and the drain thread reads to the end.
            signal_fd(closing_fd_);
            wake_drain_locked(kReading | kBlocked | kLingering);
            while (!stopped_) {
                done_cv_.wait_for(lock, std::chrono::milliseconds(20));
                if (stopped_ || !whole) continue;
                lock.unlock();
                whole = !interrupted();
                lock.lock();
                if (!whole) {   // the thread stops at once, taking in what the pipe holds
                    close_deadline_ = 0;
                    wake_drain_locked(kReading | kBlocked | kLingering);
                }
            }
            lock.unlock();
            thread_->join();
            delete thread_;
            thread_ = nullptr;
        }
        if (writer_ != nullptr && !child) {
            writer_->close();
            if (whole) whole = writer_->wait_written(deadline, interrupted);
        }
        close_fd(wake_fd_);
        close_fd(closing_fd_);
        close_fd(look_fd_);
        if (child) {
            close_fd(notify_fd_);
            close_fd(watch_fd_);
            return true;
        }
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
        if (watchers_ == 0) {
            close_fd(notify_fd_);
            close_fd(watch_fd_);
        }
        return whole;
    }

    // Whether descriptor 1 still leads to this pipe.
    bool descriptor_is_ours() const {
        struct stat st {};
        return fstat(1, &st) == 0 && st.st_dev == pipe_dev_ && st.st_ino == pipe_ino_;
    }

    // Blocks until something is kept, the pipe ended, or another thread
    // took since `seen` (that thread's take may hold what the caller waits
    // for); false when `timeout` (negative: none) runs out. While it waits,
    // the caller reads the pipe itself when no one else does, so that its
    // answer needs no hop through the drain thread.
    // With `tag` given, a wait whose caller waits for that tag takes the
    // reply into `direct` when it is all there is to take (see
    // take_tagged_locked); `took` is then set to the generation after that
    // take.
    bool wait(uint64_t seen, double timeout, std::optional<uint64_t> tag = {},
              Batch* direct = nullptr, uint64_t* took = nullptr) {
        using clock = std::chrono::steady_clock;
        auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                           std::chrono::duration<double>(timeout < 0 ? 0 : timeout));
        std::unique_lock<std::mutex> lock(mu_);
        // A waiter by tag looks again when its reply may be among what was
        // kept (or taken: another thread's take may hold it); any other
        // waiter when anything was.
        auto ready = [&] {
            return ended_ || generation_ != seen || !failure_.empty() ||
                   (tag ? untaken_tag_locked(*tag) : untaken_);
        };
        if (ready()) {
            if (tag && take_tagged_locked(*tag, seen, *direct)) *took = generation_;
            return true;
        }
        Waiter me;
        me.tag = tag;
        enlist_locked(me);
        ++wanting_;
        // The drain thread, asleep in poll(), lets go of the pipe.
        if (reader_ == Reader::drain && !closing_) wake_drain_locked(kReading);
        auto woken = [&] { return me.woken; };
        bool result = false;
        for (;;) {
            // (Registered, a waiter by tag learns of its reply from the
            // keeper: no look through what is kept, and another thread's
            // take, which its entry checked for, holds nothing new for it.)
            result = ended_ || !failure_.empty() ||
                     (me.tag ? me.arrived : untaken_ || generation_ != seen);
            if (result) break;
            int ms = -1;
            if (timeout >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - clock::now()).count();
                if (left <= 0) break;
                ms = static_cast<int>(left) + 1;
            }
            if (take_pipe_locked(Reader::waiter)) {
                // Reads for itself (and keeps for the others) until its
                // own answer is kept, its time is up or the close.
                lock.unlock();
                read_step(ms, closing_fd_, look_fd_);
                lock.lock();
                leave_pipe_locked(Reader::waiter);
                if (look_signalled_) {   // heard (or not needed now): spent
                    uint64_t value;
                    ssize_t ignored = ::read(look_fd_, &value, sizeof value);
                    (void)ignored;
                    look_signalled_ = false;
                }
                if (closing_) wake_drain_locked(kBlocked);   // it reads to the end now
                continue;
            }
            me.woken = false;
            if (timeout < 0) {
                me.cv.wait(lock, woken);
            } else {
                me.cv.wait_until(lock, deadline, woken);
            }
        }
        delist_locked(me);
        --wanting_;
        if (wanting_ == 0) released_ = true;
        // Another waiter, or the drain thread, may read now.
        if (wanting_ == 0 || closing_) wake_drain_locked(kBlocked);
        if (reader_ == Reader::nobody) wake_reader_locked();
        if (result && tag && take_tagged_locked(*tag, seen, *direct)) *took = generation_;
        return result;
    }

    // With mu_ held: when all there is to take is one reply with the tag
    // (as the sorter parsed it), and nothing was taken since `seen`, takes
    // that batch alone, as take() would have: true. Anything else (more
    // lines, closed lines, drops, an end, a failure) is left to take().
    bool take_tagged_locked(uint64_t tag, uint64_t seen, Batch& out) {
        if (!untaken_ || ended_ || generation_ != seen || batches_.size() != 1 ||
            closed_ != taken_closed_ || dropped_ != taken_dropped_ || !output_.empty() ||
            !failure_.empty()) {
            return false;
        }
        const Batch& batch = batches_.front();
        if (batch.lines != 1 || batch.tag != tag) return false;
        out = std::move(batches_.front());
        batches_.pop_front();
        kept_lines_ = 0;
        taken_locked();
        return true;
    }

    // A reply that a wait had taken went back to the tap (a signal handler
    // raised before its caller got it): every waiter looks again, the one
    // reading the pipe too, and so do the asyncio loops, as when something
    // new is kept. The next take brings nothing new but the count of takes,
    // after which the tap has put the reply back among the kept ones.
    void put_back() {
        std::lock_guard<std::mutex> lock(mu_);
        untaken_ = true;
        ++generation_;
        for (auto& entry : by_tag_) entry.second->arrived = true;
        wake_all_locked();
        if (watchers_ > 0) signal_locked();
        if (reader_ == Reader::waiter && !look_signalled_ && look_fd_ >= 0) {
            signal_fd(look_fd_);
            look_signalled_ = true;
        }
    }

    struct Taken {
        std::deque<Batch> batches;
        uint64_t closed, dropped, generation;
        bool ended;
        std::string failure;
        std::string output;
    };

    // False when nothing changed since the last take; out.generation is the
    // count of takes either way.
    bool take(Taken& out) {
        std::lock_guard<std::mutex> lock(mu_);
        out.generation = generation_;
        if (!untaken_) return false;
        out.batches.swap(batches_);
        kept_lines_ = 0;
        out.closed = closed_;
        out.dropped = dropped_;
        out.ended = ended_;
        out.failure = failure_;
        out.output.swap(output_);
        taken_closed_ = closed_;
        taken_dropped_ = dropped_;
        taken_locked();
        out.generation = generation_;
        return true;
    }

    // take_tagged_locked for a caller that does not wait: true if taken.
    bool take_tagged(uint64_t tag, uint64_t seen, Batch& out, uint64_t& generation) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!take_tagged_locked(tag, seen, out)) return false;
        generation = generation_;
        return true;
    }

    // An asyncio loop starts (+1) or stops (-1) watching notify_fd.
    void watch(int delta) {
        std::lock_guard<std::mutex> lock(mu_);
        watchers_ += delta;
        if (watchers_ > 0 && (untaken_ || ended_)) signal_locked();
        if (watchers_ == 0 && done_) {
            close_fd(notify_fd_);
            close_fd(watch_fd_);
        }
        // A reading drain thread leaves the pipe to the loops; a waiting
        // one looks again whether it should read.
        wake_drain_locked(delta > 0 ? kReading | kBlocked | kLingering : kBlocked | kLingering);
    }

    // An asyncio loop saw watch_fd readable: reads one chunk if no one else
    // reads the pipe just now; false if someone does. With `notify`, what
    // it kept also makes the loops' notification readable, so that a look
    // cut short after the read is done again.
    bool pump(bool notify) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (ended_ || !take_pipe_locked(Reader::pump)) return false;
        }
        // Past the bound of queued output the loop waits a little for room
        // (as its own print would wait for a full standard output) rather
        // than spin on a pipe it may not read; a close cuts that short.
        bool woken = false;
        if (writer_ == nullptr || writer_->wait_room(kLinger.count(), closing_fd_, woken)) {
            read_step(0, -1);
        }
        std::lock_guard<std::mutex> lock(mu_);
        leave_pipe_locked(Reader::pump);
        if (notify && watchers_ > 0 && untaken_) signal_locked();
        return true;
    }

    // The loops have looked at everything taken so far: their notification
    // is spent, unless something was kept since.
    void quiet() {
        std::lock_guard<std::mutex> lock(mu_);
        if (signalled_ && !untaken_ && notify_fd_ >= 0) {
            uint64_t value;
            ssize_t ignored = ::read(notify_fd_, &value, sizeof value);
            (void)ignored;
            signalled_ = false;
        }
    }

    // Whether a take would bring something.
    bool pending() {
        std::lock_guard<std::mutex> lock(mu_);
        return untaken_;
    }

    int notify_fd() const { return notify_fd_; }
    int watch_fd() const { return watch_fd_; }
    pid_t owner() const { return owner_; }

private:
    static void close_fd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    static void signal_fd(int fd) {
        uint64_t one = 1;
        ssize_t ignored = ::write(fd, &one, sizeof one);   // a full count wakes the reader anyway
        (void)ignored;
    }

    // --- who reads the pipe (all with mu_ held) ---------------------------

    // Whether `who` may take the pipe now: no one reads it, and while
    // closing only the drain thread (or a loop's single non-blocking read)
    // does.
    bool may_take_locked(Reader who) const {
        return reader_ == Reader::nobody && (!closing_ || who != Reader::waiter);
    }

    bool take_pipe_locked(Reader who) {
        if (!may_take_locked(who)) return false;
        reader_ = who;
        return true;
    }

    // `who` lets go of the pipe: a waiter looks whether it reads next; after a loop's pump the drain thread looks too (a waiter that
    // leaves wakes it from wait() once the last waiter is gone).
    void leave_pipe_locked(Reader who) {
        reader_ = Reader::nobody;
        if (who == Reader::waiter) return;
        wake_reader_locked();
        if (who == Reader::pump) wake_drain_locked(kBlocked);
    }

    // --- waking the waiters (all with mu_ held) ---------------------------

    void enlist_locked(Waiter& w) {
        if (w.tag) {
            try {
                by_tag_.emplace(*w.tag, &w);
                return;
            } catch (const std::bad_alloc&) {
                w.tag.reset();   // no memory for the index: woken by anything, as before
            }
        }
        w.next = untagged_;
        if (untagged_ != nullptr) untagged_->prev = &w;
        untagged_ = &w;
    }

    void delist_locked(Waiter& w) {
        if (w.tag) {
            auto [it, end] = by_tag_.equal_range(*w.tag);
            for (; it != end; ++it) {
                if (it->second == &w) {
                    by_tag_.erase(it);
                    return;
                }
            }
            return;
        }
        if (w.prev != nullptr) {
            w.prev->next = w.next;
        } else {
            untagged_ = w.next;
        }
        if (w.next != nullptr) w.next->prev = w.prev;
    }

    static void wake(Waiter& w) {
        w.woken = true;
        w.cv.notify_one();
    }

    void wake_untagged_locked() {
        for (Waiter* w = untagged_; w != nullptr; w = w->next) wake(*w);
    }

    // The end, a failure, the close: every waiter looks.
    void wake_all_locked() {
        wake_untagged_locked();
        for (auto& entry : by_tag_) wake(*entry.second);
    }

    // The pipe came free: one waiter looks whether it reads it next (one
    // that leaves instead passes this on as it goes).
    void wake_reader_locked() {
        if (reader_ != Reader::nobody) return;
        if (untagged_ != nullptr) {
            wake(*untagged_);
        } else if (!by_tag_.empty()) {
            wake(*by_tag_.begin()->second);
        }
    }

    // Calls `found(tag)` for each text of the batch that may answer a wait
    // by tag, until it returns true: with the tag it ends with (as the
    // sorter reads it), or with none for a text that carries the tag's key
    // elsewhere (a wait by tag also takes one whose COMMANDTAG=<n> is not
    // its last word): that one may answer any.
    template <class Found>
    static void each_tag(const Batch& batch, Found found) {
        std::string_view texts(batch.texts);
        texts.remove_prefix(batch.start);
        for (size_t left = batch.lines; left > 0 && !texts.empty(); --left) {
            const size_t end = texts.find('\n');
            const std::string_view text = texts.substr(0, end);
            texts.remove_prefix(end + 1);
            const std::optional<uint64_t> tag =
                left == 1 ? batch.tag : sonvex::core::reply_tag(text);
            if (tag ? found(tag) : text.find(sonvex::core::kTagKey) != std::string_view::npos &&
                                       found(std::nullopt)) {
                return;
            }
        }
    }

    // Whether what waits to be taken may hold the reply with that tag.
    bool untaken_tag_locked(uint64_t tag) const {
        if (!untaken_) return false;
        bool may = false;
        for (const Batch& batch : batches_) {
            each_tag(batch, [&](std::optional<uint64_t> t) { return may = !t || *t == tag; });
            if (may) return true;
        }
        return false;
    }

    // A batch was kept: the waiters for its tags learn that their reply came.
    void wake_tagged_locked(const Batch& batch) {
        if (by_tag_.empty()) return;
        each_tag(batch, [&](std::optional<uint64_t> tag) {
            if (!tag) {
                for (auto& entry : by_tag_) {
                    entry.second->arrived = true;
                    wake(*entry.second);
                }
                return true;
            }
            auto [it, end] = by_tag_.equal_range(*tag);
            for (; it != end; ++it) {
                it->second->arrived = true;
                wake(*it->second);
            }
            return false;
        });
    }

    // --- waking the drain thread -----------------------------------------

    // The one way to wake the drain thread: when it waits for one of
    // `sleeps`, the wake descriptor becomes readable.
    void wake_drain_locked(unsigned sleeps) {
        if ((drain_sleep_ & sleeps) == 0) return;
        drain_sleep_ = kAwake;
        signal_fd(wake_fd_);
    }

    // The drain thread, with mu_ held, is about to poll() the wake
    // descriptor (with the pipe when it reads) waiting for `what`.
    void drain_listens_locked(DrainSleep what) { drain_sleep_ = what; }

    // The drain thread is back from that poll(), with mu_ held. A wake is
    // taken off the descriptor (under mu_, so that none that a later change
    // makes is lost).
    void drain_heard_locked() {
        if (drain_sleep_ == kAwake) {
            uint64_t count;
            ssize_t ignored = ::read(wake_fd_, &count, sizeof count);
            (void)ignored;
        }
        drain_sleep_ = kAwake;
    }

    // The drain thread waits, mu_ released, until woken for `what` or `ms`
    // (negative: no limit) pass.
    void drain_sleep(std::unique_lock<std::mutex>& lock, DrainSleep what, int ms) {
        drain_listens_locked(what);
        lock.unlock();
        pollfd fd{wake_fd_, POLLIN, 0};
        poll(&fd, 1, ms);
        lock.lock();
        drain_heard_locked();
    }

    // drain_sleep() until `stop` holds (true) or `span` passed (stop()).
    template <class Stop>
    bool drain_sleep_for(std::unique_lock<std::mutex>& lock, DrainSleep what,
                         std::chrono::milliseconds span, Stop stop) {
        auto until = std::chrono::steady_clock::now() + span;
        while (!stop()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            drain_sleep(lock, what, static_cast<int>(left));
        }
        return true;
    }

    // Everything kept was taken: the waiters without a tag look again (one
    // by tag learnt of its reply when it was kept). The notification of
    // the asyncio loops stays readable until quiet(): a loop whose look is
    // cut short between the take and waking its waits looks again.
    void taken_locked() {
        untaken_ = false;
        ++generation_;
        wake_untagged_locked();
    }

    void signal_locked() {
        if (!signalled_ && notify_fd_ >= 0) {
            signal_fd(notify_fd_);
            signalled_ = true;
        }
    }

    // One look at the pipe by its reader: waits up to `ms` (negative: no
    // limit) for data, reads and sorts what is there. A readable `stop_fd`
    // (the drain thread's wake descriptor, a waiter's closing_fd_) or
    // `look_fd` (a waiter's look_fd_) ends the look. Reading the pipe's end
    // ends the drain.
    void read_step(int ms, int stop_fd, int look_fd = -1) {
        if (writer_ != nullptr && !writer_->has_room()) {
            // Past the bound of queued output nothing is read: the program's
            // writes wait, as they would on the full output itself.
            double start = monotonic_now();
            bool woken = false;
            bool room = writer_->wait_room(ms, stop_fd, woken);
            if (!room || woken) return;   // the wake is left to its reader
            if (ms > 0) {
                ms -= static_cast<int>((monotonic_now() - start) * 1000);
                if (ms <= 0) return;
            }
        }
        pollfd fds[3] = {{read_fd_, POLLIN, 0}, {stop_fd, POLLIN, 0}, {look_fd, POLLIN, 0}};
        const nfds_t count = look_fd >= 0 ? 3 : stop_fd >= 0 ? 2 : 1;
        auto stopped = [&] {
            return (fds[1].revents & POLLIN) || (count > 2 && (fds[2].revents & POLLIN));
        };
        if (ms != 0) {   // a waiter usually comes before its answer: poll first
            int woke = poll(fds, count, ms);
            if (woke < 0 && errno != EINTR) return;
            if (woke == 0 || stopped()) return;
        }
        for (;;) {
            ssize_t n = ::read(read_fd_, buffer_.data(), buffer_.size());
            if (n > 0) {
                take_in(buffer_.data(), static_cast<size_t>(n));
                return;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                end();
                return;
            }
            if (errno == EINTR) continue;
            if (ms == 0) return;
            int woke = poll(fds, count, ms);
            if (woke <= 0 || stopped()) return;   // time is up, or someone wants the pipe or a look
        }
    }

    void end() {
        std::string_view unfinished = sorter_.unfinished();   // an unfinished last line
        if (!unfinished.empty()) forward(unfinished.data(), unfinished.size());
        sorter_.forget_unfinished();
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = untaken_ = true;
        if (watchers_ > 0) signal_locked();
        wake_all_locked();
        wake_drain_locked(kBlocked | kLingering);
    }

    // The drain thread: reads the pipe whenever no waiter does. A waiter
    // that leaves usually comes back at once with its next wait, so the
    // thread lets kLinger pass before it takes the pipe again.
    void run() {
        run_loop();
        std::lock_guard<std::mutex> lock(mu_);
        stopped_ = true;
        done_cv_.notify_all();
    }

    void run_loop() {
        for (;;) {
            int ms = -1;
            {
                std::unique_lock<std::mutex> lock(mu_);
                for (;;) {
                    ms = -1;
                    if (ended_) return;
                    if (closing_) {
                        if (may_take_locked(Reader::drain)) break;
                    } else if (wanting_ == 0 && reader_ == Reader::nobody) {
                        if (watchers_ > 0) {
                            // Asyncio loops read the pipe themselves; this
                            // thread reads only what they leave there.
                            auto stop = [&] { return closing_ || watchers_ == 0 || wanting_ > 0; };
                            if (drain_sleep_for(lock, kLingering, kLinger, stop) ||
                                reader_ != Reader::nobody) {
                                continue;
                            }
                            ms = 0;
                            break;
                        }
                        if (!released_) break;
                        released_ = false;
                        drain_sleep_for(lock, kLingering, kLinger, [&] { return closing_; });
                        continue;
                    }
                    drain_sleep(lock, kBlocked, -1);
                }
                take_pipe_locked(Reader::drain);
                if (closing_) {
                    double left = close_deadline_ - monotonic_now();
                    ms = left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
                }
                drain_listens_locked(kReading);
            }
            read_step(ms, wake_fd_);
            std::lock_guard<std::mutex> lock(mu_);
            drain_heard_locked();
            leave_pipe_locked(Reader::drain);
            if (closing_ && !ended_ && monotonic_now() > close_deadline_) {
                take_pipe_locked(Reader::drain);   // a writer that never stops: done after the grace
                break;
            }
        }
        // Past the grace period: the drain ends though the pipe has a writer,
        // or standard output took nothing more. What the pipe holds now is
        // sorted and queued whatever the bound, so that nothing printed
        // before the close is lost.
        take_rest();
        end();
    }

    // Reads what the pipe holds now, and no more (a writer that never
    // stops could keep it full for ever).
    void take_rest() {
        int held = 0;
        if (ioctl(read_fd_, FIONREAD, &held) != 0 || held <= 0) return;
        size_t left = static_cast<size_t>(held);
        while (left > 0) {
            ssize_t n = ::read(read_fd_, buffer_.data(), std::min(left, buffer_.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            take_in(buffer_.data(), static_cast<size_t>(n));
            left -= static_cast<size_t>(n);
        }
    }

    // Sorts what was read: replies and closed lines are kept, the other
    // lines forwarded (or kept, keep_output). Out of memory, everything
    // from there on passes on as it is, and the next wait says why no
    // reply comes.
    void take_in(const char* data, size_t size) {
        if (sorter_.raw() || keep_failed_) {
            forward(data, size);
            return;
        }
        SortedLines sorted;
        const bool whole = sorter_.feed(data, size, sorted);
        if (!keep(sorted)) {
            keep_failed_ = true;
            forward_kept(sorted);   // in the order of the sorted lines, or near it
        } else if (!keep_output_ && !sorted.output.empty()) {
            forward(sorted.output.data(), sorted.output.size());
        }
        if (!whole || keep_failed_) {
            // What the sorter holds passes on too: the bytes it did not sort,
            // or (when keeping failed) the start of an unfinished line.
            const std::string_view carried[] = {
                whole ? sorter_.unfinished() : sorter_.unsorted_carried(), sorter_.unsorted_rest()};
            for (std::string_view bytes : carried) {
                if (!bytes.empty()) forward(bytes.data(), bytes.size());
            }
            sorter_.forget_unfinished();
            failed("out of memory while keeping replies");
        }
    }

    // What keep() could not keep, passed on instead: the lines to pass on
    // (with echo or keep_output all lines, in order), else those and then
    // the replies and closed lines as the lines they came as.
    void forward_kept(const SortedLines& sorted) {
        forward(sorted.output.data(), sorted.output.size());
        if (echo_ || keep_output_) return;
        std::string_view texts(sorted.texts);
        while (!texts.empty()) {
            size_t line = texts.find('\n') + 1;
            forward(sonvex::core::kReceived.data(), sonvex::core::kReceived.size());
            forward(texts.data(), line);
            texts.remove_prefix(line);
        }
        for (uint64_t i = 0; i < sorted.closed; ++i) {
            forward(sonvex::core::kConnectionClosed.data(), sonvex::core::kConnectionClosed.size());
        }
    }

    void failed(const char* why) {
        std::lock_guard<std::mutex> lock(mu_);
        if (failure_.empty()) failure_ = why;
        untaken_ = true;
        if (watchers_ > 0) signal_locked();
        wake_all_locked();
    }

    // Keeps the replies and closed lines sorted (and with keep_output the
    // output); false when memory ran out, with nothing kept.
    bool keep(SortedLines& sorted) {
        const bool output = keep_output_ && !sorted.output.empty();
        if (sorted.replies == 0 && sorted.closed == 0 && !output) return true;
        std::lock_guard<std::mutex> lock(mu_);
        bool added = false;
        try {
            if (sorted.replies != 0) {
                batches_.emplace_back();
                added = true;
            }
            if (output) output_.append(sorted.output);
        } catch (const std::bad_alloc&) {
            if (added) batches_.pop_back();
            return false;
        }
        if (sorted.replies != 0) {
            Batch& batch = batches_.back();
            batch.time = monotonic_now();
            batch.texts.swap(sorted.texts);
            batch.lines = sorted.replies;
            batch.tag = sorted.last_tag;
            wake_tagged_locked(batch);   // (before the oldest may go below)
        }
        closed_ += sorted.closed;
        if (sorted.replies != 0) {
            kept_lines_ += sorted.replies;
            // At most max_lines_ replies wait here for a taker; the oldest
            // go first, counted as dropped.
            while (kept_lines_ > max_lines_) {
                Batch& first = batches_.front();
                size_t excess = kept_lines_ - max_lines_;
                if (excess >= first.lines) {
                    kept_lines_ -= first.lines;
                    dropped_ += first.lines;
                    batches_.pop_front();
                    continue;
                }
                for (size_t i = 0; i < excess; ++i) {
                    first.start = first.texts.find('\n', first.start) + 1;
                }
                first.lines -= excess;
                kept_lines_ -= excess;
                dropped_ += excess;
            }
        }
        untaken_ = true;
        if (watchers_ > 0 && reader_ != Reader::pump) signal_locked();   // a pumping loop looks anyway
        wake_untagged_locked();
        return true;
    }

    // Passes bytes on to the original standard output: the writer's queue
    // takes them at once, whatever the output does (see read_step for the
    // bound).
    void forward(const char* data, size_t size) {
        if (writer_ != nullptr && size > 0) writer_->put(data, size);
    }

    const int read_fd_;
    const int forward_fd_;
    const bool echo_;
    const bool keep_output_;   // every line kept in output_ instead of written out
    const size_t max_lines_;
    const size_t max_queued_;   // bytes of pass-through output queued before reads wait
    const pid_t owner_;
    dev_t pipe_dev_ = 0;
    ino_t pipe_ino_ = 0;
    int wake_fd_ = -1;      // readable: the drain thread looks again (wake_drain_locked)
    int closing_fd_ = -1;   // readable once closing: a waiter lets go of the pipe
    int look_fd_ = -1;      // readable: the waiter reading the pipe looks again (put_back)
    int notify_fd_ = -1;
    int watch_fd_ = -1;   // the pipe's read end again, for asyncio loops to watch
    std::thread* thread_ = nullptr;
    std::shared_ptr<Writer> writer_;   // null when nothing is passed on (log, no output)
    bool finished_ = false;   // only the threads calling finish() touch it

    // Only the reader of the pipe (reader_) touches these.
    std::vector<char> buffer_ = std::vector<char>(kReadSize);
    ReplySorter sorter_;
    bool keep_failed_ = false;   // out of memory keeping: everything passes on as it is

    // Shared, under mu_.
    std::mutex mu_;
    Waiter* untagged_ = nullptr;         // the waiters without a tag, a list
    std::unordered_multimap<uint64_t, Waiter*> by_tag_;   // the waiters by tag
    std::condition_variable done_cv_;    // finish() waits for the drain thread to stop
    bool stopped_ = false;               // the drain thread has stopped
    Reader reader_ = Reader::nobody;
    unsigned drain_sleep_ = kAwake;   // what the drain thread waits for (DrainSleep)
    std::deque<Batch> batches_;
    size_t kept_lines_ = 0;
    uint64_t closed_ = 0, dropped_ = 0, generation_ = 0;
    uint64_t taken_closed_ = 0, taken_dropped_ = 0;   // as the last take() gave them
    bool untaken_ = false, ended_ = false, closing_ = false, signalled_ = false, done_ = false;
    bool released_ = false;   // the last waiter just left
    bool look_signalled_ = false;   // look_fd_ is readable
    int wanting_ = 0;         // waiters inside wait()
    int watchers_ = 0;
    double close_deadline_ = 0;
    std::string failure_;
    std::string output_;
};

// --- the Python type ------------------------------------------------------

struct DrainObject {
    PyObject_HEAD
    Drain* drain;
};

// A new reference that the destructor gives back.
class Ref {
public:
    explicit Ref(PyObject* object) : object_(object) {}
    ~Ref() { Py_XDECREF(object_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_;
};

Drain* live(PyObject* self) {
    Drain* drain = reinterpret_cast<DrainObject*>(self)->drain;
    if (drain == nullptr) PyErr_SetString(PyExc_ValueError, "the drain is closed");
    return drain;
}

// live() for the methods that take the drain's lock or read its pipe. In a
// forked child the drain thread does not exist, the pipe is the parent's
// and the lock is a copy that a thread of the parent may have held at the
// fork: RuntimeError naming the process the drain belongs to, rather than
// a take of the parent's replies or a wait for ever.
Drain* live_here(PyObject* self) {
    Drain* drain = live(self);
    if (drain != nullptr && drain->owner() != this_process()) {
        PyErr_Format(PyExc_RuntimeError,
                     "this ReplyTap belongs to process %ld, which this process (a fork of it, "
                     "pid %ld) cannot wait on; start a tap of its own after the fork",
                     static_cast<long>(drain->owner()), static_cast<long>(getpid()));
        return nullptr;
    }
    return drain;
}

PyTypeObject* drain_type = nullptr;

PyObject* drain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"read_fd", "forward_fd", "echo", "max_lines", "keep_output",
                                  "max_queued", nullptr};
    int read_fd, forward_fd, echo, keep_output;
    Py_ssize_t max_lines, max_queued = Py_ssize_t{16} << 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iipnp|n:Drain", const_cast<char**>(names),
                                     &read_fd, &forward_fd, &echo, &max_lines, &keep_output,
                                     &max_queued)) {
        return nullptr;
    }
    if (read_fd < 0 || max_lines < 0 || max_queued < 0) {
        PyErr_SetString(PyExc_ValueError, "read_fd, max_lines and max_queued must be 0 or more");
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (self.get() == nullptr) return nullptr;
    Drain* drain = new (std::nothrow) Drain(read_fd, forward_fd, echo != 0,
                                            static_cast<size_t>(max_lines), keep_output != 0,
                                            static_cast<size_t>(max_queued));
    if (drain == nullptr) return PyErr_NoMemory();
    int error = drain->open();
    if (error != 0) {
        delete drain;
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    reinterpret_cast<DrainObject*>(self.get())->drain = drain;
    return self.release();
}

void drain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Drain* drain = reinterpret_cast<DrainObject*>(self)->drain;
    reinterpret_cast<DrainObject*>(self)->drain = nullptr;
    delete drain;   // the thread never needs the interpreter: joined safely here
    type->tp_free(self);
    Py_DECREF(type);
}

// The tag to take a reply by, from Python, into `tag`: 1; 0 for a tag no
// client sends (negative, too large); -1 with an exception set.
int tag_of(PyObject* tag_object, uint64_t& tag) {
    unsigned long long value = PyLong_AsUnsignedLongLong(tag_object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        return 0;
    }
    tag = value;
    return 1;
}

// Appends (generation after the take, time, text) of a reply taken by tag
// to the list `box` and returns `result` (2 from wait, True from take_tag).
// The reply is in the caller's box before control returns to Python, so a
// signal handler that raises right after the call cannot lose it: the
// caller's clean-up finds it there and puts it back.
PyObject* hand_over(const Batch& batch, uint64_t generation, PyObject* box, long result) {
    const char* text = batch.texts.data() + batch.start;
    Ref decoded(PyUnicode_DecodeUTF8(
        text, static_cast<Py_ssize_t>(batch.texts.size() - batch.start - 1), "replace"));
    if (decoded.get() == nullptr) return nullptr;
    Ref entry(Py_BuildValue("(KdO)", static_cast<unsigned long long>(generation), batch.time,
                            decoded.get()));
    if (entry.get() == nullptr || PyList_Append(box, entry.get()) != 0) return nullptr;
    return result == 2 ? PyLong_FromLong(2) : PyBool_FromLong(result);
}

// wait(seen, timeout[, look[, tag, box]]) -> 1 ready, 0 timed out, -1 timed
// out and descriptor 1 is no longer the pipe (not looked at when look is
// false; a replaced descriptor usually ends the pipe, which makes the wait
// ready). timeout < 0: no limit. With a tag (an int from 0 up), a reply with
// that tag that is all there is to take is taken at once, appended to the
// list `box` as (generation after the take, time, text), and 2 returned.
PyObject* drain_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    if (nargs != 2 && nargs != 3 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "wait(seen, timeout[, look[, tag, box]])");
        return nullptr;
    }
    if (nargs == 5 && !PyList_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "box must be a list");
        return nullptr;
    }
    int look = 1;
    if (nargs >= 3 && (look = PyObject_IsTrue(args[2])) < 0) return nullptr;
    unsigned long long seen = PyLong_AsUnsignedLongLong(args[0]);
    if (seen == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    double timeout = PyFloat_AsDouble(args[1]);
    if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    uint64_t tag = 0;
    int tagged = nargs == 5 ? tag_of(args[3], tag) : 0;
    if (tagged < 0) return nullptr;
    bool ready;
    Batch direct{};
    uint64_t took = 0;
    Py_BEGIN_ALLOW_THREADS
    if (tagged > 0) {
        ready = drain->wait(seen, timeout, tag, &direct, &took);
    } else {
        ready = drain->wait(seen, timeout);
    }
    Py_END_ALLOW_THREADS
    if (took != 0) return hand_over(direct, took, args[4], 2);
    if (look && !ready && !drain->descriptor_is_ours()) return PyLong_FromLong(-1);
    return PyLong_FromLong(ready ? 1 : 0);
}

// take_tag(seen, tag, box) -> True with (generation, time, text) of the
// reply with that tag appended to `box` when it is all there is to take and
// nothing was taken since `seen`, else False (take() then takes in what
// there is).
PyObject* drain_take_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    if (nargs != 3 || !PyList_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "take_tag(seen, tag, box)");
        return nullptr;
    }
    unsigned long long seen = PyLong_AsUnsignedLongLong(args[0]);
    if (seen == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    uint64_t tag = 0;
    int tagged = tag_of(args[1], tag);
    if (tagged < 0) return nullptr;
    Batch direct{};
    uint64_t took = 0;
    if (tagged > 0 && drain->take_tagged(tag, seen, direct, took)) {
        return hand_over(direct, took, args[2], 1);
    }
    Py_RETURN_FALSE;
}

// take(inbox) -> the drain's count of takes; when something changed since
// the last take, first appends to the list `inbox`
// (batches, closed, dropped, ended, generation, failure, output):
// batches a list of (time, bytes of reply texts each ending with a line
// feed), or None when nothing new was kept; closed and dropped are totals;
// output the lines kept instead of written out (keep_output), or None.
// What was taken is in the caller's list before control returns to Python,
// where a signal handler may raise.
PyObject* drain_take(PyObject* self, PyObject* inbox) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    if (!PyList_Check(inbox)) {
        PyErr_SetString(PyExc_TypeError, "take(inbox): inbox must be a list");
        return nullptr;
    }
    Drain::Taken taken;
    if (!drain->take(taken)) return PyLong_FromUnsignedLongLong(taken.generation);
    PyObject* list_or_none = Py_None;
    if (taken.batches.empty()) {
        Py_INCREF(Py_None);
    } else {
        Ref list(PyList_New(static_cast<Py_ssize_t>(taken.batches.size())));
        if (list.get() == nullptr) return nullptr;
        Py_ssize_t i = 0;
        for (const Batch& batch : taken.batches) {
            Ref texts(PyBytes_FromStringAndSize(batch.texts.data() + batch.start,
                                                static_cast<Py_ssize_t>(batch.texts.size() - batch.start)));
            if (texts.get() == nullptr) return nullptr;
            Ref time(PyFloat_FromDouble(batch.time));
            if (time.get() == nullptr) return nullptr;
            PyObject* pair = PyTuple_Pack(2, time.get(), texts.get());
            if (pair == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i++, pair);   // steals pair
        }
        list_or_none = list.release();
    }
    Ref batches(list_or_none);
    PyObject* failure = nullptr;
    if (taken.failure.empty()) {
        Py_INCREF(Py_None);
        failure = Py_None;
    } else {
        failure = PyUnicode_FromStringAndSize(taken.failure.data(),
                                              static_cast<Py_ssize_t>(taken.failure.size()));
        if (failure == nullptr) return nullptr;
    }
    Ref failure_ref(failure);
    PyObject* output = Py_None;
    if (taken.output.empty()) {
        Py_INCREF(Py_None);
    } else {
        output = PyBytes_FromStringAndSize(taken.output.data(),
                                           static_cast<Py_ssize_t>(taken.output.size()));
        if (output == nullptr) return nullptr;
    }
    Ref output_ref(output);
    Ref entry(Py_BuildValue("(OKKOKOO)", batches.get(),
                            static_cast<unsigned long long>(taken.closed),
                            static_cast<unsigned long long>(taken.dropped),
                            taken.ended ? Py_True : Py_False,
                            static_cast<unsigned long long>(taken.generation), failure_ref.get(),
                            output_ref.get()));
    if (entry.get() == nullptr || PyList_Append(inbox, entry.get()) != 0) return nullptr;
    return PyLong_FromUnsignedLongLong(taken.generation);
}

// finish(grace) -> whether all output was written: stops the thread and
// waits for the queued output (see Drain::finish), running the signal
// handlers meanwhile. A handler that raises (KeyboardInterrupt) cuts the
// waits short (also on PyPy, whose PyErr_CheckSignals runs nothing: see
// run_signal_handlers): finish then returns at once with that exception, the thread
// stopped and the output left to the writer. The Drain itself is freed only
// with its Python object, so a thread still inside wait() is safe.
PyObject* drain_finish(PyObject* self, PyObject* arg) {
    DrainObject* object = reinterpret_cast<DrainObject*>(self);
    Drain* drain = object->drain;
    if (drain == nullptr) Py_RETURN_TRUE;
    double grace = PyFloat_AsDouble(arg);
    if (grace == -1.0 && PyErr_Occurred()) return nullptr;
    PyThreadState* state = PyEval_SaveThread();
    bool raised = false;
    bool whole = drain->finish(grace, [&] {
        PyEval_RestoreThread(state);
        raised = !sonvex::run_signal_handlers();
        state = PyEval_SaveThread();
        return raised;
    });
    PyEval_RestoreThread(state);
    if (raised) return nullptr;
    return PyBool_FromLong(whole);
}

PyObject* drain_watch(PyObject* self, PyObject* arg) {
    Drain* drain = live(self);
    if (drain == nullptr) return nullptr;
    long delta = PyLong_AsLong(arg);
    if (delta == -1 && PyErr_Occurred()) return nullptr;
    // (A forked child's loops never watched the parent's drain: a close
    // there that lets them go leaves the parent's count alone.)
    if (drain->owner() == this_process()) drain->watch(delta > 0 ? 1 : -1);
    Py_RETURN_NONE;
}

// A method without arguments that returns a descriptor of the drain.
template <int (Drain::*Member)() const>
PyObject* descriptor_of(PyObject* self, PyObject*) {
    Drain* drain = live(self);
    if (drain == nullptr) return nullptr;
    return PyLong_FromLong((drain->*Member)());
}

PyObject* drain_pump(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "pump() takes at most one argument");
        return nullptr;
    }
    int notify = nargs == 1 ? PyObject_IsTrue(args[0]) : 0;
    if (notify < 0) return nullptr;
    bool read;
    Py_BEGIN_ALLOW_THREADS
    read = drain->pump(notify != 0);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(read);
}

PyObject* drain_quiet(PyObject* self, PyObject*) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    drain->quiet();
    Py_RETURN_NONE;
}

PyObject* drain_pending(PyObject* self, PyObject*) {
    Drain* drain = live_here(self);
    if (drain == nullptr) return nullptr;
    return PyBool_FromLong(drain->pending());
}

PyMethodDef drain_methods[] = {
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drain_wait)), METH_FASTCALL,
     "wait(seen, timeout[, look[, tag, box]]) -> 1 ready, 0 timed out, -1 descriptor 1 "
     "replaced, 2 the reply with that tag appended to box as (generation, time, text)"},
    {"take", drain_take, METH_O,
     "take(inbox) -> generation; appends (batches, closed, dropped, ended, generation, failure, "
     "output) to inbox when something changed"},
    {"finish", drain_finish, METH_O,
     "finish(grace) -> whether all passed-on output was written: end the thread once the pipe "
     "is done"},
    {"watch", drain_watch, METH_O, "watch(+1 or -1): an asyncio loop watches notify_fd"},
    {"notify_fd", descriptor_of<&Drain::notify_fd>, METH_NOARGS,
     "the descriptor readable once a reply is kept"},
    {"take_tag", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drain_take_tag)),
     METH_FASTCALL, "take_tag(seen, tag, box) -> True with (generation, time, text) appended"},
    {"pump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drain_pump)),
     METH_FASTCALL,
     "pump([notify]): reads one chunk unless someone else reads; with notify, what it kept "
     "makes notify_fd readable"},
    {"quiet", drain_quiet, METH_NOARGS,
     "quiet(): the loops looked at everything taken; notify_fd is read unless more was kept"},
    {"pending", drain_pending, METH_NOARGS, "whether take() would bring something"},
    {"watch_fd", descriptor_of<&Drain::watch_fd>, METH_NOARGS,
     "the pipe's read end, for asyncio loops to watch"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot drain_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(drain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(drain_dealloc)},
    {Py_tp_methods, drain_methods},
    {Py_tp_doc, const_cast<char*>("Drain(read_fd, forward_fd, echo, max_lines, keep_output"
                                  "[, max_queued]): empties a ReplyTap's pipe on a thread of "
                                  "its own")},
    {0, nullptr},
};

PyType_Spec drain_spec = {
    "sonvex_replies._drain.Drain", sizeof(DrainObject), 0, Py_TPFLAGS_DEFAULT, drain_slots,
};

// Guard(reentrant=False): the lock of a tap (or of the sends of calls),
// taken and released only here, around a call: run(fn, *args, **kwargs)
// returns fn(*args, **kwargs) with the lock held and releases it however fn ends. A signal
// handler runs only in Python code, so it can land inside fn, whose
// exception this passes on after the release, or before or after run, when
// the lock is not held: it never leaves the lock held or releases it twice,
// which a `with` block can on PyPy (a handler may run between the end of
// the block and the call of __exit__). A thread that holds a guard and asks
// for it again (a signal handler that uses the tap while its thread is
// inside it) gets it again when the guard is reentrant and RuntimeError
// otherwise, rather than waiting for itself for ever. A wait for a guard
// that another thread holds runs signal handlers, so Ctrl-C ends it.
//
// In a forked child only the thread that forked exists: a guard that
// another thread held at the fork is free there, and its mutex and
// condition (which such a thread may have held or waited on) start anew
// (see guards_after_fork).
struct GuardObject {
    PyObject_HEAD
    std::mutex* mutex;   // over held, owner and depth
    std::condition_variable* freed;
    bool held;
    bool reentrant;
    unsigned long owner;
    long depth;
    GuardObject* prev;   // the list of live guards (all_guards)
    GuardObject* next;
};

unsigned long this_thread() { return static_cast<unsigned long>(PyThread_get_thread_ident()); }

// Every live guard, for the fork handlers; changed under guards_mu.
std::mutex guards_mu;
GuardObject* all_guards = nullptr;

void guards_before_fork() { guards_mu.lock(); }
void guards_after_fork_in_parent() { guards_mu.unlock(); }

// The forking thread holds guards_mu (guards_before_fork), so no guard is
// half-way into the list; the guards' own mutexes may be held by threads
// that the child does not have.
void guards_after_fork() {
    const unsigned long me = this_thread();   // the forking thread, the same in the child
    for (GuardObject* guard = all_guards; guard != nullptr; guard = guard->next) {
        new (guard->mutex) std::mutex();
        new (guard->freed) std::condition_variable();
        if (guard->held && guard->owner != me) {
            guard->held = false;
            guard->depth = 0;
        }
    }
    guards_mu.unlock();
}

// Takes the guard for this thread; -1 with an exception set when it cannot.
int guard_acquire(GuardObject* guard) {
    unsigned long me = this_thread();
    {
        std::lock_guard<std::mutex> lock(*guard->mutex);
        if (!guard->held) {
            guard->held = true;
            guard->owner = me;
            guard->depth = 1;
            return 0;
        }
        if (guard->owner == me) {
            if (guard->reentrant) {
                ++guard->depth;
                return 0;
            }
            PyErr_SetString(PyExc_RuntimeError,
                            "this thread is inside the ReplyTap already (a signal handler "
                            "that uses the tap while its thread is in a call of the tap)");
            return -1;
        }
    }
    while (true) {
        bool got;
        Py_BEGIN_ALLOW_THREADS
        {   // (the mutex is let go before the interpreter lock is taken back)
            std::unique_lock<std::mutex> lock(*guard->mutex);
            got = guard->freed->wait_for(lock, std::chrono::milliseconds(50),
                                         [guard] { return !guard->held; });
            if (got) {
                guard->held = true;
                guard->owner = me;
                guard->depth = 1;
            }
        }
        Py_END_ALLOW_THREADS
        if (got) return 0;
        if (!sonvex::run_signal_handlers()) return -1;
    }
}

// Gives the guard up once for this thread; false when it did not hold it.
bool guard_release(GuardObject* guard) {
    {
        std::lock_guard<std::mutex> lock(*guard->mutex);
        if (!guard->held || guard->owner != this_thread()) return false;
        if (--guard->depth > 0) return true;
        guard->held = false;
    }
    guard->freed->notify_one();
    return true;
}

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    int reentrant = 0;
    static const char* names[] = {"reentrant", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:Guard", const_cast<char**>(names),
                                     &reentrant)) {
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (self.get() == nullptr) return nullptr;
    auto* guard = reinterpret_cast<GuardObject*>(self.get());
    guard->mutex = new (std::nothrow) std::mutex;
    guard->freed = new (std::nothrow) std::condition_variable;
    if (guard->mutex == nullptr || guard->freed == nullptr) return PyErr_NoMemory();
    guard->reentrant = reentrant != 0;
    std::lock_guard<std::mutex> lock(guards_mu);
    guard->prev = nullptr;
    guard->next = all_guards;
    if (all_guards != nullptr) all_guards->prev = guard;
    all_guards = guard;
    return self.release();
}

void guard_dealloc(PyObject* self) {
    auto* guard = reinterpret_cast<GuardObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (guard->mutex != nullptr && guard->freed != nullptr) {   // (in the list)
        std::lock_guard<std::mutex> lock(guards_mu);
        (guard->prev != nullptr ? guard->prev->next : all_guards) = guard->next;
        if (guard->next != nullptr) guard->next->prev = guard->prev;
    }
    delete guard->freed;
    delete guard->mutex;
    type->tp_free(self);
    Py_DECREF(type);
}

// run(fn, *args, **kwargs) -> fn(*args, **kwargs), with the guard held
// meanwhile.
PyObject* guard_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "run(fn, *args, **kwargs)");
        return nullptr;
    }
    auto* guard = reinterpret_cast<GuardObject*>(self);
    if (guard_acquire(guard) < 0) return nullptr;
    PyObject* result = PyObject_Vectorcall(args[0], args + 1, static_cast<size_t>(nargs - 1),
                                           kwnames);
    guard_release(guard);
    return result;
}

// `with guard:` for code that a signal handler cannot interrupt in a way
// that matters; __exit__ releases only a guard this thread holds.
PyObject* guard_enter(PyObject* self, PyObject*) {
    if (guard_acquire(reinterpret_cast<GuardObject*>(self)) < 0) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* guard_exit(PyObject* self, PyObject*) {
    guard_release(reinterpret_cast<GuardObject*>(self));
    Py_RETURN_NONE;
}

// Whether this thread holds the guard.
PyObject* guard_mine(PyObject* self, PyObject*) {
    auto* guard = reinterpret_cast<GuardObject*>(self);
    std::lock_guard<std::mutex> lock(*guard->mutex);
    return PyBool_FromLong(guard->held && guard->owner == this_thread());
}

PyObject* guard_locked(PyObject* self, PyObject*) {
    auto* guard = reinterpret_cast<GuardObject*>(self);
    std::lock_guard<std::mutex> lock(*guard->mutex);
    return PyBool_FromLong(guard->held);
}

PyMethodDef guard_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard_run)),
     METH_FASTCALL | METH_KEYWORDS,
     "run(fn, *args, **kwargs) -> fn(*args, **kwargs) with the guard held meanwhile"},
    {"__enter__", guard_enter, METH_NOARGS, nullptr},
    {"__exit__", guard_exit, METH_VARARGS, nullptr},
    {"mine", guard_mine, METH_NOARGS, "whether this thread holds the guard"},
    {"locked", guard_locked, METH_NOARGS, "whether a thread holds the guard"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot guard_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guard_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_methods, guard_methods},
    {Py_tp_doc, const_cast<char*>("Guard(reentrant=False): a lock taken and released around "
                                  "a call, run(fn, *args)")},
    {0, nullptr},
};

PyType_Spec guard_spec = {
    "sonvex_replies._drain.Guard", sizeof(GuardObject), 0, Py_TPFLAGS_DEFAULT, guard_slots,
};

// The Drain object of `owner` (a tap, or an iteration over one, which
// holds it as _tap) once it is started, a new reference; null (no error
// set) when there is none. Plain attributes only: no Python code runs.
PyObject* drain_object_of(PyObject* owner) {
    Ref tap(PyObject_GetAttrString(owner, "_tap"));
    if (tap.get() == nullptr) PyErr_Clear();
    Ref drain(PyObject_GetAttrString(tap.get() != nullptr ? tap.get() : owner, "_native"));
    if (drain.get() == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (Py_TYPE(drain.get()) != drain_type) return nullptr;   // not started (None)
    return drain.release();
}

// What a wait took into `box` goes onto `orphans` while the exception set
// goes on, and the other waits of `owner`'s tap look again (see
// Drain::put_back), as they would for a reply newly kept; false (another
// exception set) when even the move fails.
// (PyList_Size rather than the macros throughout: PyPy's macros read a
// copy of the size that Python code changing the list leaves behind.)
bool hand_on(PyObject* orphans, PyObject* box, PyObject* owner) {
    if (PyList_Size(box) == 0) return true;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_ssize_t end = PyList_Size(orphans);
    if (PyList_SetSlice(orphans, end, end, box) != 0) {   // no memory: that error wins
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return false;
    }
    Ref held(owner != nullptr ? drain_object_of(owner) : nullptr);
    Drain* drain = held.get() != nullptr ? reinterpret_cast<DrainObject*>(held.get())->drain : nullptr;
    // (In a forked child the drain's lock may be held for good: its waits
    // raise there before they take anything.)
    if (drain != nullptr && drain->owner() == getpid()) drain->put_back();
    PyErr_Restore(type, value, traceback);
    return true;
}

// The reply in the box's last entry (number, reply, ...); None if empty.
PyObject* reply_in(PyObject* box) {
    Py_ssize_t size = PyList_Size(box);
    if (size == 0) Py_RETURN_NONE;
    PyObject* entry = PyList_GetItem(box, size - 1);
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) {
        PyErr_SetString(PyExc_SystemError, "a box entry is not (number, reply, ...)");
        return nullptr;
    }
    PyObject* reply = PyTuple_GET_ITEM(entry, 1);
    Py_INCREF(reply);
    return reply;
}

// Handed: what calling an asyncio method of ReplyTap (a Handing made with
// awaits=True) returns, an awaitable that runs the coroutine of its body,
// wait(self, box, *args, **kwargs), step by step (send, throw, close, as a
// coroutine does; asyncio tasks take it for one). When the body has ended,
// the reply in the box is the await's result, with no Python frame of the
// tap's in between; when the body raises (a signal handler, a
// cancellation, a timeout) or the await is closed or dropped before its
// end, the box's entries go onto the tap's _orphans first.
struct HandedObject {
    PyObject_HEAD
    PyObject* steps;     // the body's coroutine's __await__(); NULL once ended
    PyObject* box;
    PyObject* orphans;
    PyObject* owner;     // the tap (or iteration) whose method made it
    bool running;
};

PyTypeObject* handed_type = nullptr;

int handed_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    Py_VISIT(handed->steps);
    Py_VISIT(handed->box);
    Py_VISIT(handed->orphans);
    Py_VISIT(handed->owner);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Ends the await: what the box holds goes back to the tap unless `result`
// took it. The box is then left holding None, so that a reply the tap would
// hand to this await from now on (see module_hand) is refused and stays kept.
void handed_end(HandedObject* handed) {
    PyObject* box = handed->box;
    PyObject* orphans = handed->orphans;
    if (box != nullptr && orphans != nullptr && PyList_Size(box) > 0) {
        if (!hand_on(orphans, box, handed->owner)) {
            PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(handed));
        }
    }
    if (box != nullptr && PyList_Size(box) == 0) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyList_Append(box, Py_None) != 0) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(handed));
        PyErr_Restore(type, value, traceback);
    }
    Py_CLEAR(handed->steps);
    Py_CLEAR(handed->box);
    Py_CLEAR(handed->orphans);
    Py_CLEAR(handed->owner);
}

int handed_clear(PyObject* self) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    Py_CLEAR(handed->steps);
    Py_CLEAR(handed->box);
    Py_CLEAR(handed->orphans);
    Py_CLEAR(handed->owner);
    return 0;
}

// When the collector frees a cycle that holds the await (a task left
// pending in an event loop that was closed, say), this runs before any
// object of the cycle is cleared: a reply the tap handed to the await
// (module_hand) while it slept goes back to the tap, rather than away with
// the box when handed_clear drops it.
[[maybe_unused]] void handed_finalize(PyObject* self) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (handed->box == nullptr) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    handed_end(handed);
    PyErr_Restore(type, value, traceback);
}

void handed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (handed->box != nullptr) {   // (also marks an empty box ended)
        PyObject *type_, *value, *traceback;
        PyErr_Fetch(&type_, &value, &traceback);
        handed_end(handed);
        PyErr_Restore(type_, value, traceback);
    }
    handed_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// After a step that returned nothing: StopIteration ends the await with the
// reply in the box; any other exception hands the box back.
PyObject* handed_after(HandedObject* handed, PyObject* yielded) {
    handed->running = false;
    if (yielded != nullptr) return yielded;
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_StopIteration)) {
        handed_end(handed);
        return nullptr;
    }
    PyErr_Clear();
    Ref reply(reply_in(handed->box));
    if (reply.get() == nullptr) {
        handed_end(handed);
        return nullptr;
    }
    Ref stop(PyObject_CallOneArg(PyExc_StopIteration, reply.get()));
    if (stop.get() == nullptr) {
        handed_end(handed);
        return nullptr;
    }
    // The reply is the caller's from here on.
    if (PyList_SetSlice(handed->box, 0, PyList_Size(handed->box), nullptr) != 0) {
        handed_end(handed);
        return nullptr;
    }
    handed_end(handed);
    PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

// Whether a step may run now; false with an exception set if not.
bool handed_ready(HandedObject* handed) {
    if (handed->running) {
        PyErr_SetString(PyExc_ValueError, "this await of the ReplyTap is already running");
        return false;
    }
    if (handed->steps == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse an await of the ReplyTap that ended");
        return false;
    }
    handed->running = true;
    return true;
}

PyObject* handed_next(PyObject* self) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (!handed_ready(handed)) return nullptr;
    PyObject* steps = handed->steps;
    PyObject* yielded = Py_TYPE(steps)->tp_iternext(steps);
    return handed_after(handed, yielded);
}

PyObject* handed_send(PyObject* self, PyObject* value) {
    if (value == Py_None) return handed_next(self);
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (!handed_ready(handed)) return nullptr;
    Ref send(PyUnicode_InternFromString("send"));
    PyObject* yielded = send.get() == nullptr
                            ? nullptr
                            : PyObject_CallMethodObjArgs(handed->steps, send.get(), value, nullptr);
    return handed_after(handed, yielded);
}

PyObject* handed_throw(PyObject* self, PyObject* args) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (handed->steps == nullptr && !handed->running) {
        // Ended: the exception goes to the caller as a coroutine's would.
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
        if (PyExceptionInstance_Check(type)) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
        } else {
            PyErr_SetObject(type, value == Py_None ? nullptr : value);
        }
        return nullptr;
    }
    if (!handed_ready(handed)) return nullptr;
    Ref method(PyObject_GetAttrString(handed->steps, "throw"));
    PyObject* yielded = method.get() == nullptr ? nullptr : PyObject_Call(method.get(), args, nullptr);
    return handed_after(handed, yielded);
}

PyObject* handed_close(PyObject* self, PyObject*) {
    auto* handed = reinterpret_cast<HandedObject*>(self);
    if (handed->running) {
        PyErr_SetString(PyExc_ValueError, "this await of the ReplyTap is already running");
        return nullptr;
    }
    if (handed->steps == nullptr) Py_RETURN_NONE;
    handed->running = true;
    Ref closed(PyObject_CallMethod(handed->steps, "close", nullptr));
    handed->running = false;
    handed_end(handed);
    if (closed.get() == nullptr) return nullptr;
    Py_RETURN_NONE;
}

PyObject* handed_await(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyMethodDef handed_methods[] = {
    {"send", handed_send, METH_O, nullptr},
    {"throw", handed_throw, METH_VARARGS, nullptr},
    {"close", handed_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handed_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(handed_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handed_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handed_clear)},
#ifndef PYPY_VERSION   // (PyPy's cpyext aborts on a type with tp_finalize)
    {Py_tp_finalize, reinterpret_cast<void*>(handed_finalize)},
#endif
    {Py_tp_iter, reinterpret_cast<void*>(handed_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(handed_next)},
    {Py_am_await, reinterpret_cast<void*>(handed_await)},
    {Py_tp_methods, handed_methods},
    {0, nullptr},
};

PyType_Spec handed_spec = {
    "sonvex_replies._drain.Handed", sizeof(HandedObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, handed_slots,
};

// A Handed for the coroutine that the body returned.
PyObject* handed_for(PyObject* coroutine, PyObject* box, PyObject* orphans, PyObject* owner) {
    PyAsyncMethods* async = Py_TYPE(coroutine)->tp_as_async;
    Ref steps(async != nullptr && async->am_await != nullptr
                  ? async->am_await(coroutine)
                  : PyObject_CallMethod(coroutine, "__await__", nullptr));
    if (steps.get() == nullptr) return nullptr;
    if (Py_TYPE(steps.get())->tp_iternext == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the body's __await__ is not an iterator");
        return nullptr;
    }
    PyObject* self = PyType_GenericAlloc(handed_type, 0);
    if (self == nullptr) return nullptr;
    auto* handed = reinterpret_cast<HandedObject*>(self);
    handed->steps = steps.release();
    Py_INCREF(box);
    handed->box = box;
    Py_INCREF(orphans);
    handed->orphans = orphans;
    Py_INCREF(owner);
    handed->owner = owner;
    return self;
}

// Handing(wait, awaits=False): a method of ReplyTap (through a Python
// subclass, which carries the body's name, docstring and signature) whose
// body, wait(self, box, *args, **kwargs), takes a reply into the box. Called
// as tap.method(*args), it returns that reply straight to the caller, with
// no Python frame of the tap's in between where a signal handler could raise
// after the take; when the body raises, the box's entries go onto
// tap._orphans first. With awaits, the body is a coroutine function and the
// call returns a Handed that does the same for the await.
struct HandingObject {
    PyObject_HEAD
    PyObject* wait;
    PyObject* orphans_name;   // "_orphans", made once rather than at each call
    bool awaits;
};

PyObject* handing_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* wait;
    int awaits = 0;
    static const char* names[] = {"wait", "awaits", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:Handing", const_cast<char**>(names),
                                     &wait, &awaits)) {
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (self.get() == nullptr) return nullptr;
    auto* object = reinterpret_cast<HandingObject*>(self.get());
    Py_INCREF(wait);
    object->wait = wait;
    object->awaits = awaits != 0;
    object->orphans_name = PyUnicode_InternFromString("_orphans");
    if (object->orphans_name == nullptr) return nullptr;
    return self.release();
}

int handing_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* object = reinterpret_cast<HandingObject*>(self);
    Py_VISIT(object->wait);
    Py_VISIT(object->orphans_name);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int handing_clear(PyObject* self) {
    auto* object = reinterpret_cast<HandingObject*>(self);
    Py_CLEAR(object->wait);
    Py_CLEAR(object->orphans_name);
    return 0;
}

void handing_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    handing_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* handing_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

PyObject* handing_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "a ReplyTap method needs its tap");
        return nullptr;
    }
    auto* object = reinterpret_cast<HandingObject*>(self);
    if (object->wait == nullptr || object->orphans_name == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an uninitialised Handing");
        return nullptr;
    }
    PyObject* tap = PyTuple_GET_ITEM(args, 0);
    Ref orphans(PyObject_GetAttr(tap, object->orphans_name));
    if (orphans.get() == nullptr) return nullptr;
    if (!PyList_Check(orphans.get())) {
        PyErr_SetString(PyExc_TypeError, "the tap's _orphans is not a list");
        return nullptr;
    }
    Ref box(PyList_New(0));
    if (box.get() == nullptr) return nullptr;
    // wait(tap, box, *args[1:], **kwargs); the arguments are borrowed from
    // args and the box, which outlive the call.
    std::vector<PyObject*> call(static_cast<size_t>(nargs + 1));
    call[0] = tap;
    call[1] = box.get();
    for (Py_ssize_t i = 1; i < nargs; ++i) call[static_cast<size_t>(i + 1)] = PyTuple_GET_ITEM(args, i);
    Ref result(PyObject_VectorcallDict(object->wait, call.data(), call.size(), kwargs));
    if (result.get() == nullptr) {
        hand_on(orphans.get(), box.get(), tap);
        return nullptr;
    }
    if (object->awaits) return handed_for(result.get(), box.get(), orphans.get(), tap);
    return reply_in(box.get());
}

PyType_Slot handing_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(handing_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handing_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handing_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handing_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(handing_get)},
    {Py_tp_call, reinterpret_cast<void*>(handing_call)},
    {0, nullptr},
};

PyType_Spec handing_spec = {
    "sonvex_replies._drain.Handing", sizeof(HandingObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, handing_slots,
};

PyObject* module_report_at_exit(PyObject*, PyObject*) {
    Py_BEGIN_ALLOW_THREADS
    report_unwritten_at_exit();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// hand(box, entry, replies, number): moves the kept reply replies[number]
// into the box as `entry` when the box is empty (the await it belongs to
// has not ended: see handed_end) and the reply is still kept; whether it
// did. Both steps happen here, where no signal handler and no other
// thread can run between them, so the reply is never in both places.
PyObject* module_hand(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyList_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "hand(box: list, entry, replies, number)");
        return nullptr;
    }
    PyObject* box = args[0];
    if (PyList_Size(box) != 0) Py_RETURN_FALSE;
    int kept = PyDict_Check(args[2]) ? PyDict_Contains(args[2], args[3])
                                     : PySequence_Contains(args[2], args[3]);
    if (kept < 0) return nullptr;
    if (kept == 0) Py_RETURN_FALSE;
    if (PyList_Append(box, args[1]) != 0) return nullptr;
    if (PyObject_DelItem(args[2], args[3]) != 0) {
        // (cannot happen for a dict that holds the key) the box gives it up again
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyList_SetSlice(box, 0, PyList_Size(box), nullptr);
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// New references in a vector, freed with it unless list() hands them over.
struct Owned {
    std::vector<PyObject*> items;
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        for (PyObject* item : items) Py_DECREF(item);
    }
    // A list of them (the references move into it), or NULL with an
    // exception set. No Python code runs while its slots are being filled.
    PyObject* list() {
        PyObject* result = PyList_New(static_cast<Py_ssize_t>(items.size()));
        if (result == nullptr) return nullptr;
        for (size_t i = 0; i < items.size(); ++i) {
            PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), items[i]);   // (stolen)
        }
        items.clear();
        return result;
    }
};

// untracked(cls, texts, time): [cls(text, time) for text in texts], each
// made untracked by the cyclic collector at once. cls must be a class whose
// instances hold no reference that could lead back to them (the tap's
// Reply: a str, a float and what it parses from the str), so that they are
// never part of a cycle and freeing them is the reference count's work
// alone. A tap that keeps a million replies would otherwise have the
// collector walk each of them at every full collection, and promote those
// of a batch still being made at every collection of the younger
// generations, which brings the next full collection nearer: together a
// third of what the tap costs. Each is untracked before the next is made,
// so that no collection in between sees it. Not used on PyPy, whose
// collector has no such cost (and where a C loop over Python objects makes
// a C copy of each).
PyObject* module_untracked(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyType_Check(args[0]) || !PyList_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "untracked(cls, texts, time) takes a class and a list");
        return nullptr;
    }
    PyObject* cls = args[0];
    PyObject* texts = args[1];
    // Made into a vector first, the list only at the end: cls's __init__
    // runs Python code, during which another thread (or a handler) may
    // reach any list the collector knows (gc.get_objects()) and read its
    // items, and a list of slots not yet filled would crash it.
    Owned made;
    Py_ssize_t count = PyList_Size(texts);
    made.items.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // cls's __init__ runs Python code, which could change the list.
        if (i >= PyList_Size(texts)) {
            PyErr_SetString(PyExc_RuntimeError, "untracked(): the list of texts changed");
            return nullptr;
        }
        Ref text(PyList_GetItem(texts, i));
        Py_INCREF(text.get());
        PyObject* call[] = {text.get(), args[2]};
        PyObject* item = PyObject_Vectorcall(cls, call, 2, nullptr);
        if (item == nullptr) return nullptr;   // (a signal handler may raise in __init__)
        made.items.push_back(item);   // (reserved: cannot throw)
#ifndef PYPY_VERSION
        // (Never an object with a __dict__, which could come to refer
        // back to itself: a cycle the collector would then never free.)
        if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(cls) && PyObject_IS_GC(item) &&
            Py_TYPE(item)->tp_dictoffset == 0) {
            PyObject_GC_UnTrack(item);
        }
#endif
    }
    return made.list();
}

PyMethodDef module_methods[] = {
    {"hand", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_hand)),
     METH_FASTCALL,
     "hand(box, entry, replies, number): moves a kept reply into an empty box, in one step; "
     "whether it did"},
    {"untracked", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_untracked)),
     METH_FASTCALL, "untracked(cls, texts, time): [cls(text, time) for text in texts], which "
     "the cyclic collector leaves alone (instances of cls never refer back to themselves)"},
    {"report_at_exit", module_report_at_exit, METH_NOARGS,
     "report_at_exit(): at the interpreter's exit, lets queued output go out while standard "
     "output takes it and counts what it did not take on standard error"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef drain_module = {
    PyModuleDef_HEAD_INIT, "_drain", "The native part of sonvex_replies.ReplyTap.", 0,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit__drain() {
    // Initialised once; a second import (PyPy never calls this again,
    // CPython does with m_size 0) gets the same module.
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Ref module(PyModule_Create(&drain_module));
    if (module.get() == nullptr) return nullptr;
    current_pid.store(getpid(), std::memory_order_relaxed);
    pthread_atfork(nullptr, nullptr, note_pid_in_child);
    pthread_atfork(nullptr, nullptr, forget_writers_in_child);
    pthread_atfork(guards_before_fork, guards_after_fork_in_parent, guards_after_fork);
    std::atexit(report_unwritten_at_exit);
    Ref type(PyType_FromSpec(&drain_spec));
    if (type.get() == nullptr) return nullptr;
    drain_type = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyModule_AddObject(module.get(), "Drain", type.get()) != 0) return nullptr;
    type.release();   // stolen by PyModule_AddObject (the module keeps it alive for drain_type)
    Ref guard(PyType_FromSpec(&guard_spec));
    if (guard.get() == nullptr) return nullptr;
    if (PyModule_AddObject(module.get(), "Guard", guard.get()) != 0) return nullptr;
    guard.release();
    Ref handed(PyType_FromSpec(&handed_spec));
    if (handed.get() == nullptr) return nullptr;
    handed_type = reinterpret_cast<PyTypeObject*>(handed.get());
    if (PyModule_AddObject(module.get(), "Handed", handed.get()) != 0) return nullptr;
    handed.release();   // (the module keeps the type alive for handed_type)
    Ref handing(PyType_FromSpec(&handing_spec));
    if (handing.get() == nullptr) return nullptr;
    if (PyModule_AddObject(module.get(), "Handing", handing.get()) != 0) return nullptr;
    handing.release();
    Py_INCREF(module.get());
    cached_module = module.get();
    return module.release();
}
