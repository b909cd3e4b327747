// What keeps the server answering whatever its clients or the process do:
// the connection cap, the head and idle deadlines, the cap on buffered
// bytes, the time-limit conversion, the busy answer, the session file's
// owner, what it says when logging is off, and a listener closed under the
// server.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_raw_client.h"
#include "http_server.h"
#include "http_server_exec.h"
#include "http_server_internal.h"
#include "xll_log.h"

namespace {

using namespace std::chrono_literals;

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "<missing>";
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

const std::string PING = "GET /ping HTTP/1.1\r\n\r\n";
const std::string PING_OK = http_expect(200, "OK", "{\"ok\":true}\n");

// True once the server has closed the connection (reads end of stream).
bool closed_by_server(raw_conn &c) {
    char b;
    ssize_t n = ::recv(c.fd, &b, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

class limits : public ::testing::Test {
  protected:
    std::string root, session, log;
    int port = 0;
    void SetUp() override {
        char tmpl[] = "/tmp/tindral_lim_XXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/cfg").c_str(), 0700);
        setenv("XDG_CONFIG_HOME", (root + "/cfg").c_str(), 1);
        setenv("TMPDIR", root.c_str(), 1);
        session = root + "/cfg/TindralXL/session.json";
        log = root + "/tindralxl.log";
    }
    void start(http_transport_limits l) {
        http_transport_set_limits(&l);
        ASSERT_EQ(http_server_start(L"/x"), 1);
        std::string s = read_file(session);
        port = atoi(s.c_str() + s.find("\"port\":") + 7);
    }
    void TearDown() override {
        http_server_stop();
        http_transport_set_limits(nullptr);
        std::string cmd = "rm -rf '" + root + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
};

constexpr http_transport_limits DEFAULTS = {HTTP_SERVER_HEAD_MS, HTTP_SERVER_IDLE_MS, HTTP_SERVER_MAX_CONNECTIONS,
                                            HTTP_SERVER_MAX_BUFFERED};

}  // namespace

TEST(exec_time_limit, reported_seconds_in_range_become_ms_rounded_up_never_zero) {
    unsigned ms = 0;
    EXPECT_EQ(http_server_exec_limit_ms(5, &ms), 1);
    EXPECT_EQ(ms, 5000u);
    EXPECT_EQ(http_server_exec_limit_ms(0.25, &ms), 1);
    EXPECT_EQ(ms, 250u);
    EXPECT_EQ(http_server_exec_limit_ms(3600, &ms), 1);
    EXPECT_EQ(ms, HTTP_EXEC_MAX_MS);
    EXPECT_EQ(http_server_exec_limit_ms(1e-300, &ms), 1);
    EXPECT_EQ(ms, 1u) << "a positive limit never becomes no limit";
    EXPECT_EQ(http_server_exec_limit_ms(0.0011, &ms), 1);
    EXPECT_EQ(ms, 2u) << "rounded up";
}

TEST(exec_time_limit, out_of_range_or_not_a_number_is_refused_and_leaves_ms_alone) {
    for (double bad : {0.0, -0.0, -1.0, 3600.001, 1e300, (double)HUGE_VAL, (double)-HUGE_VAL, (double)NAN}) {
        unsigned ms = 7;
        EXPECT_EQ(http_server_exec_limit_ms(bad, &ms), 0) << bad;
        EXPECT_EQ(ms, 7u) << bad;
    }
}

// The running request's name in the busy answer is text an agent chose (its
// "id" is in it): it must come out as JSON, whatever it holds.
TEST(exec_busy_answer, names_the_request_and_its_time_as_json_even_with_quotes_and_controls) {
    char body[2048];
    size_t n = http_server_exec_busy_body("/exec request 3: exec (id \"a\\b\")", 2.46, body, sizeof body);
    EXPECT_EQ(std::string(body, n),
              "{\"ok\":false,\"error\":\"busy\",\"running\":\"/exec request 3: exec (id \\\"a\\\\b\\\")\","
              "\"seconds\":2.5}\n");
    n = http_server_exec_busy_body("tab\there\x01", 0, body, sizeof body);
    EXPECT_EQ(std::string(body, n),
              "{\"ok\":false,\"error\":\"busy\",\"running\":\"tab\\there\\u0001\",\"seconds\":0.0}\n");
}

TEST(exec_busy_answer, a_buffer_too_small_for_the_name_still_gets_the_plain_busy_answer) {
    char body[40];
    size_t n = http_server_exec_busy_body("a rather long name of a request that does not fit", 1, body, sizeof body);
    EXPECT_EQ(std::string(body, n), "{\"ok\":false,\"error\":\"busy\"}\n");
    char tiny[4];
    n = http_server_exec_busy_body("x", 1, tiny, sizeof tiny);
    EXPECT_EQ(n, strlen(tiny)) << "always terminated";
}

TEST_F(limits, idle_connection_is_closed_after_the_idle_deadline_and_ping_still_answers) {
    start({DEFAULTS.head_ms, 400, DEFAULTS.max_connections, DEFAULTS.max_buffered});
    raw_conn idle(port, 5000);
    raw_conn used(port, 5000);
    EXPECT_EQ(used.exchange(PING), PING_OK);
    std::this_thread::sleep_for(100ms);
    raw_conn fresh(port);
    EXPECT_EQ(fresh.exchange(PING), PING_OK);
    EXPECT_TRUE(closed_by_server(idle));
    EXPECT_TRUE(closed_by_server(used)) << "a kept-alive connection is idle after its reply";
}

TEST_F(limits, unfinished_head_and_stalled_body_are_closed_after_the_head_deadline) {
    start({300, DEFAULTS.idle_ms, DEFAULTS.max_connections, DEFAULTS.max_buffered});
    raw_conn head(port, 5000);
    ASSERT_TRUE(head.send_all("GET /ping HTTP/1.1\r\nHost: slo"));
    raw_conn body(port, 5000);
    ASSERT_TRUE(body.send_all("POST /ping HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    raw_conn quiet(port, 5000);  // sends nothing: idle, not a late head
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(closed_by_server(head));
    EXPECT_TRUE(closed_by_server(body));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms) << "not before the deadline";
    EXPECT_EQ(quiet.exchange(PING), PING_OK);
}

TEST_F(limits, newcomer_at_the_cap_closes_the_longest_idle_never_one_being_answered) {
    start({DEFAULTS.head_ms, DEFAULTS.idle_ms, 3, DEFAULTS.max_buffered});
    raw_conn oldest(port, 3000);
    std::this_thread::sleep_for(60ms);
    raw_conn middle(port, 3000);
    ASSERT_TRUE(middle.send_all("GET /ping HTTP/1.1\r\n"));  // a head under way
    std::this_thread::sleep_for(60ms);
    raw_conn newest(port, 3000);
    std::this_thread::sleep_for(60ms);
    raw_conn comer(port);
    EXPECT_EQ(comer.exchange(PING), PING_OK);
    EXPECT_TRUE(closed_by_server(oldest));
    EXPECT_EQ(middle.exchange("\r\n"), PING_OK);
    // 1000 more, each one making room for the next: a real client still gets in.
    std::vector<std::unique_ptr<raw_conn>> flood;
    for (int i = 0; i < 1000; i++) flood.push_back(std::make_unique<raw_conn>(port, 2000));
    raw_conn real(port);
    EXPECT_EQ(real.exchange(PING), PING_OK);
}

TEST_F(limits, request_still_trickling_in_goes_before_a_client_that_just_connected) {
    // Ranked by their last byte, the parked body (fed a moment ago) would
    // look fresher than the client that connected before that byte came.
    start({DEFAULTS.head_ms, DEFAULTS.idle_ms, 2, DEFAULTS.max_buffered});
    raw_conn parked(port, 3000);
    ASSERT_TRUE(parked.send_all("POST /ping HTTP/1.1\r\nContent-Length: 3000000\r\n\r\nppp"));
    std::this_thread::sleep_for(60ms);
    raw_conn client(port, 3000);
    std::this_thread::sleep_for(60ms);
    ASSERT_TRUE(parked.send_all(std::string(1024, 'p')));
    std::this_thread::sleep_for(60ms);
    raw_conn comer(port);
    EXPECT_EQ(comer.exchange(PING), PING_OK);
    EXPECT_TRUE(closed_by_server(parked));
    EXPECT_EQ(client.exchange(PING), PING_OK);
}

TEST_F(limits, bytes_held_across_connections_are_capped_by_closing_the_stalest) {
    start({DEFAULTS.head_ms, DEFAULTS.idle_ms, DEFAULTS.max_connections, 1 << 20});
    // Parked bodies announce 3 MB and send part of it; bodies are never
    // reserved up front, so only what was sent is held.
    std::vector<std::unique_ptr<raw_conn>> parked;
    std::string part(300 * 1024, 'p');
    for (int i = 0; i < 6; i++) {
        parked.push_back(std::make_unique<raw_conn>(port, 3000));
        ASSERT_TRUE(parked.back()->send_all("POST /ping HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n" + part));
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(closed_by_server(*parked[0])) << "the stalest goes first";
    EXPECT_TRUE(closed_by_server(*parked[1]));
    raw_conn c(port);
    std::string body(200 * 1024, 'b');
    EXPECT_EQ(c.exchange("POST /ping HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body),
              PING_OK);
}

TEST_F(limits, stop_deletes_the_session_file_only_while_it_is_this_instances) {
    start(DEFAULTS);
    std::string other = "{\"port\":1234,\"token\":\"" + std::string(64, 'f') + "\"}\n";
    {
        std::ofstream f(session, std::ios::binary | std::ios::trunc);
        f << other;  // a second instance started and wrote its own
    }
    http_server_stop();
    EXPECT_EQ(read_file(session), other);
}

TEST_F(limits, app_data_folder_with_wider_rights_is_narrowed_to_the_user) {
    std::string folder = root + "/cfg/TindralXL";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    start(DEFAULTS);
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(limits, running_instance_writes_its_file_again_after_a_newer_one_took_it_away) {
    start(DEFAULTS);
    std::string mine = read_file(session);
    std::remove(session.c_str());
    auto until = std::chrono::steady_clock::now() + 4s;
    while (read_file(session) == "<missing>" && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(read_file(session), mine);
    struct stat st;
    ASSERT_EQ(stat(session.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    http_server_stop();
    EXPECT_EQ(read_file(session), "<missing>");
}

TEST_F(limits, listener_closed_under_the_server_stops_it_and_its_number_is_never_closed_again) {
    start(DEFAULTS);
    int listener = -1;
    for (int d = 0; d < 1024; d++) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int accepting = 0;
        socklen_t alen = sizeof accepting;
        if (getsockname(d, (sockaddr *)&a, &len) == 0 && a.sin_family == AF_INET && ntohs(a.sin_port) == port &&
            getsockopt(d, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &alen) == 0 && accepting)
            listener = d;
    }
    ASSERT_GE(listener, 0);
    ASSERT_EQ(close(listener), 0);
    // Its number now belongs to a file of ours, as it would to any code in
    // the process.
    int mine = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(mine, listener);
    auto until = std::chrono::steady_clock::now() + 5s;
    while (read_file(session) != "<missing>" && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(read_file(session), "<missing>");
    EXPECT_NE(read_file(log).find("http_server: the listener failed \xE2\x80\x94 stopping the server\n"),
              std::string::npos);
    http_server_stop();
    EXPECT_EQ(fcntl(mine, F_GETFD), FD_CLOEXEC) << "the server closed a descriptor it no longer owned";
    close(mine);
}

// A FIFO planted at the log path turns logging off: the session file tells
// an agent why (without calling the server failed), and says nothing once
// the log works again.
TEST_F(limits, session_file_says_why_logging_is_off_and_forgets_it_once_the_log_works) {
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    xll_log("xlAutoOpen: TindralXL loaded");  // the lifecycle's first line meets the FIFO
    start(DEFAULTS);
    std::string record = read_file(session);
    EXPECT_NE(record.find(",\"log_error\":\"logging is off: " + log + " is not a regular file\",\"pid\":"),
              std::string::npos)
        << record;
    EXPECT_EQ(record.find("\"error\""), std::string::npos) << "the server itself runs";
    ASSERT_EQ(unlink(log.c_str()), 0);
    xll_log("back");
    auto until = std::chrono::steady_clock::now() + 4s;
    while (read_file(session).find("log_error") != std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    record = read_file(session);
    EXPECT_EQ(record, "{\"port\":" + std::to_string(port) + ",\"token\":\"" +
                          record.substr(record.find("\"token\":\"") + 9, 64) + "\",\"pid\":" +
                          std::to_string(getpid()) + "}\n");
    // Planted while running: the next logged line meets it, the file says so.
    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    xll_log("a later line");
    until = std::chrono::steady_clock::now() + 4s;
    while (read_file(session).find("log_error") == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    EXPECT_NE(read_file(session).find("is not a regular file"), std::string::npos) << read_file(session);
}

namespace {

// A client that pipelines `count` pings through a receive window too small
// for their answers and never reads them, so the server ends up stuck
// writing to it.
struct non_reader {
    int fd = -1;
    non_reader(int port, int count) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int tiny = 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons((uint16_t)port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) return;
        std::string pings;
        for (int i = 0; i < count; i++) pings += PING;
        // Whatever the kernel takes without waiting; the rest is not needed.
        (void)!::send(fd, pings.data(), pings.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    // Waits (up to 10 s) until the answers waiting at this end stop
    // growing: its window is full and the server is stuck writing.
    void wait_stuck() {
        int last = -1, steady = 0;
        for (int i = 0; i < 200 && steady < 4; i++) {
            std::this_thread::sleep_for(50ms);
            int queued = 0;
            ioctl(fd, FIONREAD, &queued);
            steady = queued > 0 && queued == last ? steady + 1 : 0;
            last = queued;
        }
    }
    ~non_reader() {
        if (fd >= 0) close(fd);
    }
    // Reads what is waiting: true when the server closed the connection,
    // false when it went on answering (nothing more came for 500 ms).
    bool evicted() {
        timeval tv{0, 500000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
            if (n < 0) return false;
        }
    }
};

}  // namespace

TEST_F(limits, clients_stuck_writing_do_not_lock_everyone_out_and_the_slowest_reader_goes_first) {
    start({DEFAULTS.head_ms, DEFAULTS.idle_ms, 3, DEFAULTS.max_buffered});
    std::vector<std::unique_ptr<non_reader>> stuck;
    for (int i = 0; i < 3; i++) {
        stuck.push_back(std::make_unique<non_reader>(port, 40000));
        stuck.back()->wait_stuck();
        std::this_thread::sleep_for(50ms);  // ranked apart from the next one
    }
    raw_conn comer(port, 3000);
    EXPECT_EQ(comer.exchange(PING), PING_OK) << "every slot was held by a client that never reads";
    EXPECT_TRUE(stuck[0]->evicted()) << "the one stuck writing the longest goes";
    EXPECT_FALSE(stuck[1]->evicted());
    // A stream of them still leaves room for a real client.
    for (int i = 0; i < 20; i++) stuck.push_back(std::make_unique<non_reader>(port, 40000));
    std::this_thread::sleep_for(300ms);
    raw_conn real(port, 3000);
    EXPECT_EQ(real.exchange(PING), PING_OK);
}
