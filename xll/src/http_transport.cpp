// http_server: the transport. One io_context on the server thread, turned in
// slices of at most 50 ms; every connection reads asynchronously, and each
// complete request is answered right there on this one thread, so requests
// are handled one at a time while idle connections cost nothing.
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

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
// Optimised sanitizer builds see boost::optional's storage in
// basic_parser::content_length() as maybe uninitialised: a known false
// positive of GCC inside Boost's headers, silenced for those headers only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/basic_parser.hpp>
#pragma GCC diagnostic pop
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

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

struct http_transport {
    net::io_context ctx{1};
    tcp::acceptor acceptor{ctx};
    net::steady_timer retry{ctx};  // paces accepting again after an accept error
    net::steady_timer slice{ctx};  // ends each turn of the loop after at most 50 ms
    http_server_run *run;          // this thread's run: its stop event
    http_exec_session *exec;       // the thread's kept Python state
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
    int fields_seen = 0;
    std::string body;

  private:
    void on_request_impl(http::verb, beast::string_view method_str, beast::string_view target_str, int,
                         error_code &ec) override {
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
        // Fields past the thirtieth are parsed but never looked at; the
        // first of each name wins.
        if (++fields_seen > HTTP_SERVER_MAX_HEADERS) return;
        if (!has_authorization && beast::iequals(name, "Authorization"))
            keep_value(ec, value, authorization, has_authorization);
        else if (!has_origin && beast::iequals(name, "Origin"))
            keep_value(ec, value, origin, has_origin);
    }
    void on_header_impl(error_code &) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t> &length, error_code &ec) override {
        if (length) guarded(ec, [&] { body.reserve((size_t)*length); });
    }
    size_t on_body_impl(beast::string_view data, error_code &ec) override {
        guarded(ec, [&] { body.append(data.data(), data.size()); });
        return ec ? 0 : data.size();
    }
    void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code &) override {}
    size_t on_chunk_body_impl(std::uint64_t, beast::string_view data, error_code &ec) override {
        return on_body_impl(data, ec);
    }
    void on_finish_impl(error_code &) override {}

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

// One client connection. Owned by the handlers that are pending on it; the
// last handler to finish (or the io_context's destruction) frees it.
struct http_conn : std::enable_shared_from_this<http_conn> {
    http_transport *t;
    tcp::socket socket;
    beast::flat_buffer buffer{HTTP_SERVER_MAX_REQUEST};
    std::optional<http_request_parser> parser;
    size_t consumed = 0;  // bytes of the request parsed so far, for the size limit
    int keep_alive = 0;
    http_reply reply{};
    char head[192];

    http_conn(http_transport *transport, tcp::socket s) : t(transport), socket(std::move(s)) {}
    ~http_conn() { http_server_reply_release(&reply); }

    void drop() {
        error_code ec;
        socket.close(ec);
    }

    void read_request() {
        parser.emplace();
        // Beast's defaults (8 KiB head, 1 MiB body) are far below what the
        // server accepts; the whole request is held to the one limit instead.
        parser->header_limit((std::uint32_t)(HTTP_SERVER_MAX_REQUEST - 1));
        parser->body_limit(HTTP_SERVER_MAX_REQUEST - 1);
        http::async_read_header(socket, buffer, *parser,
                                [self = shared_from_this()](error_code ec, size_t n) { self->on_head(ec, n); });
    }

    void on_head(error_code ec, size_t n) {
        if (ec) return drop();
        // A transfer coding other than a final chunked leaves the body's end
        // unknown; Beast would read such a body as empty and take its bytes
        // for the next request.
        if (parser->has_transfer_encoding && !parser->chunked()) return drop();
        consumed = n;
        auto length = parser->content_length();
        if (length && consumed + *length >= HTTP_SERVER_MAX_REQUEST) return drop();
        parser->body_limit(HTTP_SERVER_MAX_REQUEST - 1 - consumed);
        read_body();
    }

    // Reads the body piece by piece, counting every byte of the request,
    // chunk framing included, against the size limit.
    void read_body() {
        if (parser->is_done()) return on_request();
        http::async_read_some(socket, buffer, *parser, [self = shared_from_this()](error_code ec, size_t n) {
            if (ec) return self->drop();
            self->consumed += n;
            if (self->consumed >= HTTP_SERVER_MAX_REQUEST) return self->drop();
            self->read_body();
        });
    }

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
        http_route_input in;
        http_server_route_snapshot(&in);
        http_server_route(&req, &in, &reply, t->exec);
        parser.reset();  // the request's body is no longer needed

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
        http_server_reply_release(&reply);
        if (ec || !keep_alive) {
            error_code ignored;
            socket.shutdown(tcp::socket::shutdown_send, ignored);
            return drop();
        }
        read_request();
    }
};

void accept_next(http_transport *t);

void on_accept(http_transport *t, error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
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
    accept_next(t);
    http_server_listening(t->run, port);

    // Each turn runs the io_context until the slice timer stops it, at most
    // 50 ms, then looks at the stop request. run() blocks in the reactor
    // itself; run_for would wait on a condition variable between handlers,
    // which costs a thread wake-up on every request.
    while (!http_server_stop_requested(t->run)) {
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
    }
    return 0;
}

}  // namespace

unsigned http_transport_serve(http_server_run *run) {
    unsigned code = 1;
    http_exec_session exec{};
    try {
        http_transport t;
        t.run = run;
        t.exec = &exec;
        code = transport_serve(&t);
        error_code ignored;
        t.acceptor.close(ignored);
        // Leaving the scope closes every connection with the io_context.
    } catch (...) {
        // Nothing may leave the server thread. A start that still waits
        // learns of the failure; a running server just ends.
        http_server_not_ready(run);
        code = 1;
    }
    http_server_exec_session_end(&exec);
    return code;
}
