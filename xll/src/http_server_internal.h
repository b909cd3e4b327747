// Private to the http_server module (http_server*.cpp, http_transport.cpp)
// and its unit tests. Other modules use http_server.h only.
//
// Three layers: the transport (sockets, parsing, the poll loop) turns bytes
// into an http_request and an http_reply back into bytes; the router
// (http_server_route) is a pure request-to-reply function; the exec bridge
// (handle_exec) is the one place that enters Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
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

// Bounds that keep idle or slow clients from holding the server: at most
// this many open connections (a new one at the cap closes the one idle or
// stuck the longest), a request head within head_ms of its first byte, an
// idle keep-alive connection closed after idle_ms, and at most this many
// bytes held in buffers across all connections (the request the exec worker
// runs is not among them).
constexpr int HTTP_SERVER_MAX_CONNECTIONS = 64;
constexpr unsigned HTTP_SERVER_HEAD_MS = 10000;
constexpr unsigned HTTP_SERVER_IDLE_MS = 60000;
constexpr size_t HTTP_SERVER_MAX_BUFFERED = 8u << 20;

// An /exec request's time limit: "timeout" in its JSON, in seconds.
constexpr unsigned HTTP_EXEC_DEFAULT_MS = 60000;
constexpr unsigned HTTP_EXEC_MAX_MS = 3600000;
// Code that catches the interrupt is interrupted again this often.
constexpr unsigned HTTP_EXEC_REPEAT_MS = 1000;

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
    std::string_view body;
};

// Where the exec bridge takes a body: the Python function that answers it.
struct http_exec_target {
    const char *module;    // imported afresh for each request
    const char *function;  // called with the body as str; returns the answer as str
};
extern const http_exec_target HTTP_EXEC_AGENT;  // tindral_xl._exec_entry.dispatch_request

// One reply: a status and a body that is either a fixed text, the /config
// text composed in `text`, or the exec bridge's heap text (`owned`, sent with
// a line feed after it). http_reply_release frees `owned`. A reply with
// `exec` set has no status yet: the transport hands the request's body to
// the exec worker for that target and answers once it is done.
struct http_reply {
    int status;
    const char *body;  // points at a literal, at text or at owned
    size_t body_len;   // bytes of body, the trailing line feed of exec excluded
    int add_newline;   // 1: a line feed follows body on the wire
    char *owned;       // malloc'd reply text of /exec, else null
    const http_exec_target *exec;  // non-null: to be answered by the exec worker
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
// method check, /config, and /exec handed on through http_exec_defer. Never
// enters Python. Server thread.
void http_server_route(const http_request *req, http_reply *out);

// 1 when `value` (the Authorization value) is "Bearer " and exactly `token`;
// the comparison time does not depend on where the first difference lies.
// A token of length 0 never matches.
int bearer_value_matches(std::string_view value, const char *token);

// 1 when the request carries the current token. Reads the token under the
// server's guard, so a stop that clears it meanwhile makes the check fail.
int bearer_token_valid(const http_request *req);

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

// Drops the thread state that handle_exec kept for this thread. Called by the
// thread that ran the calls as it ends.
void http_exec_session_end(http_exec_session *session);

// Marks `out` for the exec worker and `target`, or answers 503 while Python
// is not (or could not be) started. The one way a route reaches Python.
void http_exec_defer(http_reply *out, const http_exec_target *target);

// The time limit of a request body in ms: its top-level "timeout" (seconds,
// above 0 and at most 3600), else the default. Python checks the same field
// and refuses a bad one before running anything.
unsigned http_exec_timeout_ms(std::string_view body);

// How an interrupt reaches a call in progress. Written by the calling thread
// and read by the watchdog only with the interpreter lock held, so an
// interrupt meant for one call never reaches a later one.
constexpr int HTTP_EXEC_TIMEOUT = 1;  // the time limit ran out
constexpr int HTTP_EXEC_CLOSING = 2;  // the server is stopping
struct http_exec_watch {
    std::atomic<unsigned long> thread{0};   // Python's id of the calling thread while in the call
    std::atomic<unsigned long long> seq{0}; // the call's number
    std::atomic<int> delivered{0};          // HTTP_EXEC_* delivered to call `seq`, else 0
};

// handle_exec for any target, publishing the call in `watch` (null: none) as
// call number `seq`. Once the call returns, an interrupt still pending for
// the thread is dropped. An interrupted call that yields no text answers 200
// with a fixed timeout or closing body. `body` is NUL-terminated.
void http_exec_call(const http_exec_target *target, const char *body, http_reply *out, http_exec_session *session,
                    http_exec_watch *watch, unsigned long long seq);

// Raises the target module's RequestTimeout or AddinClosing (KeyboardInterrupt
// when it has none) in the thread running call `seq`, if it still runs.
// Takes the interpreter lock, so it may wait on code that holds it.
void http_exec_interrupt(const http_exec_target *target, http_exec_watch *watch, unsigned long long seq, int kind);

// --- exec worker (http_server_worker.cpp) -----------------------------------

// One worker thread runs the bridge's calls, one at a time, and a watchdog
// thread interrupts a call past its time limit or when the server stops. The
// transport owns the runner; the threads start with the first request.
struct http_exec_runner;

// `done(arg)` is called on the worker thread whenever a reply is ready. Null
// when out of memory.
http_exec_runner *http_exec_runner_create(void (*done)(void *), void *arg);

// Hands a request to the worker, taking `body`. 1 when taken; 0 with
// `refusal` set (503 busy while one runs, 500 when no thread could start).
int http_exec_runner_submit(http_exec_runner *runner, const http_exec_target *target, std::string &body,
                            unsigned timeout_ms, http_reply *refusal);

// Moves the finished reply into `out`; the worker is free again.
void http_exec_runner_take(http_exec_runner *runner, http_reply *out);

// Interrupts the running request (the server is stopping) and waits until
// its reply is ready. No request is taken afterwards.
void http_exec_runner_finish(http_exec_runner *runner);

// Ends both threads and frees the runner. After http_exec_runner_finish.
void http_exec_runner_destroy(http_exec_runner *runner);

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
