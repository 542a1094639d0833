// The socket layer on loopback and socket pairs: connecting, sending whole
// lines, half-closing, and the reader loop writing to a pipe.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "core/address.hpp"
#include "core/connection.hpp"
#include "core/output.hpp"
#include "core/reader.hpp"
#include "same_bytes.hpp"

using namespace sonvex::core;
using sonvex::testing::SameBytes;

namespace {

std::string read_all(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// A listening loopback socket on a free port.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
};

IpAddress loopback() { return *parse_ip_address("127.0.0.1"); }

}  // namespace

TEST(Connection, ConnectsWithNoDelayAndCloseOnExec) {
    Listener listener;
    int fd = -1;
    ASSERT_EQ(connect_tcp(loopback(), listener.port, fd), 0);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    int copy = -1;
    ASSERT_EQ(duplicate_descriptor(fd, copy), 0);
    EXPECT_TRUE(::fcntl(copy, F_GETFD) & FD_CLOEXEC);
    ::close(copy);
    ::close(fd);
}

TEST(Connection, RefusedConnectReportsTheErrno) {
    int port;
    {
        Listener gone;
        port = gone.port;
    }
    int fd = -1;
    EXPECT_EQ(connect_tcp(loopback(), static_cast<std::uint16_t>(port), fd), ECONNREFUSED);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(describe_os_error(ECONNREFUSED), "Connection refused (os error 111)");
}

TEST(Connection, SendAllWritesEverythingAndCloseEndsTheSendingDirection) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // More than a socket buffer holds, so sends are partial.
    std::string big(4 << 20, 'x');
    std::string received;
    std::thread reader([&] { received = read_all(pair[1]); });
    int reader_copy = ::dup(pair[0]);  // stands in for the reader thread's descriptor
    ASSERT_EQ(send_all(pair[0], big), 0);
    close_connection(pair[0], true);
    reader.join();  // end of stream although reader_copy is still open
    EXPECT_EQ(received.size(), big.size());
    ::close(reader_copy);
    ::close(pair[1]);
}

TEST(Connection, SendToAClosedPeerFailsWithoutSignal) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    EXPECT_EQ(send_all(pair[0], "GetVersion COMMANDTAG=0\n"), EPIPE);
    ::close(pair[0]);
}

TEST(Reader, PrintsEachLineThenConnectionClosed) {
    int pair[2], out[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::pipe(out), 0);
    std::string printed;
    std::thread drain([&] { printed = read_all(out[0]); });
    std::thread reader([&] { run_reader(pair[0], out[1]); });
    std::string input = "one\r\n\n  two \n" + std::string(20000, 'z') + "\nbad\xff\nlast";
    for (std::size_t i = 0; i < input.size(); i += 7000)
        ASSERT_EQ(send_all(pair[1], std::string_view(input).substr(i, 7000)), 0);
    ::close(pair[1]);
    reader.join();  // ends at end of stream and closes pair[0]
    ::close(out[1]);
    drain.join();
    const std::string expected = "Received: one\nReceived: \nReceived: two\nReceived: " +
                                 std::string(20000, 'z') +
                                 "\nReceived: bad\xEF\xBF\xBD\nReceived: last\nConnection closed.\n";
    EXPECT_PRED_FORMAT2(SameBytes, printed, expected);
    ::close(out[0]);
}

// What the reader writes at once, seen through a packet socket that keeps
// the boundaries of writes: whole lines, at most 4096 bytes a write, except
// a line longer than that, which comes in one write of its own.
TEST(Reader, WritesWholeLinesAtMostABatchAtATimeAndLongLinesAlone) {
    int pair[2], out[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, out), 0);
    int room = 8 << 20;
    ::setsockopt(out[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(out[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    std::string input, expected;
    for (std::size_t n : {1u, 100u, 4085u, 4086u, 4087u, 3000u, 3000u, 9000u, 20000u, 7u, 60000u}) {
        const std::string line(n, static_cast<char>('a' + n % 26));
        input += line + "\n";
        expected += "Received: " + line + "\n";
    }
    expected += "Connection closed.\n";
    std::vector<std::string> writes;
    std::thread collect([&] {
        std::vector<char> message(1 << 20);
        for (ssize_t n; (n = ::recv(out[0], message.data(), message.size(), 0)) > 0;)
            writes.emplace_back(message.data(), static_cast<std::size_t>(n));
    });
    std::thread reader([&] { run_reader(pair[0], out[1]); });
    ASSERT_EQ(send_all(pair[1], input), 0);  // in chunks of what the socket takes
    ::close(pair[1]);
    reader.join();
    ::close(out[1]);
    collect.join();
    std::string joined;
    for (const std::string& w : writes) {
        joined += w;
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(w.back(), '\n');
        // A write of more than 4096 bytes is one line alone.
        if (w.size() > 4096) {
            EXPECT_EQ(w.find('\n'), w.size() - 1) << w.size();
        }
    }
    EXPECT_PRED_FORMAT2(SameBytes, joined, expected);
    ::close(out[0]);
}

// The count of running readers, which a connect short of descriptors waits
// on.
TEST(Reader, RunningReadersAreCountedUntilTheyEnd) {
    const std::size_t before = running_readers();
    int pair[2], out[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(start_reader(pair[0], out[1]), 0);
    EXPECT_EQ(running_readers(), before + 1);
    EXPECT_FALSE(wait_for_fewer_readers(before + 1, 10));  // it waits on its socket
    ::close(pair[1]);                                       // and ends at end of stream
    EXPECT_TRUE(wait_for_fewer_readers(before + 1, 60000));
    EXPECT_EQ(running_readers(), before);
    ::close(out[1]);
    EXPECT_EQ(read_all(out[0]), "Connection closed.\n");
    ::close(out[0]);
}
