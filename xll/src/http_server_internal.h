// Private to the http_server module (http_server*.cpp, http_transport.cpp)
// and its unit tests. Other modules use http_server.h only.
//
// Three layers: the transport (sockets, parsing, the poll loop) turns bytes
// into an http_request and an http_reply back into bytes; the router
// (http_server_route) is a pure request-to-reply function; the exec bridge
// (handle_exec, http_server_handle_mcp) is the one place that enters Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

#include "platform/platform.h"

// A request whose buffered size (head and body) reaches this is dropped by
// closing the connection without a reply.
constexpr size_t HTTP_SERVER_MAX_REQUEST = 3145728;
// Only this many header fields of a request are looked at.
constexpr int HTTP_SERVER_MAX_HEADERS = 30;
// The poll loop looks at the stop request at least this often.
constexpr unsigned HTTP_SERVER_SLICE_MS = 50;
// Start and stop wait this long for the server thread.
constexpr unsigned HTTP_SERVER_WAIT_MS = 5000;

constexpr int HTTP_SERVER_TOKEN_BYTES = 32;
constexpr int HTTP_SERVER_TOKEN_LEN = 64;  // lower-case hex digits

// /config works in these buffers; json_escape's capacity is the escape
// buffer less its terminator.
constexpr size_t HTTP_CONFIG_UTF8_CAP = 780;
constexpr size_t HTTP_CONFIG_ESCAPED_CAP = 1040;
// session_write_error's escaped message holds at most 511 characters.
constexpr size_t HTTP_SESSION_MESSAGE_CAP = 512;

// One parsed request as the router sees it. The views point into the
// transport's buffers and live while the request is handled.
struct http_request {
    std::string_view method;         // as sent, e.g. "POST"
    std::string_view uri;            // request target as sent, query included
    std::string_view authorization;  // value, spaces and tabs trimmed at both ends
    int has_authorization;           // 1 when the header is among the first 30
    std::string_view origin;         // Origin value, trimmed as authorization
    int has_origin;                  // 1 when the header is among the first 30
    std::string_view body;
};

// One reply: a status and a body that is either a fixed text, the /config
// text composed in `text`, or the exec bridge's heap text (`owned`, sent with
// a line feed after it). http_reply_release frees `owned`.
struct http_reply {
    int status;
    const char *body;  // points at a literal, at text or at owned
    size_t body_len;   // bytes of body, the trailing line feed of exec excluded
    int add_newline;   // 1: a line feed follows body on the wire
    char *owned;       // malloc'd reply text of /exec, else null
    char text[2 * HTTP_CONFIG_ESCAPED_CAP + 48];  // the /config body
};

// Per-thread Python state of the exec bridge: the server thread keeps one
// Python thread state for its whole life instead of creating and destroying
// one with every request.
struct http_exec_session {
    int kept;   // 1 while this thread holds a kept Python thread state
    int outer;  // the PyGILState_STATE of the Ensure that created it
};

// Everything one server thread shares with the starting thread. Reference
// counted, so that a thread that outlives the stop's wait (a long /exec)
// still finds its events when its call returns: whoever lets go last closes
// them.
struct http_server_run {
    std::atomic<int> refs;   // holders: the state while published, the thread
    plat_event stop_event;   // manual-reset; the only stop signal
    plat_event ready_event;  // manual-reset; set once ready_state is known
};

// --- router (http_server_route.cpp) -----------------------------------------

// Answers one request: routing on the path cut at "?", the token check, the
// method check, /config, and /exec through handle_exec. Server thread.
void http_server_route(const http_request *req, http_reply *out, http_exec_session *session);

// 1 when `value` (the Authorization value) is "Bearer " and exactly `token`;
// the comparison time does not depend on where the first difference lies.
// A token of length 0 never matches.
int bearer_value_matches(std::string_view value, const char *token);

// 1 when the request carries the current token. Reads the token under the
// server's guard, so a stop that clears it meanwhile makes the check fail.
int bearer_token_valid(const http_request *req);

// 1 when the request has no Origin, or one of this machine's loopback
// origins: http://127.0.0.1 or http://localhost, with or without a port.
// A web page's request (DNS rebinding) carries its own origin and fails.
int http_server_origin_allowed(const http_request *req);

// Composes the /config reply for `xll_dir` into out (status 200).
void handle_config(const wchar_t *xll_dir, http_reply *out);

// JSON-escapes src into dst (cap bytes, terminator included). An escape is
// written whole or not at all, and escaping stops at the first that does not
// fit. Returns the characters written, terminator excluded.
size_t json_escape(const char *src, char *dst, size_t cap);

// The error record's escaping: a backslash before each double quote and
// backslash, nothing else changed; at most cap - 1 characters, never half an
// escape. Returns the characters written, terminator excluded.
size_t session_escape(const char *message, char *dst, size_t cap);

// Writes the status line and headers for `reply` into buf (always
// terminated). Returns their length, 0 if buf is too small.
size_t http_reply_head(const http_reply *reply, char *buf, size_t cap);

// Sets a reply with a fixed body.
void http_reply_fixed(http_reply *out, int status, const char *body);

// Frees the /exec text of a reply, if any. Safe to call twice.
void http_reply_release(http_reply *reply);

// --- exec bridge (http_server_exec.cpp) ------------------------------------

// Hands `body` to tindral_xl._exec_entry.dispatch_request and fills `out`:
// 200 with the returned text, 500 with a fixed body, or 503 while Python is
// not (or could not be) started. Takes exec_lock, then the interpreter lock.
// Server thread.
void handle_exec(std::string_view body, http_reply *out, http_exec_session *session);

// Hands `body` to tindral_xl._mcp_entry.dispatch_mcp, as handle_exec does
// with dispatch_request (same locks, statuses and failure bodies), except
// that an empty returned text is answered 202 with an empty body: the
// message was a notification. Server thread.
void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session);

// Drops the thread state that handle_exec kept for this thread. Called by the
// server thread as it ends.
void http_exec_session_end(http_exec_session *session);

// Whether the interpreter may be entered; python_runtime_ready by default.
// Tests point it elsewhere to drive the bridge against an interpreter they
// started themselves.
extern int (*http_server_python_ready)(void);

// --- lifecycle (http_server.cpp) --------------------------------------------

// Makes exec_lock, once per process; it is never deleted, so a server
// thread that outlives a stop never meets a deleted lock. Caller's thread.
void http_server_prepare_locks(void);
void http_server_exec_lock_enter(void);
void http_server_exec_lock_leave(void);

// Copies the add-in folder that /config reports into buf (PLAT_MAX_PATH).
void http_server_copy_xll_dir(wchar_t *buf);

// Called by the transport once it listens on `port` (1..65535): publishes
// the port and the session file, logs, and reports readiness. Server thread.
void http_server_listening(http_server_run *run, int port);

// Called by the transport when its listener cannot be used: reports -1.
void http_server_not_ready(http_server_run *run);

// 1 once the stop of this run has been asked for. Server thread.
int http_server_stop_requested(http_server_run *run);

// --- transport (http_transport.cpp) -----------------------------------------

// Opens the loopback listener and serves until the run's stop event is
// signalled. Returns the thread's exit code: 0 after a stop, 1 after a failed
// set-up (already logged and reported). Never throws. Server thread.
unsigned http_transport_serve(http_server_run *run);
