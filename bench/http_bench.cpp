// Loopback round trips of the control server: /ping and a trivial /exec
// ({"op":"ping"}), over keep-alive connections, with 1 and with 16 clients at
// once, and /exec {"op":"eval","expr":"1+1"} with one; then the
// same server under a flood of N idle, N slow-head and N parked-body
// connections: the latency of /ping and of an authorised /exec on a fresh
// connection, and the process's resident memory against its idle size.
//
//     http_bench [SECONDS_PER_CASE] [N]     (defaults 3 and 1000)
//
// One /exec runs at a time: with 16 clients the others are answered busy
// (503), counted apart from failures. A failed fresh request says whether
// the connect was refused, the connection closed unanswered, or the status
// was not 200.
//
// Starts the real server and the real interpreter in this process (the
// add-in folder is assembled in a temp folder from the build's Python home
// and the repo's package) and prints requests per second and p50/p99.
// The client is this process's own: one blocking thread per connection,
// sharing the machine's cores with the server it measures, and timing each
// round trip from send to the last byte. Its figures compare runs of this
// benchmark with one another; they are not comparable with a load generator
// such as wrk (other process, event loop, pipelining, its own clock), and
// the output says so on its first line.
#include <arpa/inet.h>
#include <sys/resource.h>
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

// One request and its whole reply: the reply's status, or 0 when the send
// failed or the connection ended before the whole reply came.
int round_trip(int fd, const std::string &req, char *buf, size_t cap) {
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) return 0;
    size_t got = 0;
    size_t need = 0;
    for (;;) {
        ssize_t n = recv(fd, buf + got, cap - got - 1, 0);
        if (n <= 0) return 0;
        got += (size_t)n;
        buf[got] = 0;
        if (!need) {
            char *end = strstr(buf, "\r\n\r\n");
            if (!end) continue;
            char *cl = strstr(buf, "Content-Length: ");
            need = (size_t)(end + 4 - buf) + (cl ? strtoul(cl + 16, nullptr, 10) : 0);
        }
        if (got >= need) return strncmp(buf, "HTTP/1.1 ", 9) == 0 ? atoi(buf + 9) : 0;
    }
}

void run_case(const char *name, int port, const std::string &req, int clients, double seconds) {
    std::vector<std::vector<double>> lat(clients);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, busy{0};
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
                int status = round_trip(fd, req, buf, sizeof buf);
                if (status == 503) {  // one /exec at a time: the others are told busy
                    busy++;
                    continue;
                }
                if (status != 200) {
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
    printf("%-6s clients=%-2d %9.0f req/s  p50 %7.1f us  p99 %7.1f us  (n=%zu, failures %d, busy %d)\n", name,
           clients, (double)all.size() / elapsed, all[all.size() / 2], all[all.size() * 99 / 100], all.size(),
           failures.load(), busy.load());
}

// Resident set size of this process in MiB.
double rss_mib() {
    FILE *f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return (double)resident * (double)sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

// Latency of `count` requests, each on a connection of its own (as an agent
// makes them), in microseconds: p50 and p99, and the worst.
void fresh_case(const char *name, int port, const std::string &req, int count) {
    std::vector<double> lat;
    int refused = 0, cut = 0, other = 0;  // connect failed; closed before the reply; a status not 200
    char buf[65536];
    for (int i = 0; i < count; i++) {
        auto t0 = clock_type::now();
        int fd = connect_loopback(port);
        int status = fd < 0 ? -1 : round_trip(fd, req, buf, sizeof buf);
        if (status == 200) lat.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
        else ++(status < 0 ? refused : status == 0 ? cut : other);
        if (fd >= 0) close(fd);
    }
    int failures = refused + cut + other;
    std::sort(lat.begin(), lat.end());
    if (lat.empty()) {
        printf("  %-14s no successful request (failures %d)\n", name, failures);
        return;
    }
    printf("  %-14s p50 %8.1f us  p99 %8.1f us  max %8.1f us  (n=%zu, failures %d", name, lat[lat.size() / 2],
           lat[lat.size() * 99 / 100], lat.back(), lat.size(), failures);
    if (failures) printf(": %d refused, %d closed unanswered, %d not 200", refused, cut, other);
    printf(")\n");
}

// Opens n connections of one kind: idle (nothing sent), a head that never
// ends, or a body announced at 3 MB of which 1 MiB is sent. Returns the
// descriptors; the server may close them as it makes room.
std::vector<int> flood(int port, int n, int kind) {
    std::vector<int> fds;
    std::string head = "GET /ping HTTP/1.1\r\nHost: slow\r\nX-Pad: ";
    std::string body = "POST /exec HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n" + std::string(1 << 20, 'p');
    for (int i = 0; i < n; i++) {
        int fd = connect_loopback(port);
        if (fd < 0) continue;
        timeval tv{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (kind == 1) send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        if (kind == 2) send(fd, body.data(), body.size(), MSG_NOSIGNAL);
        fds.push_back(fd);
    }
    return fds;
}

void flood_cases(int port, const std::string &ping, const std::string &exec, int n) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < (rlim_t)(n + 256)) {
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, (rlim_t)(n + 256));
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double idle_rss = rss_mib();
    printf("flood: RSS idle %.1f MiB\n", idle_rss);
    const char *kinds[] = {"idle", "slow head", "parked 1 MiB body"};
    for (int kind = 0; kind < 3; kind++) {
        auto t0 = clock_type::now();
        std::vector<int> fds = flood(port, n, kind);
        double took = std::chrono::duration<double>(clock_type::now() - t0).count();
        printf("%d %s connections opened in %.2f s; RSS %.1f MiB (+%.1f)\n", (int)fds.size(), kinds[kind], took,
               rss_mib(), rss_mib() - idle_rss);
        fresh_case("/ping", port, ping, 200);
        fresh_case("/exec", port, exec, 200);
        printf("  RSS after the requests %.1f MiB (+%.1f)\n", rss_mib(), rss_mib() - idle_rss);
        for (int fd : fds) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    int flood_n = argc > 2 ? atoi(argv[2]) : 1000;
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
    std::string eval_body = "{\"op\":\"eval\",\"expr\":\"1+1\"}";
    std::string eval = "POST /exec HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer " + token +
                       "\r\nContent-Length: " + std::to_string(eval_body.size()) + "\r\n\r\n" + eval_body;
    printf("in-process client (blocking threads in the server's own process): figures compare runs of "
           "http_bench only, not comparable with wrk's\n");
    for (int clients : {1, 16}) {
        run_case("/ping", port, ping, clients, seconds);
        run_case("/exec", port, exec, clients, seconds);
        if (clients == 1) run_case("eval", port, eval, clients, seconds);
    }
    if (flood_n > 0) flood_cases(port, ping, exec, flood_n);
    http_server_stop();
    fs::remove_all(addin);
    return 0;
}
