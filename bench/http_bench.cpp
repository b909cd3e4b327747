// Loopback round trips of the control server: /ping and a trivial /exec,
// over keep-alive connections, with 1 and with 16 clients at once.
//
//     http_bench [SECONDS_PER_CASE]
//
// Starts the real server and the real interpreter in this process (the
// add-in folder is assembled in a temp folder from the build's Python home
// and the repo's package) and prints requests per second and p50/p99.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "python_runtime.h"

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

namespace {

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole reply; false on any failure.
bool round_trip(int fd, const std::string &req, char *buf, size_t cap) {
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) return false;
    size_t got = 0;
    size_t need = 0;
    for (;;) {
        ssize_t n = recv(fd, buf + got, cap - got - 1, 0);
        if (n <= 0) return false;
        got += (size_t)n;
        buf[got] = 0;
        if (!need) {
            char *end = strstr(buf, "\r\n\r\n");
            if (!end) continue;
            char *cl = strstr(buf, "Content-Length: ");
            need = (size_t)(end + 4 - buf) + (cl ? strtoul(cl + 16, nullptr, 10) : 0);
        }
        if (got >= need) return strncmp(buf, "HTTP/1.1 200 ", 13) == 0;
    }
}

void run_case(const char *name, int port, const std::string &req, int clients, double seconds) {
    std::vector<std::vector<double>> lat(clients);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            int fd = connect_loopback(port);
            if (fd < 0) {
                failures++;
                return;
            }
            char buf[4096];
            for (int i = 0; i < 50; i++) round_trip(fd, req, buf, sizeof buf);  // warm-up
            while (!stop.load(std::memory_order_relaxed)) {
                auto t0 = clock_type::now();
                if (!round_trip(fd, req, buf, sizeof buf)) {
                    failures++;
                    break;
                }
                lat[c].push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
            }
            close(fd);
        });
    }
    auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
    double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    std::vector<double> all;
    for (auto &v : lat) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    if (all.empty()) {
        printf("%-6s clients=%-2d no successful request (failures %d)\n", name, clients, failures.load());
        return;
    }
    printf("%-6s clients=%-2d %9.0f req/s  p50 %7.1f us  p99 %7.1f us  (n=%zu, failures %d)\n", name, clients,
           (double)all.size() / elapsed, all[all.size() / 2], all[all.size() * 99 / 100], all.size(), failures.load());
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    char pattern[] = "/tmp/tindral-bench-XXXXXX";
    fs::path addin = mkdtemp(pattern);
    fs::create_directory_symlink(fs::path(TINDRAL_BINARY_DIR) / "python-home", addin / "python");
    fs::create_directory_symlink(fs::path(TINDRAL_SOURCE_DIR) / "python" / "tindral_xl", addin / "tindral_xl");
    fs::create_directories(addin / "cfg");
    setenv("XDG_CONFIG_HOME", (addin / "cfg").c_str(), 1);
    setenv("TMPDIR", addin.c_str(), 1);
    std::string narrow = addin.string();
    std::wstring dir(narrow.begin(), narrow.end());

    if (!http_server_start(dir.c_str())) {
        fprintf(stderr, "server did not start\n");
        return 1;
    }
    python_runtime_set_xll_dir(dir.c_str());
    if (!python_runtime_init(nullptr)) {
        fprintf(stderr, "python did not start (build the python_home target)\n");
        return 1;
    }
    python_runtime_release_start_lock();

    std::ifstream f(addin / "cfg" / "TindralXL" / "session.json");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    int port = atoi(text.c_str() + text.find("\"port\":") + 7);
    std::string token = text.substr(text.find("\"token\":\"") + 9, 64);

    std::string ping = "GET /ping HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::string body = "{\"op\":\"ping\"}";
    std::string exec = "POST /exec HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer " + token +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (int clients : {1, 16}) {
        run_case("/ping", port, ping, clients, seconds);
        run_case("/exec", port, exec, clients, seconds);
    }
    http_server_stop();
    fs::remove_all(addin);
    return 0;
}
