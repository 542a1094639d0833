/* Floors for bench_wire.py: what plain system calls achieve on the same stream.
 *
 *   sendfloor sink                  listen on 127.0.0.1 (port on stdout), then for
 *                                   each connection read and discard until end of
 *                                   stream and print the byte count
 *   sendfloor send PORT N           connect, send N tagged CallMake lines with one
 *                                   send(2) each; prints the loop's seconds
 *   sendfloor copy PORT             connect, copy the stream to stdout with large
 *                                   reads, then write "Connection closed.\n"
 *   sendfloor answer                listen on 127.0.0.1 (port on stdout) and answer
 *                                   every command line on every connection as the
 *                                   fake server does ("<word> OK COMMANDTAG=<n>\r\n"),
 *                                   the answers of one receive in one send, until
 *                                   end of file on stdin. "Gate <n> ..." is answered
 *                                   at once and holds the answers of the next n
 *                                   lines of its connection until the n-th has come;
 *                                   "Park ..." lines are answered only after the
 *                                   next "Unpark" line of their connection.
 *
 * Built at run time by the benchmarks (benchlib.py); standard C and POSIX only.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
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

/* One connection of the answering server: the part of a line not yet
   received whole, and answers held back by a gate. */
struct peer {
    int fd;
    size_t tail;
    long gated;               /* lines still to come before the held answers go */
    char *held;
    size_t held_size, held_cap;
    char *parked;             /* answers to Park lines, until Unpark */
    size_t parked_size, parked_cap;
    char line[1 << 16];
};

static int append(char **buf, size_t *size, size_t *cap, const char *p, size_t n) {
    if (*size + n > *cap) {
        size_t want = *cap ? *cap * 2 : 1 << 16;
        while (want < *size + n) want *= 2;
        char *grown = realloc(*buf, want);
        if (grown == NULL) return -1;
        *buf = grown;
        *cap = want;
    }
    memcpy(*buf + *size, p, n);
    *size += n;
    return 0;
}

/* The answer to one line (without its line feed) appended to out: its first
   word, " OK", its last "COMMANDTAG=<digits>" if any, CRLF. */
static int answer_line(const char *p, size_t n, char **out, size_t *size, size_t *cap) {
    size_t word = 0;
    while (word < n && p[word] != ' ' && p[word] != '\r') word++;
    static const char key[] = "COMMANDTAG=";
    size_t k = sizeof key - 1, tag = n, digits = 0;
    for (size_t i = n; i >= k; i--) {
        if (memcmp(p + i - k, key, k) == 0) {
            tag = i;
            while (tag + digits < n && p[tag + digits] >= '0' && p[tag + digits] <= '9') digits++;
            break;
        }
    }
    if (append(out, size, cap, p, word) || append(out, size, cap, " OK", 3)) return -1;
    if (digits && (append(out, size, cap, " COMMANDTAG=", 12) ||
                   append(out, size, cap, p + tag, digits)))
        return -1;
    return append(out, size, cap, "\r\n", 2);
}

static int answer(void) {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    int one = 1;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(ls, (struct sockaddr *)&a, sizeof a) != 0 || listen(ls, 1024) != 0 ||
        getsockname(ls, (struct sockaddr *)&a, &len) != 0) {
        perror("answer");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);   /* a client gone: its send fails, the server goes on */
    printf("listening on 127.0.0.1 %d\n", ntohs(a.sin_port));
    fflush(stdout);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, 0, &ev);            /* stdin: its end stops the server */
    static struct peer listener_mark;
    ev.data.ptr = &listener_mark;
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    static char buf[1 << 16];
    char *out = NULL;
    size_t out_cap = 0;
    for (;;) {
        struct epoll_event events[64];
        int ready = epoll_wait(ep, events, 64, -1);
        for (int e = 0; e < ready; e++) {
            struct peer *c = events[e].data.ptr;
            if (c == NULL) {
                if (read(0, buf, sizeof buf) <= 0) return 0;
                continue;
            }
            if (c == &listener_mark) {
                int fd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
                if (fd < 0) continue;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                struct peer *p = calloc(1, sizeof *p);
                p->fd = fd;
                ev.data.ptr = p;
                epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
                continue;
            }
            ssize_t n = recv(c->fd, buf, sizeof buf, 0);
            if (n <= 0) {
                close(c->fd);   /* also leaves the epoll set */
                free(c->held);
                free(c->parked);
                free(c);
                continue;
            }
            size_t out_size = 0;
            for (ssize_t i = 0; i < n; i++) {
                if (buf[i] != '\n') {
                    if (c->tail < sizeof c->line) c->line[c->tail++] = buf[i];
                    continue;
                }
                size_t size = c->tail;
                c->tail = 0;
                if (c->gated > 0) {
                    if (answer_line(c->line, size, &c->held, &c->held_size, &c->held_cap)) return 1;
                    if (--c->gated == 0) {
                        if (append(&out, &out_size, &out_cap, c->held, c->held_size)) return 1;
                        c->held_size = 0;
                    }
                    continue;
                }
                if (size > 5 && memcmp(c->line, "Park ", 5) == 0) {
                    if (answer_line(c->line, size, &c->parked, &c->parked_size, &c->parked_cap))
                        return 1;
                    continue;
                }
                if (answer_line(c->line, size, &out, &out_size, &out_cap)) return 1;
                if (size > 5 && memcmp(c->line, "Gate ", 5) == 0) c->gated = atol(c->line + 5);
                if (size >= 6 && memcmp(c->line, "Unpark", 6) == 0) {
                    if (append(&out, &out_size, &out_cap, c->parked, c->parked_size)) return 1;
                    c->parked_size = 0;
                }
            }
            if (out_size && write_all(c->fd, out, out_size) != 0) {
                close(c->fd);
                free(c->held);
                free(c->parked);
                free(c);
            }
        }
    }
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "sink") == 0) return sink();
    if (argc == 4 && strcmp(argv[1], "send") == 0) return send_lines(atoi(argv[2]), atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "copy") == 0) return copy_stream(atoi(argv[2]));
    if (argc == 2 && strcmp(argv[1], "answer") == 0) return answer();
    fprintf(stderr, "usage: sendfloor sink | send PORT N | copy PORT | answer\n");
    return 2;
}
