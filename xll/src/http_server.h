// Agent control server: a loopback HTTP server on its own thread, guarded by a
// bearer token published in session.json.
#pragma once

#include <cstddef>

// Starts the server with the add-in folder (null keeps the earlier one).
// 1 when it runs (also when it ran already), 0 when it failed and logged why.
// Blocks the caller up to 5000 ms (twice that on a failure). Caller's thread.
int http_server_start(const wchar_t *xll_dir);

// Deletes the session file, clears the token and ends the server thread
// (waiting up to 5000 ms). Safe at any time. Caller's thread.
void http_server_stop(void);

// Rewrites the session file in its error form, when a server published one.
void http_server_session_write_error(const char *message);

// 1 while an agent request (/exec or /mcp) is inside its Python call,
// abandoned ones included; a lock-free read for the worksheet call path,
// which times its wait for the interpreter lock only then. Any thread.
int http_server_agent_in_python(void);

// Names the agent requests inside their Python call and how long each has
// run, into `out` (cap bytes, always terminated); when none is, the last one
// that was, or "none". Any thread.
void http_server_agent_describe(char *out, size_t cap);
