// http_server: the pure request-to-reply layer (routing, bearer token,
// /config and JSON escaping). No sockets and no shared state here: the
// transport feeds it a request and a snapshot.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http_server_exec.h"
#include "http_server_route.h"

namespace {

constexpr char BODY_PING[] = "{\"ok\":true}\n";
constexpr char BODY_FORBIDDEN[] = "{\"error\":\"forbidden: invalid or missing bearer token\"}\n";
constexpr char BODY_FORBIDDEN_ORIGIN[] = "{\"error\":\"forbidden: origin not allowed\"}\n";
constexpr char BODY_NOT_ALLOWED[] = "{\"error\":\"method not allowed\"}\n";
constexpr char BODY_NOT_FOUND[] = "{\"error\":\"not found\"}\n";

constexpr char BEARER_PREFIX[] = "Bearer ";
constexpr size_t BEARER_PREFIX_LEN = sizeof BEARER_PREFIX - 1;

const char *reason_phrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
    }
}

}  // namespace

void http_server_reply_fixed(http_reply *out, int status, const char *body) {
    out->status = status;
    out->body = body;
    out->body_len = strlen(body);
    out->add_newline = 0;
    out->owned = nullptr;
    out->exec = nullptr;
}

void http_server_reply_release(http_reply *reply) {
    free(reply->owned);
    reply->owned = nullptr;
}

size_t http_server_reply_head(const http_reply *reply, char *buf, size_t cap) {
    size_t len = reply->body_len + (reply->add_newline ? 1 : 0);
    int n = snprintf(buf, cap,
                     "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n\r\n",
                     reply->status, reason_phrase(reply->status), len);
    if (n < 0 || (size_t)n >= cap) return 0;
    return (size_t)n;
}

int http_server_bearer_matches(std::string_view value, const char *token) {
    size_t token_len = strlen(token);
    if (value.size() < BEARER_PREFIX_LEN + HTTP_SERVER_TOKEN_LEN) return 0;
    if (value.compare(0, BEARER_PREFIX_LEN, BEARER_PREFIX) != 0) return 0;
    if (value.size() - BEARER_PREFIX_LEN != token_len || token_len == 0) return 0;
    // Every byte is looked at whatever the others hold, so the time does not
    // tell an attacker how long a right prefix he has guessed.
    const char *sent = value.data() + BEARER_PREFIX_LEN;
    unsigned char diff = 0;
    for (size_t i = 0; i < token_len; i++) diff |= (unsigned char)(sent[i] ^ token[i]);
    return diff == 0;
}

size_t http_server_json_escape(const char *src, char *dst, size_t cap) {
    if (cap == 0) return 0;
    size_t room = cap - 1;  // characters left before the terminator
    size_t n = 0;
    for (const unsigned char *s = (const unsigned char *)src; *s; s++) {
        char esc[8];
        size_t k;
        switch (*s) {
        case '\t': memcpy(esc, "\\t", 2); k = 2; break;
        case '\n': memcpy(esc, "\\n", 2); k = 2; break;
        case '\r': memcpy(esc, "\\r", 2); k = 2; break;
        case '"': memcpy(esc, "\\\"", 2); k = 2; break;
        case '\\': memcpy(esc, "\\\\", 2); k = 2; break;
        default:
            if (*s < 0x20) {
                snprintf(esc, sizeof esc, "\\u%04x", (unsigned)*s);
                k = 6;
            } else {
                esc[0] = (char)*s;
                k = 1;
            }
        }
        if (k > room) break;
        memcpy(dst + n, esc, k);
        n += k;
        room -= k;
    }
    dst[n] = 0;
    return n;
}

int http_server_origin_allowed(const http_request *req) {
    if (!req->has_origin) return 1;
    std::string_view origin = req->origin;
    for (std::string_view host : {std::string_view("http://127.0.0.1"), std::string_view("http://localhost")}) {
        if (origin.substr(0, host.size()) != host) continue;
        std::string_view rest = origin.substr(host.size());
        if (rest.empty()) return 1;
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return 0;
        // A port as a browser writes it: 1 to 65535, no leading zero.
        if (rest[1] == '0') return 0;
        long port = 0;
        for (char c : rest.substr(1)) {
            if (c < '0' || c > '9') return 0;
            port = port * 10 + (c - '0');
        }
        return port <= 65535;
    }
    return 0;
}

void http_server_handle_config(const wchar_t *xll_dir, http_reply *out) {
    char dir[HTTP_CONFIG_UTF8_CAP];
    char modules[HTTP_CONFIG_UTF8_CAP];
    char dir_escaped[HTTP_CONFIG_ESCAPED_CAP];
    char modules_escaped[HTTP_CONFIG_ESCAPED_CAP];
    if (plat.wide_to_utf8(xll_dir, -1, dir, (int)sizeof dir) <= 0) dir[0] = 0;
    int n = snprintf(modules, sizeof modules, "%s" PLAT_SEP_NARROW "modules", dir);
    // A folder too long to take "<sep>modules" reports no modules path rather
    // than one cut somewhere inside the folder's name.
    if (n < 0 || (size_t)n >= sizeof modules) modules[0] = 0;
    http_server_json_escape(dir, dir_escaped, sizeof dir_escaped);
    http_server_json_escape(modules, modules_escaped, sizeof modules_escaped);
    n = snprintf(out->text, sizeof out->text, "{\"xll_dir\":\"%s\",\"modules_path\":\"%s\"}\n", dir_escaped,
                 modules_escaped);
    out->status = 200;
    out->body = out->text;
    out->body_len = (n > 0 && (size_t)n < sizeof out->text) ? (size_t)n : strlen(out->text);
    out->add_newline = 0;
    out->owned = nullptr;
    out->exec = nullptr;
}

namespace {

// 1 when the request carries the snapshot's token.
int route_token_valid(const http_request *req, const http_route_input *in) {
    return req->has_authorization && http_server_bearer_matches(req->authorization, in->token);
}

}  // namespace

void http_server_route(const http_request *req, const http_route_input *in, http_reply *out) {
    std::string_view path = req->uri;
    size_t query = path.find('?');
    if (query != std::string_view::npos) path = path.substr(0, query);

    if (path == "/ping") {
        http_server_reply_fixed(out, 200, BODY_PING);
    } else if (path == "/config") {
        if (!route_token_valid(req, in)) {
            http_server_reply_fixed(out, 403, BODY_FORBIDDEN);
            return;
        }
        http_server_handle_config(in->xll_dir, out);
    } else if (path == "/exec") {
        if (!route_token_valid(req, in))
            http_server_reply_fixed(out, 403, BODY_FORBIDDEN);
        else if (req->method != "POST")
            http_server_reply_fixed(out, 405, BODY_NOT_ALLOWED);
        else
            http_server_exec_defer(out, &http_server_exec_agent);
    } else if (path == "/mcp") {
        // No SSE stream is ever offered, so a GET (or a session DELETE) is
        // 405, as the streamable HTTP transport allows.
        if (!route_token_valid(req, in))
            http_server_reply_fixed(out, 403, BODY_FORBIDDEN);
        else if (!http_server_origin_allowed(req))
            http_server_reply_fixed(out, 403, BODY_FORBIDDEN_ORIGIN);
        else if (req->method != "POST")
            http_server_reply_fixed(out, 405, BODY_NOT_ALLOWED);
        else
            http_server_exec_defer(out, &http_server_exec_mcp);
    } else {
        http_server_reply_fixed(out, 404, BODY_NOT_FOUND);
    }
}
