// http_server: what the lifecycle (http_server.cpp) and the transport
// (http_transport.cpp) share. Private to the http_server module and its unit
// tests; other modules use http_server.h only.
//
// Three layers: the transport (sockets, parsing, the poll loop) turns bytes
// into an http_request and an http_reply back into bytes; the router
// (http_server_route.h) is a pure request-to-reply function; the exec bridge
// (http_server_exec.h: /exec and /mcp) is the one place that enters Python.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"

struct http_route_input;

// A request whose buffered size (head and body) reaches this is dropped by
// closing the connection without a reply.
constexpr size_t HTTP_SERVER_MAX_REQUEST = 3145728;
// Only this many header fields of a request are looked at.
constexpr int HTTP_SERVER_MAX_HEADERS = 30;
// The poll loop looks at the stop request at least this often.
constexpr unsigned HTTP_SERVER_SLICE_MS = 50;
// Start and stop wait this long for the server thread.
constexpr unsigned HTTP_SERVER_WAIT_MS = 5000;

// Bounds that keep idle or slow clients from holding the server: at most
// this many open connections (a new one at the cap closes the one idle, or
// stuck reading its request or writing its answer, the longest), a request
// head within head_ms of its first byte, an idle keep-alive connection
// closed after idle_ms, and at most this many bytes held in buffers across
// all connections (the request the exec worker runs is not among them);
// answers not yet read are held to the same cap by refusing new /exec and
// /mcp requests while they exceed it.
constexpr int HTTP_SERVER_MAX_CONNECTIONS = 64;
constexpr unsigned HTTP_SERVER_HEAD_MS = 10000;
constexpr unsigned HTTP_SERVER_IDLE_MS = 60000;
constexpr size_t HTTP_SERVER_MAX_BUFFERED = 8u << 20;

// Everything one server thread shares with the starting thread. Reference
// counted, so that a thread that outlives the stop's wait (a long /exec)
// still finds its events when its call returns: whoever lets go last closes
// them.
struct http_server_run {
    std::atomic<int> refs;   // holders: the state while published, the thread
    plat_event stop_event;   // manual-reset; the only stop signal
    plat_event ready_event;  // manual-reset; set once ready_state is known
};

// --- lifecycle (http_server.cpp) --------------------------------------------

// Copies the current token and add-in folder for the router, under the
// server's guard: a stop clears the token with the guard held, so a snapshot
// holds either the whole token or the cleared one, which never matches.
// Server thread, once per request.
void http_server_route_snapshot(http_route_input *out);

// Called by the transport once it listens on `port` (1..65535): publishes
// the port and the session file, logs, and reports readiness. Server thread.
void http_server_listening(http_server_run *run, int port);

// Called by the transport when its listener cannot be used: reports -1.
void http_server_not_ready(http_server_run *run);

// Called by the transport when its listener broke while serving: removes the
// session file (when it is still this run's) so no agent is sent to a dead
// port. The transport then winds down. Server thread.
void http_server_listener_lost(http_server_run *run);

// Writes the session file again when it has gone: a second instance that
// started later and has closed took its own file away, and this instance
// still serves. Another instance's file is never touched. Server thread,
// about once a second.
void http_server_session_check(http_server_run *run);

// 1 once the stop of this run has been asked for. Server thread.
int http_server_stop_requested(http_server_run *run);

// --- transport (http_transport.cpp) -----------------------------------------

// Opens the loopback listener and serves until the run's stop event is
// signalled. Returns the thread's exit code: 0 after a stop, 1 after a failed
// set-up (already logged and reported). Never throws. Server thread.
unsigned http_transport_serve(http_server_run *run);

// The deadlines and caps a transport starts with. Only tests change them
// (null restores the defaults), before a start.
struct http_transport_limits {
    unsigned head_ms;
    unsigned idle_ms;
    int max_connections;
    size_t max_buffered;
};
void http_transport_set_limits(const http_transport_limits *limits);
