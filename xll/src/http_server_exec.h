// http_server: the exec bridge, the one place where the server enters
// Python, and the exec worker that runs those calls off the I/O thread under
// a time limit.
// Private to the http_server module and its unit tests.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "http_server_route.h"

// An agent request's time limit. The server arms the default when the
// request starts; Python, which parses the body, narrows or widens it
// through tindral_xl._native.exec_limit before running anything.
constexpr unsigned HTTP_EXEC_DEFAULT_MS = 60000;
constexpr unsigned HTTP_EXEC_MAX_MS = 3600000;
// Code that catches the interrupt is interrupted again this often.
constexpr unsigned HTTP_EXEC_REPEAT_MS = 1000;
// A call still running this long after its limit ran out (or after the stop
// interrupted it) cannot be reached by the interrupt: it is blocked in C. Its
// worker is abandoned and a fresh one takes the next request.
constexpr unsigned HTTP_EXEC_GRACE_MS = 2000;
// Abandoned workers still running, process-wide, beyond which no fresh
// worker is started: each holds a thread and whatever its code holds.
constexpr int HTTP_EXEC_MAX_ABANDONED = 4;
// The longest name of a running request kept: the busy answer and the log
// lines carry it.
constexpr size_t HTTP_EXEC_LABEL_CAP = 96;
// How long a thread of the exec channel busy-waits for its peer before it
// sleeps: the worker for the next request after answering one, the I/O
// thread for the reply after handing a request over. Waking a sleeping
// thread costs each hand-over several microseconds (a futex or eventfd
// system call and the other processor's wake-up), more than a quick op's
// whole Python call; an agent sending requests one after another finds its
// peer still awake. The cost is bounded: at most this much processor time
// per request on each side, none while the channel is quiet, and none on a
// machine with one processor, where the wait would only hold up the thread
// it waits for. The I/O thread answers no other connection while it waits.
constexpr unsigned HTTP_EXEC_SPIN_US = 50;
// NULs after a body handed to Python: the add-in's JSON reader loads whole
// aligned 16-byte blocks, and the last one may reach this far past the end.
// The transport reserves them with the body, so adding them copies nothing.
constexpr size_t HTTP_EXEC_BODY_PAD = 16;

// Per-thread Python state of the exec bridge: the thread that runs the calls
// keeps one Python thread state for its whole life instead of creating and
// destroying one with every request.
struct http_exec_session {
    int kept;   // 1 while this thread holds a kept Python thread state
    int outer;  // the PyGILState_STATE of the Ensure that created it
};

// Where the exec bridge takes a body: the Python function that answers it.
struct http_exec_target {
    const char *module;     // imported afresh for each request
    const char *function;   // called with the body as str; returns the answer as str
    const char *path;       // the route, naming the request in answers and log lines
    int empty_is_accepted;  // 1: an empty answer is a notification's, sent as 202 with no body
};
extern const http_exec_target http_server_exec_agent;  // tindral_xl._exec_entry.dispatch_request
extern const http_exec_target http_server_exec_mcp;    // tindral_xl._mcp_entry.dispatch_mcp

// Hands `body` to tindral_xl._exec_entry.dispatch_request and fills `out`:
// 200 with the returned text, 500 with a fixed body, or 503 while Python is
// not (or could not be) started. Takes the interpreter lock. No time limit:
// the server goes through the exec worker instead.
void http_server_handle_exec(std::string_view body, http_reply *out, http_exec_session *session);

// The same for tindral_xl._mcp_entry.dispatch_mcp, except that an empty
// returned text is answered 202 with an empty body: the message was a
// notification. No time limit either.
void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session);

// Drops the thread state that the bridge kept for this thread. Called by the
// thread that ran the calls as it ends.
void http_server_exec_session_end(http_exec_session *session);

// Marks `out` for the exec worker and `target`, or answers 503 while Python
// is not (or could not be) started. The one way a route reaches Python.
void http_server_exec_defer(http_reply *out, const http_exec_target *target);

// A time limit in seconds as Python reports it: 1 with *ms set (rounded up,
// never 0) when it is above 0 and at most 3600; 0 for anything else.
int http_server_exec_limit_ms(double seconds, unsigned *ms);

// How an interrupt reaches a call in progress. Written by the calling thread
// and read by the watchdog only with the interpreter lock held, so an
// interrupt meant for one call never reaches a later one.
constexpr int HTTP_EXEC_TIMEOUT = 1;  // the time limit ran out
constexpr int HTTP_EXEC_CLOSING = 2;  // the server is stopping
struct http_exec_watch {
    std::atomic<unsigned long> thread{0};    // Python's id of the calling thread while in the call
    std::atomic<unsigned long long> seq{0};  // the call's number
    std::atomic<int> delivered{0};           // HTTP_EXEC_* delivered to call `seq`, else 0
};

// http_server_handle_exec for any target, publishing the call in `watch`
// (null: none) as call number `seq`. Once the call returns, an interrupt
// still pending for the thread is dropped. An interrupted call that yields
// no text answers 200 with a fixed timeout or closing body. `body` is
// `body_len` bytes, then HTTP_EXEC_BODY_PAD NULs, which may be read in place
// (and are left as they were found); `has_backslash` as
// http_server_json_to_python takes it. Takes the interpreter lock and no other: a call left
// running by an abandoned worker never holds up the next one.
void http_server_exec_call(const http_exec_target *target, char *body, size_t body_len, int has_backslash,
                           http_reply *out, http_exec_session *session, http_exec_watch *watch,
                           unsigned long long seq);

// Raises the target module's RequestTimeout or AddinClosing (KeyboardInterrupt
// when it has none) in the thread running call `seq`, if it still runs.
// Takes the interpreter lock, so it may wait on code that holds it.
void http_server_exec_interrupt(const http_exec_target *target, http_exec_watch *watch, unsigned long long seq,
                                int kind);

// Whether the interpreter may be entered; python_runtime_ready by default.
// Tests point it elsewhere to drive the bridge against an interpreter they
// started themselves.
extern int (*http_server_python_ready)(void);

// --- request bodies read by the add-in (http_server_json.cpp) ---------------

// The value of the JSON text `text` (`len` bytes, then HTTP_EXEC_BODY_PAD
// NULs; a NUL before them ends the text, as it does for the text a declined
// body becomes), equal to what json.loads makes of it: a new reference.
// Null, with no Python error left set, when the reader declines, for the
// caller to hand the text to Python: malformed JSON, and whatever json.loads
// reads in its own way (NaN and Infinity, lone surrogates, very deep nesting,
// integers int() refuses). The text is read in place and left as it was
// found; `has_backslash` must be 1 unless no byte of the text is a
// backslash, for an escape read in place could not be undone. Needs the
// interpreter lock.
struct _object;  // PyObject
struct _object *http_server_json_to_python(char *text, size_t len, int has_backslash);

// The str of the UTF-8 bytes `s` (`n` of them), as PyUnicode_DecodeUTF8
// makes it, a long ASCII one at the cost of a copy: a new reference, null
// with a Python error set when they are not UTF-8. Needs the interpreter lock.
struct _object *http_server_json_str(const char *s, size_t n);

// --- exec worker (http_server_worker.cpp) -----------------------------------

// A worker thread runs the bridge's calls, one at a time, and a watchdog
// thread interrupts a call past its time limit or when the server stops. A
// call that has not ended HTTP_EXEC_GRACE_MS after that is abandoned: its
// client is answered at once, its eventual answer dropped, its thread left to
// end on its own, and a fresh worker takes the next request. The transport
// owns the runner; the threads start with the first request.
struct http_exec_runner;

// `done(arg)` is called, with the runner's lock held, whenever a reply is
// ready that http_server_exec_runner_await did not take; never after
// http_server_exec_runner_finish has returned. Null when out of memory.
http_exec_runner *http_server_exec_runner_create(void (*done)(void *), void *arg);

// Hands a request to the worker, taking `body`, under the default time limit.
// 1 when taken; 0 with `refusal` set: 503 busy (naming the running request)
// while one runs, 503 when HTTP_EXEC_MAX_ABANDONED abandoned workers still
// run and a fresh one would be needed, 500 when no thread could start or no
// memory was left for the body's padding. `has_backslash` as
// http_server_json_to_python takes it. `awaited` 1: the caller calls
// http_server_exec_runner_await next. Server thread.
int http_server_exec_runner_submit(http_exec_runner *runner, const http_exec_target *target, std::string &body,
                                   int has_backslash, int awaited, http_reply *refusal);

// Right after a submit with `awaited` that returned 1: waits up to HTTP_EXEC_SPIN_US for
// the reply (not at all on one processor). 1 with the reply moved into
// `out`, the worker free again; 0 when it is not ready, and `done` will be
// called for it. Server thread.
int http_server_exec_runner_await(http_exec_runner *runner, http_reply *out);

// Moves the finished reply into `out`; the worker is free again.
void http_server_exec_runner_take(http_exec_runner *runner, http_reply *out);

// Interrupts the running request (the server is stopping) and waits until
// its reply is ready, at most HTTP_EXEC_GRACE_MS: a request still running
// then is abandoned. No request is taken afterwards.
void http_server_exec_runner_finish(http_exec_runner *runner);

// Ends the threads and lets go of the runner. After
// http_server_exec_runner_finish. A thread that does not end at once (it
// waits for the interpreter lock) is left to end on its own.
void http_server_exec_runner_destroy(http_exec_runner *runner);

// Called by tindral_xl._native.exec_limit on the thread running a request:
// the request's validated time limit (counted from its start), a short name
// of what it does for the busy answer and the log, and the answers its client
// gets should it be abandoned at its limit or at a stop (null: the fixed
// ones). 1 when applied; 0 when the thread runs no request or the request
// reported already (the first report counts: code the request runs cannot
// widen its own limit). Holds the interpreter lock.
int http_server_exec_report_limit(unsigned ms, const char *label, const char *on_timeout, const char *on_close);

// Composes the busy answer's body into `out` (cap bytes, terminated): the
// running request's `name` (JSON-escaped, cut to fit) and how long it has run.
// Returns the body's length.
size_t http_server_exec_busy_body(const char *name, double seconds, char *out, size_t cap);
