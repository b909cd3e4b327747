// A raw loopback HTTP client for the server's tests: bytes in, bytes out,
// so every header the server sends is visible. Linux only (unit tests).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

struct raw_conn {
    int fd = -1;

    explicit raw_conn(int port, int timeout_ms = 5000) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons((uint16_t)port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~raw_conn() {
        if (fd >= 0) close(fd);
    }
    raw_conn(const raw_conn &) = delete;
    raw_conn &operator=(const raw_conn &) = delete;

    bool send_all(const std::string &bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += (size_t)n;
        }
        return true;
    }

    // Reads one reply: the head, then Content-Length bytes of body. Returns
    // what arrived ("" when the server closed without answering or the wait
    // timed out).
    std::string read_reply() {
        std::string got;
        char buf[65536];
        size_t need = std::string::npos;
        while (need == std::string::npos || got.size() < need) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, (size_t)n);
            size_t end = got.find("\r\n\r\n");
            if (need == std::string::npos && end != std::string::npos) {
                size_t cl = got.find("Content-Length: ");
                size_t len = cl == std::string::npos ? 0 : strtoul(got.c_str() + cl + 16, nullptr, 10);
                need = end + 4 + len;
            }
        }
        return got;
    }

    // 1 when the server has closed the connection (EOF or reset) without
    // sending anything more.
    bool closed_without_reply() {
        char c;
        ssize_t n = ::recv(fd, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    std::string exchange(const std::string &request) {
        if (!send_all(request)) return "";
        return read_reply();
    }
};

inline std::string http_expect(int status, const char *reason, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
