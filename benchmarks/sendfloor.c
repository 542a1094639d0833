/* Floors for bench_wire.py: what plain system calls achieve on the same stream.
 *
 *   sendfloor sink                  listen on 127.0.0.1 (port on stdout), then for
 *                                   each connection read and discard until end of
 *                                   stream and print the byte count
 *   sendfloor send PORT N           connect, send N tagged CallMake lines with one
 *                                   send(2) each; prints the loop's seconds
 *   sendfloor copy PORT             connect, copy the stream to stdout with large
 *                                   reads, then write "Connection closed.\n"
 *
 * Built at run time by bench_wire.py; standard C and POSIX only.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

static int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static int sink(void) {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, (struct sockaddr *)&a, sizeof a) != 0 || listen(ls, 16) != 0 ||
        getsockname(ls, (struct sockaddr *)&a, &len) != 0) {
        perror("sink");
        return 1;
    }
    printf("%d\n", ntohs(a.sin_port));
    fflush(stdout);
    static char buf[1 << 20];
    for (;;) {
        int fd = accept(ls, NULL, NULL);
        if (fd < 0) return 1;
        unsigned long long total = 0;
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) total += (unsigned long long)n;
        close(fd);
        printf("%llu\n", total);
        fflush(stdout);
    }
}

static int send_lines(int port, long count) {
    int fd = connect_to(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);   /* as the client does */
    static const char prefix[] = "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=";
    char line[128];
    memcpy(line, prefix, sizeof prefix - 1);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long tag = 0; tag < count; tag++) {
        char digits[24];
        int d = 0;
        unsigned long long v = (unsigned long long)tag;
        do { digits[d++] = (char)('0' + v % 10); v /= 10; } while (v);
        size_t n = sizeof prefix - 1;
        while (d) line[n++] = digits[--d];
        line[n++] = '\n';
        size_t off = 0;
        while (off < n) {
            ssize_t s = send(fd, line + off, n - off, MSG_NOSIGNAL);
            if (s <= 0) { perror("send"); return 1; }
            off += (size_t)s;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    close(fd);
    printf("%.9f\n", (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9);
    return 0;
}

static int copy_stream(int port) {
    int fd = connect_to(port);
    static char buf[1 << 16];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
        if (write_all(1, buf, (size_t)n) != 0) return 1;
    static const char closed[] = "Connection closed.\n";
    return write_all(1, closed, sizeof closed - 1) != 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "sink") == 0) return sink();
    if (argc == 4 && strcmp(argv[1], "send") == 0) return send_lines(atoi(argv[2]), atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "copy") == 0) return copy_stream(atoi(argv[2]));
    fprintf(stderr, "usage: sendfloor sink | send PORT N | copy PORT\n");
    return 2;
}
