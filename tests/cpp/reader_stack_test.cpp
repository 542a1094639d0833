// The reader thread's stack: the reader runs on a small stack of its own
// (kReaderStack), so this measures how much of a stack the reader really
// uses, on every path it can take, and keeps that well within the size.
//
// Each path runs on a thread whose stack is a block of our own, filled with
// a pattern first; the deepest byte that no longer holds the pattern marks
// the use (the thread's own control block and TLS included, which glibc
// also takes from a stack of the requested size).
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "core/connection.hpp"
#include "core/reader.hpp"

using namespace sonvex::core;

namespace {

constexpr std::size_t kPainted = 1 << 20;
constexpr unsigned char kPattern = 0xA5;

// Runs `body` on a thread with a painted stack; the bytes of it used.
std::size_t stack_use(const std::function<void()>& body) {
    void* stack = std::aligned_alloc(4096, kPainted);
    std::memset(stack, kPattern, kPainted);
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstack(&attr, stack, kPainted);
    pthread_t thread;
    auto run = [](void* f) -> void* {
        (*static_cast<const std::function<void()>*>(f))();
        return nullptr;
    };
    EXPECT_EQ(::pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&body)), 0);
    ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&attr);
    // The stack grows down: the untouched bytes are at the low end.
    const auto* bytes = static_cast<const unsigned char*>(stack);
    std::size_t untouched = 0;
    while (untouched < kPainted && bytes[untouched] == kPattern) ++untouched;
    std::free(stack);
    return kPainted - untouched;
}

// The reader on a socket pair fed `input` by another thread, printing to
// `out_fd` (or to a pipe drained by another thread when out_fd is -1);
// `then` runs once those threads run, before the reader.
void read_into(const std::string& input, int out_fd, const std::function<void()>& then = {}) {
    int pair[2], out[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::thread drain;
    if (out_fd < 0) {
        ASSERT_EQ(::pipe(out), 0);
        out_fd = out[1];
        drain = std::thread([&] {
            char buffer[65536];
            while (::read(out[0], buffer, sizeof buffer) > 0) {
            }
        });
    }
    std::thread feed([&] {
        send_all(pair[1], input);
        ::close(pair[1]);
    });
    if (then) then();
    run_reader(pair[0], out_fd);
    feed.join();
    if (out[1] >= 0) {
        ::close(out[1]);
        drain.join();
        ::close(out[0]);
    }
}

}  // namespace

TEST(ReaderStack, EveryPathUsesWellUnderTheReadersStack) {
    // Writes to a pipe whose reader is gone fail instead of killing the test,
    // as in the interpreter, which ignores SIGPIPE.
    auto* const sigpipe = ::signal(SIGPIPE, SIG_IGN);
    // Lines of every kind: short and batched, longer than a batch (writev),
    // across receive buffers, ill-formed UTF-8 (repaired), white space to
    // trim, and a last line without a line feed.
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += " line " + std::to_string(i) + " \xc2\xa0\r\n";
    lines += std::string(100000, 'x') + "\n" + "bad \xff\xfe\xe2\x82 utf-8\n" + std::string(5000, 'y') +
             "\n\n\n" + "last";
    const std::size_t printing = stack_use([&] { read_into(lines, -1); });

    // Output that fails: the reader reports on standard error and stops.
    const std::size_t failing = stack_use([&] {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        ::close(out[0]);  // writes fail with EPIPE (SIGPIPE is ignored below)
        read_into("one\ntwo\n", out[1]);
        ::close(out[1]);
    });

    // A line that finds no memory: the reader throws, catches, reports and
    // prints "Connection closed.".
    rlimit before{};
    ::getrlimit(RLIMIT_AS, &before);
    const std::string huge(64 << 20, 'z');
    const std::size_t failing_memory = stack_use([&] {
        read_into(huge, -1, [&] {
            // Room for what is mapped now and a little more, not for the line.
            FILE* statm = std::fopen("/proc/self/statm", "r");
            unsigned long pages = 0;
            ASSERT_EQ(std::fscanf(statm, "%lu", &pages), 1);
            std::fclose(statm);
            rlimit limited = before;
            limited.rlim_cur = pages * 4096 + (16u << 20);
            ::setrlimit(RLIMIT_AS, &limited);
        });
        ::setrlimit(RLIMIT_AS, &before);
    });

    const std::size_t used = std::max({printing, failing, failing_memory});
    std::printf("reader stack use: %zu bytes printing, %zu with failing output, %zu out of "
                "memory; the reader's stack: %zu bytes\n",
                printing, failing, failing_memory, kReaderStack);
    EXPECT_LT(used * 2, kReaderStack);
    ::signal(SIGPIPE, sigpipe);
}
