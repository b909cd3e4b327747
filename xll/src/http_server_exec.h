// http_server: the exec bridge, the one place where the server thread enters
// Python, and exec_lock, which it takes around every call. Private to the
// http_server module and its unit tests.
#pragma once

#include <string_view>

#include "http_server_route.h"

// Per-thread Python state of the exec bridge: the server thread keeps one
// Python thread state for its whole life instead of creating and destroying
// one with every request.
struct http_exec_session {
    int kept;   // 1 while this thread holds a kept Python thread state
    int outer;  // the PyGILState_STATE of the Ensure that created it
};

// Makes exec_lock, once per process; it is never deleted, so a server thread
// that outlives a stop never meets a deleted lock. Starting thread, before
// the first server thread runs.
void http_server_exec_prepare(void);

// Hands `body` to tindral_xl._exec_entry.dispatch_request and fills `out`:
// 200 with the returned text, 500 with a fixed body, or 503 while Python is
// not (or could not be) started. Takes exec_lock, then the interpreter lock.
// Server thread.
void http_server_handle_exec(std::string_view body, http_reply *out, http_exec_session *session);

// Hands `body` to tindral_xl._mcp_entry.dispatch_mcp, as
// http_server_handle_exec does with dispatch_request (same locks, statuses and
// failure bodies), except that an empty returned text is answered 202 with an
// empty body: the message was a notification. Server thread.
void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session);

// Drops the thread state that http_server_handle_exec kept for this thread. Called by the
// server thread as it ends.
void http_server_exec_session_end(http_exec_session *session);

// Whether the interpreter may be entered; python_runtime_ready by default.
// Tests point it elsewhere to drive the bridge against an interpreter they
// started themselves.
extern int (*http_server_python_ready)(void);
