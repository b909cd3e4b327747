/* The floor the agent channel is measured against: a minimal single-threaded
   epoll HTTP/1.1 server on 127.0.0.1. It reads each request whole (head, then
   as many body bytes as Content-Length says), answers {"ok":true} and keeps
   the connection open. No routing, no token, no limits: nothing but reading
   and answering, so whatever the add-in spends above it is its own.

       floor_server            prints the port it listens on, then serves
                               until killed

   A benchmark helper (bench/bench_exec_body.py), never part of the add-in. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

/* A read asks for at least this much: a 1 MiB body takes about 16 reads. */
#define FLOOR_READ_MIN 65536

static const char FLOOR_REPLY[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 12\r\n\r\n{\"ok\":true}\n";

struct floor_conn {
    int fd;
    char *buf;
    size_t len;  /* bytes held */
    size_t cap;
};

/* The length of the complete request at the start of c->buf, 0 while it is
   incomplete. */
static size_t floor_request_len(const struct floor_conn *c) {
    const char *end = memmem(c->buf, c->len, "\r\n\r\n", 4);
    if (!end) return 0;
    size_t head = (size_t)(end - c->buf) + 4;
    size_t body = 0;
    for (const char *p = c->buf; p < end;) {
        const char *eol = memmem(p, (size_t)(end + 2 - p), "\r\n", 2);
        if (!eol) break;
        if ((size_t)(eol - p) > 15 && strncasecmp(p, "Content-Length:", 15) == 0) body = strtoul(p + 15, NULL, 10);
        p = eol + 2;
    }
    return c->len >= head + body ? head + body : 0;
}

/* Reads what the socket holds and answers each complete request. 0 when the
   connection is over. */
static int floor_serve(struct floor_conn *c) {
    for (;;) {
        if (c->cap - c->len < FLOOR_READ_MIN) {
            size_t cap = c->cap ? c->cap * 2 : 2 * FLOOR_READ_MIN;
            while (cap - c->len < FLOOR_READ_MIN) cap *= 2;
            char *grown = realloc(c->buf, cap);
            if (!grown) return 0;
            c->buf = grown;
            c->cap = cap;
        }
        ssize_t n = recv(c->fd, c->buf + c->len, c->cap - c->len, 0);
        if (n == 0) return 0;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c->len += (size_t)n;
        size_t whole;
        while ((whole = floor_request_len(c)) != 0) {
            if (send(c->fd, FLOOR_REPLY, sizeof FLOOR_REPLY - 1, MSG_NOSIGNAL) != (ssize_t)(sizeof FLOOR_REPLY - 1))
                return 0;
            memmove(c->buf, c->buf + whole, c->len - whole);
            c->len -= whole;
        }
    }
}

int main(void) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (listener < 0 || bind(listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(listener, 128) != 0 ||
        getsockname(listener, (struct sockaddr *)&a, &alen) != 0) {
        perror("floor_server: listen");
        return 1;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev) != 0) {
        perror("floor_server: epoll");
        return 1;
    }
    printf("%d\n", ntohs(a.sin_port));
    fflush(stdout);
    for (;;) {
        struct epoll_event events[64];
        int n = epoll_wait(ep, events, 64, -1);
        if (n < 0 && errno != EINTR) return 1;
        for (int i = 0; i < n; i++) {
            struct floor_conn *c = events[i].data.ptr;
            if (!c) {
                int fd;
                while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    int one = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    c = calloc(1, sizeof *c);
                    if (!c) {
                        close(fd);
                        continue;
                    }
                    c->fd = fd;
                    struct epoll_event cev = {.events = EPOLLIN, .data.ptr = c};
                    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev) != 0) {
                        close(fd);
                        free(c);
                    }
                }
                continue;
            }
            if (!floor_serve(c)) {
                close(c->fd);  /* leaves the epoll set with its last descriptor */
                free(c->buf);
                free(c);
            }
        }
    }
}
