// http_server: the router, a pure request-to-reply function. It touches no
// shared state: the transport hands it the parsed request and a snapshot of
// what the answer depends on (the token and the add-in folder), and it
// reaches Python only through the exec bridge. Private to the http_server
// module and its unit tests.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/platform.h"

constexpr int HTTP_SERVER_TOKEN_LEN = 64;  // lower-case hex digits

// /config works in these buffers; http_server_json_escape's capacity is the escape
// buffer less its terminator.
constexpr size_t HTTP_CONFIG_UTF8_CAP = 780;
constexpr size_t HTTP_CONFIG_ESCAPED_CAP = 1040;

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

// What a reply may depend on beyond the request, copied from the server's
// state when the request is handled.
struct http_route_input {
    char token[HTTP_SERVER_TOKEN_LEN + 1];  // the current token; all zero once stopped
    wchar_t xll_dir[PLAT_MAX_PATH];         // the folder /config reports
};

struct http_exec_target;  // the Python function an /exec body goes to

// One reply: a status and a body that is either a fixed text, the /config
// text composed in `text`, or the exec bridge's heap text (`owned`, sent with
// a line feed after it). http_server_reply_release frees `owned`. A reply
// with `exec` set has no status yet: the transport hands the request's body
// to the exec worker for that target and answers once it is done.
struct http_reply {
    int status;
    const char *body;  // points at a literal, at text or at owned
    size_t body_len;   // bytes of body, the trailing line feed of exec excluded
    int add_newline;   // 1: a line feed follows body on the wire
    char *owned;       // malloc'd reply text of /exec, else null
    const http_exec_target *exec;  // non-null: to be answered by the exec worker
    char text[2 * HTTP_CONFIG_ESCAPED_CAP + 48];  // the /config body
};

// Answers one request: routing on the path cut at "?", the token check
// against in->token, the method check, /config for in->xll_dir, and /exec
// and /mcp (after the Origin check) handed on through http_server_exec_defer.
// Never enters Python. Server thread.
void http_server_route(const http_request *req, const http_route_input *in, http_reply *out);

// 1 when `value` (the Authorization value) is "Bearer " and exactly `token`;
// the comparison time does not depend on where the first difference lies.
// A token of length 0 never matches.
int http_server_bearer_matches(std::string_view value, const char *token);

// 1 when the request has no Origin, or one of this machine's loopback
// origins: http://127.0.0.1 or http://localhost, with or without a port
// (1 to 65535, written without a leading zero).
// A web page's request (DNS rebinding) carries its own origin and fails.
int http_server_origin_allowed(const http_request *req);

// Composes the /config reply for `xll_dir` into out (status 200).
void http_server_handle_config(const wchar_t *xll_dir, http_reply *out);

// JSON-escapes src into dst (cap bytes, terminator included). An escape is
// written whole or not at all, and escaping stops at the first that does not
// fit. Returns the characters written, terminator excluded.
size_t http_server_json_escape(const char *src, char *dst, size_t cap);

// Writes the status line and headers for `reply` into buf (always
// terminated). Returns their length, 0 if buf is too small.
size_t http_server_reply_head(const http_reply *reply, char *buf, size_t cap);

// Sets a reply with a fixed body.
void http_server_reply_fixed(http_reply *out, int status, const char *body);

// Frees the /exec text of a reply, if any. Safe to call twice.
void http_server_reply_release(http_reply *reply);
