// Writes and sends that a signal interrupts while they wait for room: the
// caller's on_interrupt decides whether they go on, and a send reports how
// much of its data went out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "core/connection.hpp"
#include "core/output.hpp"
#include "same_bytes.hpp"

using namespace sonvex::core;
using sonvex::testing::SameBytes;

namespace {

std::atomic<int> g_asked{0};
bool abandon() {
    ++g_asked;
    return false;
}
bool go_on() {
    ++g_asked;
    return true;
}

// SIGUSR1 with a handler that does nothing and without SA_RESTART, as
// Python installs its handlers: a blocking call it interrupts fails with
// EINTR or returns what it did so far.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        ::sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &old_);
        g_asked = 0;
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &old_, nullptr); }

    // Runs `call` on a thread of its own and signals that thread until the
    // call returns (the first signals may come before it blocks).
    template <class Call>
    static void interrupt(Call&& call) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            call();
            done = true;
        });
        while (!done) {
            ::pthread_kill(worker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        worker.join();
    }

private:
    struct sigaction old_ {};
};

// A socket pair whose first socket takes no further byte.
void fill(int fd) {
    const std::string block(65536, 'y');
    for (std::size_t size : {block.size(), std::size_t{1}})
        while (::send(fd, block.data(), size, MSG_DONTWAIT) > 0) {
        }
}

std::size_t drain(int fd) {
    std::size_t total = 0;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) total += static_cast<std::size_t>(n);
    return total;
}

}  // namespace

TEST(Interrupt, ASendAbandonedBeforeItsFirstByteSendsNothing) {
    InterruptingSignal signal;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fill(pair[0]);
    int result = 0;
    std::size_t sent = 99;
    InterruptingSignal::interrupt([&] { result = send_all(pair[0], "Line\n", abandon, &sent); });
    EXPECT_EQ(result, kAbandoned);
    EXPECT_EQ(sent, 0u);
    EXPECT_GT(g_asked, 0);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(Interrupt, ASendAbandonedWithinItsDataReportsThePartSent) {
    InterruptingSignal signal;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string big(16 << 20, 'x');  // far more than the socket holds
    int result = 0;
    std::size_t sent = 0;
    InterruptingSignal::interrupt([&] { result = send_all(pair[0], big, abandon, &sent); });
    EXPECT_EQ(result, kAbandoned);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, big.size());
    EXPECT_EQ(drain(pair[1]), sent);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(Interrupt, ASendWhoseCallerGoesOnSendsEverything) {
    InterruptingSignal signal;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string big(4 << 20, 'x');
    std::atomic<std::size_t> received{0};
    int result = -1;
    std::size_t sent = 0;
    InterruptingSignal::interrupt([&] {
        // The peer reads only after a few interruptions.
        std::thread peer([&] {
            while (g_asked < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            char buffer[65536];
            ssize_t n;
            while (received < big.size() && (n = ::recv(pair[1], buffer, sizeof buffer, 0)) > 0)
                received += static_cast<std::size_t>(n);
        });
        result = send_all(pair[0], big, go_on, &sent);
        peer.join();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent, big.size());
    EXPECT_EQ(received, big.size());
    EXPECT_GE(g_asked, 3);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(Interrupt, AWriteWaitingForAFullPipeIsAbandonedWhole) {
    for (bool blocking : {true, false}) {
        InterruptingSignal signal;
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        ::fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
        const std::string block(4096, 'p');
        while (::write(pipe_fds[1], block.data(), block.size()) > 0) {
        }
        if (blocking) ::fcntl(pipe_fds[1], F_SETFL, 0);
        int result = 0;
        InterruptingSignal::interrupt(
            [&] { result = write_lines("a whole line\n", pipe_fds[1], abandon); });
        EXPECT_EQ(result, kAbandoned) << (blocking ? "blocking" : "non-blocking");
        ::close(pipe_fds[1]);
        std::string rest;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) rest.append(buffer, n);
        EXPECT_EQ(rest.find('a'), std::string::npos);  // nothing of the line went out
        ::close(pipe_fds[0]);
    }
}

TEST(Interrupt, TheRestOfAnAbandonedLineGoesOutBeforeTheNextLine) {
    InterruptingSignal signal;
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const std::string big = std::string(1 << 20, 'x') + "\n";  // far more than the pipe holds
    int result = 0;
    InterruptingSignal::interrupt([&] { result = write_lines(big, pipe_fds[1], abandon); });
    EXPECT_EQ(result, kAbandoned);
    std::string out;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    });
    EXPECT_EQ(write_lines("next line\n", pipe_fds[1]), 0);
    ::close(pipe_fds[1]);
    reader.join();
    ::close(pipe_fds[0]);
    EXPECT_PRED_FORMAT2(SameBytes, out, big + "next line\n");
}
