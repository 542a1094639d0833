// The flush of pending output at exit: it writes what it can and ends
// within its limit, or at SIGINT, whether standard output takes no more
// bytes or another thread holds the output lock for good; it says how many
// bytes it could not write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/output.hpp"

using namespace sonvex::core;
using namespace std::chrono_literals;

namespace {

bool abandon() { return false; }

// A pipe whose write end (non-blocking) has room for one page only.
struct NearlyFullPipe {
    int read_end = -1, write_end = -1;
    std::string filled;   // what is in it

    NearlyFullPipe() {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        read_end = ends[0];
        write_end = ends[1];
        ::fcntl(write_end, F_SETFL, O_NONBLOCK);
        const std::string block(4096, 'y');
        while (::write(write_end, block.data(), block.size()) > 0) filled += block;
        char page[4096];
        EXPECT_EQ(::read(read_end, page, sizeof page), 4096);
        filled.erase(0, 4096);
    }
    ~NearlyFullPipe() {
        ::close(read_end);
        ::close(write_end);
    }

    // Everything in the pipe until `size` bytes came.
    std::string read_all(std::size_t size) const {
        std::string out;
        char buffer[65536];
        while (out.size() < size) {
            ssize_t n = ::read(read_end, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
};

// Leaves `rest` of `line` pending: the first page went out, then the writer
// gave up (as a signal handler that raises makes it).
std::size_t leave_pending(const NearlyFullPipe& pipe, const std::string& line) {
    EXPECT_EQ(write_lines(line, pipe.write_end, abandon), kAbandoned);
    return line.size() - 4096;
}

const std::string kLine = std::string(10000, 'x') + "\n";

// Reads what is left so that no later test finds anything pending.
void settle(NearlyFullPipe& pipe, std::size_t in_pipe) {
    std::thread reader([&] { pipe.read_all(in_pipe); });
    EXPECT_EQ(flush_pending(std::chrono::milliseconds(60'000)), 0u);
    reader.join();
}

}  // namespace

TEST(ExitFlush, NothingPendingIsNothingLeft) { EXPECT_EQ(flush_pending(0ms), 0u); }

TEST(ExitFlush, WritesWhatIsPendingWhenTheOutputTakesIt) {
    NearlyFullPipe pipe;
    const std::size_t rest = leave_pending(pipe, kLine);
    std::string got;
    std::thread reader([&] { got = pipe.read_all(pipe.filled.size() + kLine.size()); });
    EXPECT_EQ(flush_pending(60'000ms), 0u);
    reader.join();
    EXPECT_EQ(got, pipe.filled + kLine);
    EXPECT_GT(rest, 0u);
}

TEST(ExitFlush, EndsAtItsLimitWhenNoOneReads) {
    NearlyFullPipe pipe;
    const std::size_t rest = leave_pending(pipe, kLine);
    EXPECT_EQ(flush_pending(100ms), rest);
    settle(pipe, pipe.filled.size() + kLine.size());
}

TEST(ExitFlush, EndsAtItsLimitWhileAnotherThreadHoldsTheLockForGood) {
    NearlyFullPipe pipe;
    const std::size_t rest = leave_pending(pipe, kLine);
    // A writer that takes the lock and blocks writing the pending rest into
    // the full pipe (or waits for the lock the flush holds meanwhile).
    int other[2];
    ASSERT_EQ(::pipe(other), 0);
    std::thread holder([&] { write_lines("other\n", other[1]); });
    EXPECT_EQ(flush_pending(100ms), rest);
    settle(pipe, pipe.filled.size() + kLine.size());
    holder.join();
    char buffer[16];
    EXPECT_EQ(::read(other[0], buffer, sizeof buffer), 6);
    ::close(other[0]);
    ::close(other[1]);
}

TEST(ExitFlush, EndsAtSigint) {
    // A handler of the test's own, so that a SIGINT sent before the flush
    // catches it does not end the test; the flush puts it back after.
    struct sigaction quiet {}, old {};
    quiet.sa_handler = [](int) {};
    ::sigemptyset(&quiet.sa_mask);
    ::sigaction(SIGINT, &quiet, &old);
    NearlyFullPipe pipe;
    const std::size_t rest = leave_pending(pipe, kLine);
    std::atomic<bool> done{false};
    std::size_t left = 0;
    std::thread flusher([&] {
        left = flush_pending(std::chrono::hours(1));
        done = true;
    });
    while (!done) {
        ::pthread_kill(flusher.native_handle(), SIGINT);
        std::this_thread::sleep_for(2ms);
    }
    flusher.join();
    EXPECT_EQ(left, rest);
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, quiet.sa_handler);
    settle(pipe, pipe.filled.size() + kLine.size());
    ::sigaction(SIGINT, &old, nullptr);
}
