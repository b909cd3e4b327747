// http_server: the transport. One io_context on the server thread, turned in
// slices of at most 50 ms; every connection reads asynchronously, and each
// complete request is answered right there on this one thread, except an
// /exec, whose Python part the exec worker runs while this thread goes on.
// Between slices the deadlines are enforced; the number of connections and
// the bytes they hold are bounded, so idle or slow clients cannot crowd out
// a real one.
//
// Replies are written as raw bytes: status line, Content-Type,
// Content-Length, body. Beast's serializer is not used, so none of its
// default header fields can reach the wire.

// Boost's own assertions are off in every build of this file, whatever the
// build type: Beast 1.74 asserts (and so aborts the process) on a chunked
// request whose final "0\r\n\r\n" arrives in three reads, which its
// release code handles correctly. Nothing of our own here uses assert.
#ifndef BOOST_DISABLE_ASSERTS
#define BOOST_DISABLE_ASSERTS
#endif
#ifndef NDEBUG
#define NDEBUG
#endif

// Asio's fenced blocks use std::atomic_thread_fence, which ThreadSanitizer
// does not model; GCC 12 says so (-Wtsan) wherever one is inlined, and the
// warnings-as-errors build stops. The one hand-off between threads here
// (the exec worker posting its answer to the server thread) goes through
// the scheduler's mutex, which TSan does see, so the warning is silenced
// for Boost's headers only (GCC judges an inlined warning by the pragmas in
// force at the header it was inlined from).
#if !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
// Optimised sanitizer builds see boost::optional's storage in
// basic_parser::content_length() as maybe uninitialised: a known false
// positive of GCC inside Boost's headers, silenced for those headers only.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/basic_parser.hpp>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#if !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic pop
#endif
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http_server_exec.h"
#include "http_server_internal.h"
#include "http_server_route.h"
#include "xll_log.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

using clock_type = std::chrono::steady_clock;

constexpr http_transport_limits LIMITS_DEFAULT = {HTTP_SERVER_HEAD_MS, HTTP_SERVER_IDLE_MS,
                                                  HTTP_SERVER_MAX_CONNECTIONS, HTTP_SERVER_MAX_BUFFERED};
// The limits the next transport starts with; written only by tests, before a start.
http_transport_limits limits_next = LIMITS_DEFAULT;

// The listener is looked at this often, since one closed under the server
// (by code in the process) may never report an error.
constexpr auto LISTENER_CHECK = std::chrono::seconds(1);
// Reads take at most this much at a time, so a buffer grows with what
// arrives: a connection's first read asks for READ_MIN, and each read that
// fills what it asked for doubles the next one, up to READ_MAX. The parser
// consumes what it reads, so without the doubling the buffer would stay at
// its first size and a 1 MiB body would cost a thousand reads.
constexpr size_t READ_MAX = 65536;
constexpr size_t READ_MIN = 1024;

struct http_conn;

struct http_transport {
    // Before the io_context: connections freed as it is destroyed still
    // find the list and the count.
    std::vector<http_conn *> conns;  // every connection object alive, closed ones included
    size_t buffered = 0;             // bytes held by the connections' buffers
    size_t replying = 0;             // bytes of answers held until their clients take them
    http_transport_limits limits = limits_next;
    net::io_context ctx{1};
    tcp::acceptor acceptor{ctx};
    net::steady_timer retry{ctx};  // paces accepting again after an accept error
    net::steady_timer slice{ctx};  // ends each turn of the loop after at most 50 ms
    http_server_run *run;          // this thread's run: its stop event
    http_exec_runner *runner = nullptr;     // made at the first /exec
    std::shared_ptr<http_conn> exec_conn;   // the connection whose request the worker runs
    int port = 0;                           // the listener's port
    int listener_lost = 0;                  // 1 once the listener broke: wind down
    int stopping = 0;                       // 1 once the loop has ended: the listener is closed on purpose
    clock_type::time_point listener_checked;
};

// Keeps a socket out of child processes. Code run through /exec (or a
// worksheet function) may start programs that inherit handles, such as
// os.system; a child holding the listener would keep the port bound after a
// stop, and one holding a client's socket would keep that connection open
// after the server closed it. 1 when the socket is private.
template <class Socket>
int socket_not_inherited(Socket &socket) {
    return plat.socket_private((plat_socket)socket.native_handle());
}

std::string_view trim_blanks(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

// Keeps of a request only what the router looks at. Beast's own field
// container cannot hold a value longer than 64 KiB, which would drop
// requests whose headers are well under the server's limit.
class http_request_parser : public http::basic_parser<true> {
  public:
    std::string method;
    std::string target;
    std::string authorization;
    int has_authorization = 0;
    std::string origin;
    int has_origin = 0;
    int has_transfer_encoding = 0;
    int version = 11;          // 10 for HTTP/1.0, 11 for HTTP/1.1
    int expects_continue = 0;  // "Expect: 100-continue": the client holds its body back
    int fields_seen = 0;
    std::string body;
    std::uint64_t announced = 0;  // Content-Length, 0 when none (chunked)
    // Whether a byte of the body is a backslash, looked for in each piece
    // while it is in this processor's cache: the JSON reader reads a body
    // without one in place, not in a copy, and would otherwise pay a look
    // through it all on the exec worker's processor.
    int has_backslash = 0;

  private:
    void on_request_impl(http::verb, beast::string_view method_str, beast::string_view target_str, int version_seen,
                         error_code &ec) override {
        version = version_seen;
        guarded(ec, [&] {
            method.assign(method_str.data(), method_str.size());
            target.assign(target_str.data(), target_str.size());
        });
    }
    void on_response_impl(int, beast::string_view, int, error_code &) override {}
    void on_field_impl(http::field field, beast::string_view name, beast::string_view value,
                       error_code &ec) override {
        // The body's framing is Beast's to judge on every field; we only
        // note that a transfer coding was named.
        if (field == http::field::transfer_encoding) has_transfer_encoding = 1;
        if (field == http::field::expect)
            expects_continue = beast::iequals(trim_view(value), "100-continue");
        // Fields past the thirtieth are parsed but never looked at; the
        // first of each name wins.
        if (++fields_seen > HTTP_SERVER_MAX_HEADERS) return;
        if (!has_authorization && beast::iequals(name, "Authorization"))
            keep_value(ec, value, authorization, has_authorization);
        else if (!has_origin && beast::iequals(name, "Origin"))
            keep_value(ec, value, origin, has_origin);
    }
    void on_header_impl(error_code &) override {}
    // The body's memory is taken as its bytes arrive, never reserved from
    // Content-Length: a client announcing 3 MB and sending nothing holds none.
    // It grows four-fold, not two-fold, and never past the announced length
    // and the exec bridge's padding: a 1 MiB body is copied about a third of
    // a time over on its way instead of once, and ends in its own size, the
    // padding added later within it.
    void on_body_init_impl(const boost::optional<std::uint64_t> &length, error_code &) override {
        announced = length ? *length : 0;
    }
    size_t on_body_impl(beast::string_view data, error_code &ec) override {
        guarded(ec, [&] {
            size_t need = body.size() + data.size();
            if (need > body.capacity()) {
                size_t grow = std::max(need, body.capacity() * 4);
                size_t whole = (size_t)announced + HTTP_EXEC_BODY_PAD;
                if (announced >= need && whole < grow) grow = whole;
                body.reserve(grow);
            }
            body.append(data.data(), data.size());
            if (!has_backslash) has_backslash = memchr(data.data(), '\\', data.size()) != nullptr;
        });
        return ec ? 0 : data.size();
    }
    void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code &) override {}
    size_t on_chunk_body_impl(std::uint64_t, beast::string_view data, error_code &ec) override {
        return on_body_impl(data, ec);
    }
    void on_finish_impl(error_code &) override {}

    static beast::string_view trim_view(beast::string_view value) {
        std::string_view v = trim_blanks(std::string_view(value.data(), value.size()));
        return beast::string_view(v.data(), v.size());
    }

    void keep_value(error_code &ec, beast::string_view value, std::string &dest, int &has) {
        guarded(ec, [&] {
            std::string_view v = trim_blanks(std::string_view(value.data(), value.size()));
            dest.assign(v.data(), v.size());
            has = 1;
        });
    }

    // Out of memory fails the request (and drops the connection) instead of
    // throwing through the library.
    template <class F>
    static void guarded(error_code &ec, F &&f) {
        try {
            f();
        } catch (...) {
            ec = make_error_code(boost::system::errc::not_enough_memory);
        }
    }
};

enum conn_phase {
    CONN_IDLE,     // waiting for the first byte of a request
    CONN_READING,  // a request is arriving
    CONN_EXEC,     // the exec worker runs its request
    CONN_WRITING,  // the reply is going out
};

// One client connection. Owned by the handlers that are pending on it; the
// last handler to finish (or the io_context's destruction) frees it. Listed
// in the transport while it exists.
struct http_conn : std::enable_shared_from_this<http_conn> {
    http_transport *t;
    tcp::socket socket;
    beast::flat_buffer buffer{HTTP_SERVER_MAX_REQUEST};
    std::optional<http_request_parser> parser;
    size_t consumed = 0;  // bytes of the request parsed so far, for the size limit
    int head_checked = 0;
    int keep_alive = 0;
    int closed = 0;
    conn_phase phase = CONN_IDLE;
    clock_type::time_point since;     // when the phase began (for reading: the first byte)
    clock_type::time_point progress;  // when bytes last arrived
    size_t held = 0;                  // bytes counted in t->buffered
    size_t reply_held = 0;            // bytes of `reply` counted in t->replying
    size_t read_ask = READ_MIN;       // what the next read asks for at least
    size_t read_asked = 0;            // what the pending read asked for
    http_reply reply{};
    char head[192];

    http_conn(http_transport *transport, tcp::socket s) : t(transport), socket(std::move(s)) {
        since = progress = clock_type::now();
        t->conns.push_back(this);
    }
    ~http_conn() {
        release_reply();
        t->buffered -= held;
        auto at = std::find(t->conns.begin(), t->conns.end(), this);
        if (at != t->conns.end()) t->conns.erase(at);
    }

    void drop() {
        error_code ec;
        // An answer still going out is abandoned at once (a reset): a
        // graceful close would keep trying to deliver it to a client that
        // does not read.
        if (!closed && phase == CONN_WRITING) socket.set_option(net::socket_base::linger(true, 0), ec);
        socket.close(ec);
        if (!closed) {
            closed = 1;
            parser.reset();
            buffer.clear();
            buffer.shrink_to_fit();
            account();
        }
    }

    // Frees the reply's text and takes it out of t->replying.
    void release_reply() {
        http_server_reply_release(&reply);
        t->replying -= reply_held;
        reply_held = 0;
    }

    // Brings this connection's share of t->buffered up to date.
    void account() {
        size_t now = buffer.capacity() + (parser ? parser->body.capacity() : 0);
        t->buffered = t->buffered - held + now;
        held = now;
    }

    // Starts reading the next request, from bytes already buffered if a
    // client sent it early.
    void read_request() {
        parser.emplace();
        // Beast's defaults (8 KiB head, 1 MiB body) are far below what the
        // server accepts; the whole request is held to the one limit instead.
        parser->header_limit((std::uint32_t)(HTTP_SERVER_MAX_REQUEST - 1));
        parser->body_limit(HTTP_SERVER_MAX_REQUEST - 1);
        consumed = 0;
        head_checked = 0;
        // A big request's buffer is not kept for the idle time after it.
        if (buffer.size() == 0 && buffer.capacity() > READ_MAX) buffer.shrink_to_fit();
        phase = buffer.size() ? CONN_READING : CONN_IDLE;
        since = clock_type::now();
        account();
        parse_buffered();
    }

    // Feeds the buffered bytes to the parser; reads more when it needs them.
    void parse_buffered() {
        while (buffer.size() > 0) {
            error_code ec;
            size_t used = parser->put(buffer.data(), ec);
            buffer.consume(used);
            consumed += used;
            if (consumed >= HTTP_SERVER_MAX_REQUEST) return drop();
            if (ec == http::error::need_more) break;
            if (ec) return drop();
            if (!head_checked && parser->is_header_done()) {
                int go = on_head();
                if (go == 0) return;
                if (go == 2) return send_continue();
            }
            if (parser->is_done()) {
                account();
                return on_request();
            }
            if (used == 0) break;
        }
        account();
        read_some();
    }

    // 1 when the body may follow; 2 when it may follow once the client is
    // told to send it; 0 when the connection was dropped.
    int on_head() {
        head_checked = 1;
        // A transfer coding other than a final chunked leaves the body's end
        // unknown; Beast would read such a body as empty and take its bytes
        // for the next request.
        if (parser->has_transfer_encoding && !parser->chunked()) return drop(), 0;
        auto length = parser->content_length();
        if (length && consumed + *length >= HTTP_SERVER_MAX_REQUEST) return drop(), 0;
        parser->body_limit(HTTP_SERVER_MAX_REQUEST - 1 - consumed);
        parser->eager(true);
        // A client that asked to be told before it sends the body (curl does
        // for bodies from 1 MiB) would otherwise wait a second for nothing;
        // one that sent some of it already is not waiting.
        if (parser->expects_continue && parser->version >= 11 && buffer.size() == 0 && !parser->is_done()) return 2;
        return 1;
    }

    // The interim "100 Continue", then the body; the deadlines of a request
    // under way keep running meanwhile.
    void send_continue() {
        static constexpr char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(socket, net::buffer(CONTINUE, sizeof CONTINUE - 1),
                         [self = shared_from_this()](error_code ec, size_t) {
                             if (ec || self->closed) return self->drop();
                             self->parse_buffered();
                         });
    }

    void read_some() {
        size_t room = buffer.capacity() - buffer.size();
        size_t n = std::min(std::max(room, read_ask), READ_MAX);
        n = std::min(n, buffer.max_size() - buffer.size());
        if (n == 0) return drop();
        auto space = buffer.prepare(n);
        read_asked = n;
        account();
        socket.async_read_some(space, [self = shared_from_this()](error_code ec, size_t got) { self->on_read(ec, got); });
    }

    void on_read(error_code ec, size_t got) {
        if (ec || closed) return drop();
        buffer.commit(got);
        if (got == read_asked && read_ask < READ_MAX) read_ask *= 2;
        progress = clock_type::now();
        if (phase == CONN_IDLE) {
            phase = CONN_READING;
            since = progress;
        }
        account();
        if (t->buffered > t->limits.max_buffered) make_room();
        if (closed) return;
        parse_buffered();
    }

    // Over the cap on buffered bytes: closes the connections idle or stuck
    // in their requests the longest, this one last.
    void make_room();

    void on_request() {
        // Once a stop is asked for, nothing more is answered: a thread that
        // outlived the stop's wait only winds down.
        if (http_server_stop_requested(t->run)) return drop();
        http_request req{};
        req.method = parser->method;
        req.uri = parser->target;
        req.authorization = parser->authorization;
        req.has_authorization = parser->has_authorization;
        req.origin = parser->origin;
        req.has_origin = parser->has_origin;
        req.body = parser->body;
        keep_alive = parser->keep_alive();
        reply = http_reply{};
        http_route_input in;
        http_server_route_snapshot(&in);
        http_server_route(&req, &in, &reply);
        if (reply.exec) return start_exec();
        parser.reset();  // the request's body is no longer needed
        write_reply();
    }

    // Hands the request to the exec worker; a busy worker answers at once.
    void start_exec();

    void write_reply() {
        phase = CONN_WRITING;
        since = clock_type::now();
        account();
        // Held until the client has taken it all: a client that never reads
        // keeps an answer of any size here.
        reply_held = reply.body_len;
        t->replying += reply_held;
        size_t head_len = http_server_reply_head(&reply, head, sizeof head);
        std::array<net::const_buffer, 3> out = {
            net::buffer(head, head_len),
            net::buffer(reply.body, reply.body_len),
            net::buffer("\n", reply.add_newline ? 1 : 0),
        };
        if (http_server_stop_requested(t->run)) {
            // The stop came while this request ran (a long /exec): its answer
            // still goes out, then the connection closes, since the loop will
            // not turn again to finish an asynchronous write.
            error_code ec;
            net::write(socket, out, ec);
            keep_alive = 0;
            return on_written(ec);
        }
        net::async_write(socket, out, [self = shared_from_this()](error_code ec, size_t) { self->on_written(ec); });
    }

    void on_written(error_code ec) {
        release_reply();
        if (ec || !keep_alive || closed) {
            error_code ignored;
            socket.shutdown(tcp::socket::shutdown_send, ignored);
            return drop();
        }
        read_request();
    }
};

// The connection a newcomer or the buffer cap may close: one that is idle,
// whose request is still arriving, or whose answer its client has not taken
// yet; never one whose request the exec worker runs. The one idle or stuck
// in its phase the longest; null when there is none. Ranked by when the
// phase began, not by the last byte: a flood of parked bodies keeps
// delivering bytes from the kernel's buffers, and ranked by those, a client
// that connected a moment ago and whose request was not read yet would look
// the stalest and be closed unanswered. A reply that fits the socket's
// buffers is written at once, so a connection still writing is one whose
// client stopped reading, and the one stuck writing the longest is the
// slowest reader: clients that pipeline requests and never read would
// otherwise hold every slot until the idle deadline.
http_conn *transport_stalest(http_transport *t, const http_conn *spare) {
    http_conn *pick = nullptr;
    for (http_conn *c : t->conns) {
        if (c->closed || c == spare || c->phase == CONN_EXEC) continue;
        if (!pick || c->since < pick->since) pick = c;
    }
    return pick;
}

void http_conn::make_room() {
    while (t->buffered > t->limits.max_buffered) {
        http_conn *victim = transport_stalest(t, this);
        if (!victim) victim = this;
        victim->drop();
        if (victim == this) return;
    }
}

void exec_done(void *arg);

void http_conn::start_exec() {
    const http_exec_target *target = reply.exec;
    reply = http_reply{};
    if (!t->runner) t->runner = http_server_exec_runner_create(exec_done, t);
    if (t->replying > t->limits.max_buffered) {
        // Earlier answers that their clients have not read hold the memory
        // cap. An answer's size is known only once its code has run, so the
        // request is refused before it runs: at most the cap plus the one
        // answer under way is ever held, however many clients stop reading.
        http_server_reply_fixed(&reply, 503, "{\"ok\":false,\"error\":\"busy: earlier answers are still unread\"}\n");
    } else if (!t->runner) {
        http_server_reply_fixed(&reply, 500, "{\"ok\":false,\"error\":\"out of memory\"}\n");
    } else if (http_server_exec_runner_submit(t->runner, target, parser->body, parser->has_backslash, 1, &reply)) {
        parser.reset();
        account();
        // A quick op is often answered within the wait, and goes out now,
        // with no trip through the loop.
        if (http_server_exec_runner_await(t->runner, &reply)) {
            write_reply();
            return;
        }
        phase = CONN_EXEC;
        since = clock_type::now();
        t->exec_conn = shared_from_this();
        return;
    }
    parser.reset();
    write_reply();
}

// The worker's reply is ready (called on the worker thread): the answer goes
// out from this thread's loop.
void exec_done(void *arg) {
    http_transport *t = (http_transport *)arg;
    try {
        net::post(t->ctx, [t] {
            std::shared_ptr<http_conn> c = std::move(t->exec_conn);
            http_reply r{};
            http_server_exec_runner_take(t->runner, &r);
            if (!c || c->closed) {
                http_server_reply_release(&r);
                return;
            }
            c->reply = r;
            c->write_reply();
        });
    } catch (...) {
        // Out of memory: the connection waits until the stop closes it.
    }
}

// Closes connections past their deadline: idle ones after idle_ms, a
// request whose head is not complete head_ms after its first byte, or whose
// body has stalled that long. Between slices.
void transport_sweep(http_transport *t) {
    clock_type::time_point now = clock_type::now();
    auto head = std::chrono::milliseconds(t->limits.head_ms);
    auto idle = std::chrono::milliseconds(t->limits.idle_ms);
    for (size_t i = 0; i < t->conns.size(); i++) {
        http_conn *c = t->conns[i];
        if (c->closed) continue;
        int late = 0;
        if (c->phase == CONN_IDLE) late = now - c->since > idle;
        else if (c->phase == CONN_READING) late = now - (c->head_checked ? c->progress : c->since) > head;
        else if (c->phase == CONN_WRITING) late = now - c->since > idle;  // a client that never reads
        if (late) c->drop();  // the handler pending on it frees it later
    }
}

// 1 while the listener is still the socket this server opened: a listener
// closed under the server, or its descriptor number reused by some other
// file, must be noticed and never closed again.
int transport_listener_ok(http_transport *t) {
    error_code ec;
    tcp::endpoint local = t->acceptor.local_endpoint(ec);
    if (ec || (int)local.port() != t->port) return 0;
    net::detail::socket_option::boolean<SOL_SOCKET, SO_ACCEPTCONN> listening;
    t->acceptor.get_option(listening, ec);
    return !ec && listening.value();
}

// The listener broke: forget its handle without closing it (the number may
// belong to another file by now), log, and let the loop wind down.
void transport_listener_failed(http_transport *t) {
    if (t->listener_lost) return;
    t->listener_lost = 1;
    error_code ec;
    t->acceptor.release(ec);
    xll_log_raw("http_server: the listener failed \xE2\x80\x94 stopping the server\n");
    http_server_listener_lost(t->run);
}

void accept_next(http_transport *t);

// A newcomer at the cap makes room: the connection idle or stuck the longest
// goes; with none such, the newcomer itself.
int transport_admit(http_transport *t) {
    int open = 0;
    for (http_conn *c : t->conns) open += !c->closed;
    if (open < t->limits.max_connections) return 1;
    http_conn *victim = transport_stalest(t, nullptr);
    if (!victim) return 0;
    victim->drop();
    return 1;
}

void on_accept(http_transport *t, error_code ec, tcp::socket socket) {
    // The accept that the stop's own close of the listener cancelled: the
    // listener is gone by intent, not broken.
    if (t->stopping) return;
    if (ec == net::error::operation_aborted && !t->listener_lost && transport_listener_ok(t)) return;
    if (ec) {
        if (!transport_listener_ok(t)) return transport_listener_failed(t);
        // Out of descriptors and the like: try again shortly instead of
        // spinning on the failing call.
        t->retry.expires_after(std::chrono::milliseconds(HTTP_SERVER_SLICE_MS));
        t->retry.async_wait([t](error_code wait_ec) {
            if (!wait_ec) accept_next(t);
        });
        return;
    }
    // Accept the next one first: should setting up this connection throw
    // (out of memory), the listener still goes on.
    accept_next(t);
    if (!transport_admit(t)) {
        error_code ignored;
        socket.close(ignored);
        return;
    }
    error_code ignored;
    // A connection a child could inherit is not served.
    if (!socket_not_inherited(socket)) {
        socket.close(ignored);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<http_conn>(t, std::move(socket))->read_request();
}

void accept_next(http_transport *t) {
    if (t->listener_lost) return;
    t->acceptor.async_accept([t](error_code ec, tcp::socket socket) { on_accept(t, ec, std::move(socket)); });
}

// Opens the listener on 127.0.0.1 and a system-chosen port, never sharing
// the port with another socket. 1 when listening.
int transport_listen(http_transport *t) {
    error_code ec;
    t->acceptor.open(tcp::v4(), ec);
    if (ec) return 0;
    if (!socket_not_inherited(t->acceptor)) return 0;
    // No other socket may bind this port, not even one that asks to reuse it.
    if (!plat.socket_exclusive((plat_socket)t->acceptor.native_handle())) return 0;
    t->acceptor.bind(tcp::endpoint(net::ip::address_v4::loopback(), 0), ec);
    if (ec) return 0;
    t->acceptor.listen(net::socket_base::max_listen_connections, ec);
    return !ec;
}

unsigned transport_serve(http_transport *t) {
    if (!transport_listen(t)) {
        xll_log_raw("http_server: mg_http_listen failed\n");
        http_server_not_ready(t->run);
        return 1;
    }
    error_code ec;
    tcp::endpoint local = t->acceptor.local_endpoint(ec);
    int port = ec ? 0 : (int)local.port();
    if (port == 0) {
        xll_log_raw("http_server: listener started but no port was assigned\n");
        http_server_not_ready(t->run);
        return 1;
    }
    t->port = port;
    t->listener_checked = clock_type::now();
    accept_next(t);
    http_server_listening(t->run, port);

    // Each turn runs the io_context until the slice timer stops it, at most
    // 50 ms, then looks at the stop request. run() blocks in the reactor
    // itself; run_for would wait on a condition variable between handlers,
    // which costs a thread wake-up on every request.
    while (!http_server_stop_requested(t->run) && !t->listener_lost) {
        t->slice.expires_after(std::chrono::milliseconds(HTTP_SERVER_SLICE_MS));
        t->slice.async_wait([t](error_code ec) {
            if (!ec) t->ctx.stop();
        });
        try {
            t->ctx.run();
        } catch (...) {
            // A handler that failed (out of memory) loses its connection; the
            // server goes on with the others.
        }
        t->ctx.restart();
        transport_sweep(t);
        if (clock_type::now() - t->listener_checked >= LISTENER_CHECK) {
            t->listener_checked = clock_type::now();
            if (!t->listener_lost && !transport_listener_ok(t)) transport_listener_failed(t);
            if (!t->listener_lost) http_server_session_check(t->run);
        }
    }
    return 0;
}

// Ends the exec worker: a running request is interrupted and its answer
// still goes out (written at once, as the loop no longer turns).
void transport_end_exec(http_transport *t) {
    if (!t->runner) return;
    http_server_exec_runner_finish(t->runner);
    t->ctx.restart();
    try {
        t->ctx.poll();
    } catch (...) {
    }
    http_server_exec_runner_destroy(t->runner);
    t->runner = nullptr;
}

}  // namespace

void http_transport_set_limits(const http_transport_limits *limits) { limits_next = limits ? *limits : LIMITS_DEFAULT; }

unsigned http_transport_serve(http_server_run *run) {
    unsigned code = 1;
    try {
        http_transport t;
        t.run = run;
        try {
            code = transport_serve(&t);
        } catch (...) {
            http_server_not_ready(run);
            code = 1;
        }
        error_code ignored;
        t.stopping = 1;
        if (!t.listener_lost) t.acceptor.close(ignored);
        transport_end_exec(&t);
        if (code == 0 && !t.listener_lost) xll_log_raw("http_server: stopped\n");
        // Leaving the scope closes every connection with the io_context.
    } catch (...) {
        // Nothing may leave the server thread. A start that still waits
        // learns of the failure; a running server just ends.
        http_server_not_ready(run);
        code = 1;
    }
    return code;
}
