// What an agent's bytes reach without Python in between: the time limit and
// the request name Python hands back from a body it parsed (the limit's
// conversion, the busy answer that quotes the name), the router with its
// token check and reply head on any request and on an authorised /exec or
// /mcp body, the JSON escaper, and the UTF-16 codec. The first byte of an
// input picks the part and sizes the output buffers; the rest is the input.
//
// Built two ways: with libFuzzer (scripts/fuzz.sh) to search, and with a
// plain main (replay_main.cpp) that CTest runs over tests/fuzz/corpus, under
// the sanitizers in the asan preset, so every input once found stays fixed.
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "http_server_exec.h"
#include "http_server_route.h"
#include "text_utf16.h"

namespace {

// Python counts as started: an authorised /exec or /mcp goes as far as the
// hand-over to the exec worker.
int always_ready(void) { return 1; }

// Routes one request as the transport would, with a token of 64 'a's, and
// composes its reply head.
void fuzz_route_request(const http_request *req) {
    http_route_input in{};
    memset(in.token, 'a', HTTP_SERVER_TOKEN_LEN);
    wcscpy(in.xll_dir, L"/add-in/\u00e9\U0001F600");
    http_reply out{};
    http_server_route(req, &in, &out);
    char head[192];
    if (!out.exec) http_server_reply_head(&out, head, sizeof head);
    http_server_reply_release(&out);
}

// The request's fields, one per line: method, target, Authorization,
// Origin, then the body (the rest, line feeds included).
void fuzz_route(std::string_view v) {
    std::string_view field[4];
    for (auto &f : field) {
        size_t nl = v.find('\n');
        f = v.substr(0, nl);
        v = nl == std::string_view::npos ? std::string_view() : v.substr(nl + 1);
    }
    http_request req{};
    req.method = field[0];
    req.uri = field[1];
    req.authorization = field[2];
    req.has_authorization = !field[2].empty();
    req.origin = field[3];
    req.has_origin = !field[3].empty();
    req.body = v;
    fuzz_route_request(&req);
}

// An authorised POST to /exec or /mcp with the input as its body: the body
// reaches nothing on the server's side before Python.
void fuzz_exec_body(std::string_view v, int mcp) {
    http_request req{};
    req.method = "POST";
    req.uri = mcp ? "/mcp" : "/exec";
    std::string auth = "Bearer " + std::string(HTTP_SERVER_TOKEN_LEN, 'a');
    req.authorization = auth;
    req.has_authorization = 1;
    req.body = v;
    http_server_python_ready = always_ready;
    fuzz_route_request(&req);
}

// The seconds Python reports (the input's first 8 bytes as a double) and the
// name it gives the request (the rest, cut at a NUL as a C string is).
void fuzz_limit_and_name(std::string_view v, int cap) {
    double seconds = 0;
    memcpy(&seconds, v.data(), v.size() < sizeof seconds ? v.size() : sizeof seconds);
    unsigned ms = 0;
    if (http_server_exec_limit_ms(seconds, &ms) && (ms == 0 || ms > HTTP_EXEC_MAX_MS)) __builtin_trap();
    std::string name(v.size() > sizeof seconds ? v.substr(sizeof seconds) : std::string_view());
    std::unique_ptr<char[]> out(new char[(size_t)cap * 64]);
    size_t n = http_server_exec_busy_body(name.c_str(), seconds, out.get(), (size_t)cap * 64);
    if (n >= (size_t)cap * 64 || out[n] != 0) __builtin_trap();
}


void fuzz_utf16(std::string_view v, int cap) {
    size_t units = v.size() / sizeof(XCHAR);
    std::unique_ptr<XCHAR[]> src(new XCHAR[units + 1]);
    memcpy(src.get(), v.data(), units * sizeof(XCHAR));
    std::unique_ptr<wchar_t[]> wide(new wchar_t[(size_t)cap]);
    int n = text_utf16_to_wide(src.get(), (int)units, wide.get(), cap);
    std::unique_ptr<XCHAR[]> back(new XCHAR[(size_t)cap]);
    text_utf16_from_wide(wide.get(), (size_t)n, back.get(), cap);
    for (size_t at = 0; at < units;) text_utf16_next(src.get(), units, &at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    unsigned pick = data[0];
    // A block of exactly the input's size: a read of one byte past its end
    // is caught.
    size_t n = size - 1;
    std::unique_ptr<char[]> exact(new char[n ? n : 1]);
    memcpy(exact.get(), data + 1, n);
    std::string_view v(exact.get(), n);
    int cap = (int)(pick >> 3) + 1;  // 1 to 32 units or bytes of output
    switch (pick % 5) {
    case 0: fuzz_limit_and_name(v, cap); break;
    case 1: fuzz_exec_body(v, pick & 8); break;
    case 2: fuzz_route(v); break;
    case 3: {
        std::string text(v);  // the escaper reads a C string
        std::unique_ptr<char[]> out(new char[(size_t)cap]);
        http_server_json_escape(text.c_str(), out.get(), (size_t)cap);
        http_server_bearer_matches(v, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
        break;
    }
    case 4: fuzz_utf16(v, cap); break;
    }
    return 0;
}
