// http_server: the exec bridge, the one place where the server enters
// Python, and exec_lock, which it takes around every call; and the exec
// worker that runs those calls off the I/O thread under a time limit.
// Private to the http_server module and its unit tests.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "http_server_route.h"

// An /exec request's time limit: "timeout" in its JSON, in seconds.
constexpr unsigned HTTP_EXEC_DEFAULT_MS = 60000;
constexpr unsigned HTTP_EXEC_MAX_MS = 3600000;
// Code that catches the interrupt is interrupted again this often.
constexpr unsigned HTTP_EXEC_REPEAT_MS = 1000;

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
    int empty_is_accepted;  // 1: an empty answer is a notification's, sent as 202 with no body
    int timeout_in_arguments;  // 1: the time limit is params.arguments.timeout (a tools/call)
};
extern const http_exec_target http_server_exec_agent;  // tindral_xl._exec_entry.dispatch_request
extern const http_exec_target http_server_exec_mcp;    // tindral_xl._mcp_entry.dispatch_mcp

// Makes exec_lock, once per process; it is never deleted, so a server thread
// that outlives a stop never meets a deleted lock. Starting thread, before
// the first server thread runs.
void http_server_exec_prepare(void);

// Hands `body` to tindral_xl._exec_entry.dispatch_request and fills `out`:
// 200 with the returned text, 500 with a fixed body, or 503 while Python is
// not (or could not be) started. Takes exec_lock, then the interpreter lock.
// No time limit: the server goes through the exec worker instead.
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

// The time limit of a request body in ms: its top-level "timeout" (seconds,
// above 0 and at most 3600), else the default. Python checks the same field
// and refuses a bad one before running anything.
unsigned http_server_exec_timeout_ms(std::string_view body);

// The time limit of a body for `target`: as above for /exec; for a target
// whose limit sits among a tool call's arguments, params.arguments.timeout.
unsigned http_server_exec_target_timeout_ms(const http_exec_target *target, std::string_view body);

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
// NUL-terminated.
void http_server_exec_call(const http_exec_target *target, const char *body, http_reply *out,
                           http_exec_session *session, http_exec_watch *watch, unsigned long long seq);

// Raises the target module's RequestTimeout or AddinClosing (KeyboardInterrupt
// when it has none) in the thread running call `seq`, if it still runs.
// Takes the interpreter lock, so it may wait on code that holds it.
void http_server_exec_interrupt(const http_exec_target *target, http_exec_watch *watch, unsigned long long seq,
                                int kind);

// Whether the interpreter may be entered; python_runtime_ready by default.
// Tests point it elsewhere to drive the bridge against an interpreter they
// started themselves.
extern int (*http_server_python_ready)(void);

// --- exec worker (http_server_worker.cpp) -----------------------------------

// One worker thread runs the bridge's calls, one at a time, and a watchdog
// thread interrupts a call past its time limit or when the server stops. The
// transport owns the runner; the threads start with the first request.
struct http_exec_runner;

// `done(arg)` is called on the worker thread whenever a reply is ready. Null
// when out of memory.
http_exec_runner *http_server_exec_runner_create(void (*done)(void *), void *arg);

// Hands a request to the worker, taking `body`. 1 when taken; 0 with
// `refusal` set (503 busy while one runs, 500 when no thread could start).
int http_server_exec_runner_submit(http_exec_runner *runner, const http_exec_target *target, std::string &body,
                                   unsigned timeout_ms, http_reply *refusal);

// Moves the finished reply into `out`; the worker is free again.
void http_server_exec_runner_take(http_exec_runner *runner, http_reply *out);

// Interrupts the running request (the server is stopping) and waits until
// its reply is ready. No request is taken afterwards.
void http_server_exec_runner_finish(http_exec_runner *runner);

// Ends both threads and frees the runner. After http_server_exec_runner_finish.
void http_server_exec_runner_destroy(http_exec_runner *runner);
