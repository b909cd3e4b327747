// The request-to-reply layer without sockets: token check, routing,
// /config and the two escapers.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "http_server.h"
#include "http_server_exec.h"
#include "http_server_internal.h"
#include "http_server_route.h"
#include "http_server_session.h"

namespace {

const std::string TOKEN = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string reply_text(const http_reply &r) {
    std::string s(r.body, r.body_len);
    if (r.add_newline) s += "\n";
    return s;
}

// Fixed random bytes 0x01..0x20 give a known token.
int fixed_random(unsigned char *buf, unsigned len) {
    for (unsigned i = 0; i < len; i++) buf[i] = (unsigned char)(i + 1);
    return 1;
}
const std::string FIXED_TOKEN = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

int no_appdata(char *) { return 0; }

// A reply's status and body text, copied out: a /config reply's body points
// into the reply record itself, so the record is not handed around.
struct routed {
    int status;
    std::string text;
};
std::string reply_text(const routed &r) { return r.text; }

routed route(const std::string &method, const std::string &uri, const char *auth = nullptr,
             const std::string &body = "", const char *origin = nullptr) {
    http_request req{};
    if (origin) {
        req.origin = origin;
        req.has_origin = 1;
    }
    req.method = method;
    req.uri = uri;
    if (auth) {
        req.authorization = auth;
        req.has_authorization = 1;
    }
    req.body = body;
    http_reply r{};
    http_route_input in;
    http_server_route_snapshot(&in);
    http_server_route(&req, &in, &r);
    routed out{r.status, reply_text(r)};
    http_server_reply_release(&r);
    return out;
}

}  // namespace

TEST(bearer, accepts_only_exact_scheme_and_token) {
    EXPECT_TRUE(http_server_bearer_matches("Bearer " + TOKEN, TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Bearer", TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Bearer ", TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("bearer " + TOKEN, TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("BEARER " + TOKEN, TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Basic  " + TOKEN, TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Bearer  " + TOKEN.substr(1), TOKEN.c_str()));
}

TEST(bearer, token_compared_byte_exact_over_its_whole_length) {
    std::string upper = TOKEN;
    for (auto &c : upper) c = (char)toupper((unsigned char)c);
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + upper, TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + TOKEN + "0", TOKEN.c_str()));
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + TOKEN.substr(0, 63), TOKEN.c_str()));
    std::string last = TOKEN;
    last[63] = 'e';
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + last, TOKEN.c_str()));
    std::string first = TOKEN;
    first[0] = '1';
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + first, TOKEN.c_str()));
}

TEST(bearer, cleared_token_never_matches) {
    char cleared[65] = {0};
    EXPECT_FALSE(http_server_bearer_matches("Bearer " + TOKEN, cleared));
    EXPECT_FALSE(http_server_bearer_matches("Bearer ", cleared));
    EXPECT_FALSE(http_server_bearer_matches("", cleared));
}

TEST(http_server_json_escape, escapes_quotes_backslashes_controls_and_keeps_utf8) {
    char out[64];
    http_server_json_escape("a\"b\\c\td\x01" "e\n\r\x1f\xc3\xa9", out, sizeof out);
    EXPECT_STREQ(out, "a\\\"b\\\\c\\td\\u0001e\\n\\r\\u001f\xc3\xa9");
}

TEST(http_server_json_escape, cuts_before_an_escape_that_does_not_fit) {
    char out[8];
    // "abcd" then "\u0001" needs 6: only 3 left, so nothing after "abcd".
    EXPECT_EQ(http_server_json_escape("abcd\x01zz", out, sizeof out), 4u);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(http_server_json_escape("abcdef\"", out, sizeof out), 6u);
    EXPECT_STREQ(out, "abcdef");
    EXPECT_EQ(http_server_json_escape("abcdefg\"", out, sizeof out), 7u);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(http_server_json_escape("abcde\"x", out, sizeof out), 7u);
    EXPECT_STREQ(out, "abcde\\\"");
}

TEST(http_server_session_escape, escapes_only_quote_and_backslash) {
    char out[64];
    http_server_session_escape("say \"hi\" C:\\x\t\x01\xe2\x80\x94", out, sizeof out);
    EXPECT_STREQ(out, "say \\\"hi\\\" C:\\\\x\t\x01\xe2\x80\x94");
}

TEST(http_server_session_escape, cuts_at_511_never_inside_an_escape) {
    char out[HTTP_SESSION_MESSAGE_CAP];
    std::string msg(510, 'a');
    msg += "\"tail";
    EXPECT_EQ(http_server_session_escape(msg.c_str(), out, sizeof out), 510u);
    EXPECT_EQ(std::string(out), std::string(510, 'a'));
    msg = std::string(509, 'a') + "\\tail";
    EXPECT_EQ(http_server_session_escape(msg.c_str(), out, sizeof out), 511u);
    EXPECT_EQ(std::string(out + 509), "\\\\");
    msg = std::string(600, 'b');
    EXPECT_EQ(http_server_session_escape(msg.c_str(), out, sizeof out), 511u);
}

TEST(http_server_handle_config, escapes_folder_and_appends_modules) {
    http_reply r{};
    http_server_handle_config(L"C:\\Add\"ins\t\x01\x00e9", &r);
    EXPECT_EQ(r.status, 200);
    std::string sep = PLAT_SEP_NARROW;
    std::string esep = sep == "\\" ? "\\\\" : "/";
    EXPECT_EQ(reply_text(r), "{\"xll_dir\":\"C:\\\\Add\\\"ins\\t\\u0001\xc3\xa9\",\"modules_path\":\"C:\\\\Add\\\"ins\\t\\u0001\xc3\xa9" +
                                 esep + "modules\"}\n");
}

TEST(http_server_handle_config, overlong_folder_still_gives_terminated_json_with_both_keys) {
    // 259 control characters escape to 6 each, far beyond 1039.
    std::wstring dir(259, L'\x01');
    http_reply r{};
    http_server_handle_config(dir.c_str(), &r);
    std::string text = reply_text(r);
    EXPECT_EQ(text.size(), strlen(text.c_str()));
    EXPECT_EQ(text.rfind("\"}\n"), text.size() - 3);
    EXPECT_NE(text.find("\",\"modules_path\":\""), std::string::npos);
    // 1039 / 6 = 173 whole escapes fit; none is cut in half.
    size_t start = strlen("{\"xll_dir\":\"");
    size_t end = text.find("\",\"modules_path\"");
    EXPECT_EQ(end - start, 173u * 6u);
}

TEST(http_server_handle_config, folder_without_room_for_modules_reports_empty_modules_path) {
    // 258 three-byte characters: 774 UTF-8 bytes, too long for "/modules".
    std::wstring dir(258, L'\x20ac');
    http_reply r{};
    http_server_handle_config(dir.c_str(), &r);
    std::string text = reply_text(r);
    EXPECT_EQ(text.substr(text.size() - 19), "\"modules_path\":\"\"}\n");
    EXPECT_EQ(text.find("\xe2\x82\xac"), strlen("{\"xll_dir\":\""));
}

TEST(reply_head, has_status_reason_content_type_and_length_only) {
    http_reply r{};
    http_server_reply_fixed(&r, 405, "{\"error\":\"method not allowed\"}\n");
    char head[192];
    size_t n = http_server_reply_head(&r, head, sizeof head);
    EXPECT_EQ(std::string(head, n),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/json\r\nContent-Length: 31\r\n\r\n");
    r.add_newline = 1;
    n = http_server_reply_head(&r, head, sizeof head);
    EXPECT_NE(std::string(head, n).find("Content-Length: 32\r\n"), std::string::npos);
}

// Routing needs the current token, so these start the real server (with a
// known token) in their own process.
class routing : public ::testing::Test {
  protected:
    void SetUp() override {
        plat.random_bytes = fixed_random;
        plat.appdata_path = no_appdata;
        ASSERT_EQ(http_server_start(L"/opt/addin"), 1);
    }
    void TearDown() override {
        http_server_stop();
        plat_reset();
    }
    std::string good = "Bearer " + FIXED_TOKEN;
};

TEST_F(routing, ping_answers_any_method_and_query_without_token) {
    for (const char *m : {"GET", "POST", "DELETE", "BREW"}) {
        routed r = route(m, "/ping");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(reply_text(r), "{\"ok\":true}\n");
    }
    EXPECT_EQ(reply_text(route("GET", "/ping?x=1&y")), "{\"ok\":true}\n");
    EXPECT_EQ(route("GET", "/ping?").status, 200);
}

TEST_F(routing, paths_compare_exactly_and_case_sensitively) {
    for (const char *p : {"/Exec", "/exec/", "/", "/ping/", "/Ping", "/config/", "", "/exec%20", "//ping"}) {
        routed r = route("GET", p, good.c_str());
        EXPECT_EQ(r.status, 404) << p;
        EXPECT_EQ(reply_text(r), "{\"error\":\"not found\"}\n");
        EXPECT_EQ(route("GET", p).status, 404) << p;
    }
}

TEST_F(routing, config_needs_the_current_token_any_method) {
    routed r = route("GET", "/config");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(reply_text(r), "{\"error\":\"forbidden: invalid or missing bearer token\"}\n");
    EXPECT_EQ(route("GET", "/config", "Bearer").status, 403);
    EXPECT_EQ(route("GET", "/config", ("bearer " + FIXED_TOKEN).c_str()).status, 403);
    for (const char *m : {"GET", "POST", "PUT"}) {
        r = route(m, "/config?q", good.c_str());
        EXPECT_EQ(r.status, 200);
        std::string dir = "/opt/addin";
        EXPECT_EQ(reply_text(r), "{\"xll_dir\":\"" + dir + "\",\"modules_path\":\"" + dir +
                                     (PLAT_SEP_NARROW[0] == '\\' ? "\\\\" : "/") + "modules\"}\n");
    }
}

TEST_F(routing, exec_checks_token_before_method) {
    EXPECT_EQ(route("GET", "/exec").status, 403);
    routed r = route("GET", "/exec", good.c_str());
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(reply_text(r), "{\"error\":\"method not allowed\"}\n");
    EXPECT_EQ(route("post", "/exec", good.c_str()).status, 405);
}

TEST_F(routing, exec_before_python_is_refused_without_touching_python) {
    // pyapi is empty in this process: reaching it would crash.
    routed r = route("POST", "/exec", good.c_str(), "{\"op\":\"ping\"}");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(reply_text(r), "{\"ok\":false,\"error\":\"python not initialized\"}\n");
}

TEST_F(routing, stop_clears_the_token_so_the_old_one_fails) {
    EXPECT_EQ(route("GET", "/config", good.c_str()).status, 200);
    http_server_stop();
    EXPECT_EQ(route("GET", "/config", good.c_str()).status, 403);
}

// The router answers from the snapshot it is handed and nothing else: no
// server runs here, and the folder is the snapshot's.
TEST(router, answers_from_the_given_snapshot_without_a_server) {
    http_route_input in{};
    snprintf(in.token, sizeof in.token, "%s", TOKEN.c_str());
    wcscpy(in.xll_dir, L"/given");
    http_request req{};
    req.method = "GET";
    req.uri = "/config";
    std::string auth = "Bearer " + TOKEN;
    req.authorization = auth;
    req.has_authorization = 1;
    http_reply r{};
    http_server_route(&req, &in, &r);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(std::string(r.body, r.body_len).find("{\"xll_dir\":\"/given\""), std::string::npos);
    // A cleared snapshot, as after a stop, refuses the same request.
    memset(in.token, 0, sizeof in.token);
    http_server_route(&req, &in, &r);
    EXPECT_EQ(r.status, 403);
    http_server_reply_release(&r);
}

// Browsers name the page's origin; only this machine's own may reach /mcp.
TEST(origin, only_loopback_http_origins_with_optional_port_pass) {
    auto allowed = [](const char *origin) {
        http_request req{};
        if (origin) {
            req.origin = origin;
            req.has_origin = 1;
        }
        return http_server_origin_allowed(&req);
    };
    EXPECT_TRUE(allowed(nullptr));
    for (const char *o : {"http://127.0.0.1", "http://localhost", "http://127.0.0.1:8080", "http://localhost:1",
                          "http://localhost:65535"})
        EXPECT_TRUE(allowed(o)) << o;
    for (const char *o : {"", "null", "http://evil.example.com", "http://localhost.evil.example.com",
                          "http://127.0.0.1.nip.io", "http://localhost:", "http://localhost:80x", "http://localhost:123456",
                          "https://localhost", "http://127.0.0.2", "http://LOCALHOST", "http://localhost/", "localhost",
                          "http://localhost@evil.example.com"})
        EXPECT_FALSE(allowed(o)) << o;
}

// Five digits are not yet a port: 99999 and 65536 name none, and a browser
// never writes :0 or a leading zero, so such an origin is not one it sent.
TEST(origin, port_beyond_65535_or_with_leading_zero_is_refused) {
    auto allowed = [](const char *origin) {
        http_request req{};
        req.origin = origin;
        req.has_origin = 1;
        return http_server_origin_allowed(&req);
    };
    for (const char *o : {"http://localhost:99999", "http://127.0.0.1:65536", "http://localhost:0",
                          "http://localhost:08080", "http://127.0.0.1:00080"})
        EXPECT_FALSE(allowed(o)) << o;
    for (const char *o : {"http://localhost:9999", "http://127.0.0.1:10000", "http://127.0.0.1:65535"})
        EXPECT_TRUE(allowed(o)) << o;
}

TEST(reply_head, accepted_reply_has_empty_body_and_zero_length) {
    http_reply r{};
    http_server_reply_fixed(&r, 202, "");
    char head[192];
    size_t n = http_server_reply_head(&r, head, sizeof head);
    EXPECT_EQ(std::string(head, n), "HTTP/1.1 202 Accepted\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(routing, mcp_checks_token_then_origin_then_method) {
    const char *evil = "http://evil.example.com";
    routed r = route("POST", "/mcp", nullptr, "{}", evil);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(reply_text(r), "{\"error\":\"forbidden: invalid or missing bearer token\"}\n");
    r = route("POST", "/mcp", good.c_str(), "{}", evil);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(reply_text(r), "{\"error\":\"forbidden: origin not allowed\"}\n");
    EXPECT_EQ(route("GET", "/mcp", good.c_str(), "", evil).status, 403);
    for (const char *m : {"GET", "DELETE", "post"}) {
        r = route(m, "/mcp?x", good.c_str(), "", "http://localhost:5173");
        EXPECT_EQ(r.status, 405) << m;
        EXPECT_EQ(reply_text(r), "{\"error\":\"method not allowed\"}\n");
    }
    EXPECT_EQ(route("GET", "/mcp").status, 403);
    EXPECT_EQ(route("POST", "/MCP", good.c_str()).status, 404);
    EXPECT_EQ(route("POST", "/mcp/", good.c_str()).status, 404);
}

TEST_F(routing, mcp_before_python_is_refused_without_touching_python) {
    routed r = route("POST", "/mcp", good.c_str(), "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}",
                     "http://127.0.0.1:9");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(reply_text(r), "{\"ok\":false,\"error\":\"python not initialized\"}\n");
}
