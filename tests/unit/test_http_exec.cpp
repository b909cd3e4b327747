// The exec bridge against a real embedded Python, directly and through the
// running server. A stand-in tindral_xl._exec_entry beside the add-in
// answers according to the body, so each bad return type can be produced.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "http_raw_client.h"
#include "http_server.h"
#include "http_server_exec.h"
#include "http_server_internal.h"
#include "http_server_route.h"
#include "pyapi.h"
#include "python_runtime.h"

namespace fs = std::filesystem;

namespace {

const char STANDIN[] = R"PY(
import json, sys, threading, time

class S(str):
    pass

# Released by the tests: a worker waiting on it is blocked in C, where no
# interrupt reaches it, until then.
gate = threading.Semaphore(0)

def report(seconds, label="", on_timeout=None, on_close=None):
    native = sys.modules.get("tindral_xl._native")
    return native.exec_limit(seconds, label, on_timeout, on_close)

def dispatch_request(body):
    if body == "none": return None
    if body == "num": return 42
    if body == "bytes": return b"abc"
    if body == "sub": return S("abc")
    if body == "raise": raise ValueError("boom")
    if body == "raise2": raise ValueError("two\nlines")
    if body == "nul": return "ab\x00cd"
    if body == "surrogate": return "\ud800"
    if body == "abc": return "abc"
    if body.startswith("big:"): return "x" * int(body[4:])
    if body.startswith("sleep:"):
        time.sleep(float(body[6:]))
        return "slept"
    if body.startswith("twice:"):  # (seconds, then seconds again): what each report gave
        first, second = body[6:].split(",")
        return "%s,%s" % (report(float(first)), report(float(second)))
    if body.startswith("{"):  # a JSON request as the package reads it
        req = json.loads(body)
        if "timeout" in req:
            report(req["timeout"], req.get("label", ""), req.get("on_timeout"), req.get("on_close"))
        if req.get("block"):
            gate.acquire()
            return "released"
        while True:  # spin
            try:
                pass
            except Exception:
                pass
    return "len=%d:%s" % (len(body), body[:8])
)PY";

// The MCP entry's stand-in: "" asks for 202, the rest as above.
const char MCP_STANDIN[] = R"PY(
def dispatch_mcp(body):
    if body == "note": return ""
    if body == "raise": raise ValueError("boom")
    if body == "none": return None
    return "mcp:" + body
)PY";

fs::path addin;

std::string reply_text(const http_reply &r) {
    std::string s(r.body, r.body_len);
    if (r.add_newline) s += "\n";
    return s;
}

// Runs fn on a thread of its own, as the server runs the bridge, and ends
// that thread's kept Python state afterwards.
void on_server_like_thread(const std::function<void(http_exec_session *)> &fn) {
    std::thread t([&] {
        http_exec_session session{};
        fn(&session);
        http_server_exec_session_end(&session);
    });
    t.join();
}

http_reply exec_once(http_exec_session *s, const std::string &body) {
    http_reply r{};
    http_server_handle_exec(body, &r, s);
    return r;
}

int error_indicator_set() {
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    int set = pyapi.PyErr_Occurred() != nullptr;
    pyapi.PyGILState_Release(g);
    return set;
}

const std::string INTERNAL = "{\"ok\":false,\"error\":\"internal error\"}\n";

class exec_bridge : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tindral-exec-XXXXXX";
        addin = mkdtemp(pattern);
        fs::create_directory_symlink(fs::path(TINDRAL_BINARY_DIR) / "python-home", addin / "python");
        fs::create_directories(addin / "tindral_xl");
        std::ofstream(addin / "tindral_xl" / "__init__.py") << "_registry = []\n";
        std::ofstream(addin / "tindral_xl" / "_exec_entry.py") << STANDIN;
        std::ofstream(addin / "tindral_xl" / "_mcp_entry.py") << MCP_STANDIN;
        fs::create_directories(addin / "cfg");
        setenv("XDG_CONFIG_HOME", (addin / "cfg").c_str(), 1);
        setenv("TMPDIR", addin.c_str(), 1);
        std::string narrow = addin.string();
        std::wstring dir(narrow.begin(), narrow.end());
        python_runtime_set_xll_dir(dir.c_str());
        ASSERT_EQ(python_runtime_init(nullptr), 1);
        python_runtime_release_start_lock();
    }
    void TearDown() override {
        http_server_stop();
        fs::remove_all(addin);
    }
};

}  // namespace

TEST_F(exec_bridge, returned_str_comes_back_with_a_line_feed) {
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "abc");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(reply_text(r), "abc\n");
        http_server_reply_release(&r);
        r = exec_once(s, "");
        EXPECT_EQ(reply_text(r), "len=0:\n") << "an empty body is an empty str";
        http_server_reply_release(&r);
    });
}

TEST_F(exec_bridge, body_is_cut_at_nul_and_reply_at_nul_character) {
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, std::string("ab\0cd", 5));
        EXPECT_EQ(reply_text(r), "len=2:ab\n");
        http_server_reply_release(&r);
        r = exec_once(s, "nul");
        EXPECT_EQ(reply_text(r), "ab\n");
        http_server_reply_release(&r);
    });
}

TEST_F(exec_bridge, bad_results_give_fixed_500_and_leave_no_error_behind) {
    on_server_like_thread([](http_exec_session *s) {
        for (const char *body : {"none", "num", "bytes", "sub", "raise", "surrogate", "\xff\xfe bad utf-8"}) {
            http_reply r = exec_once(s, body);
            EXPECT_EQ(r.status, 500) << body;
            EXPECT_EQ(reply_text(r), INTERNAL) << body;
            EXPECT_EQ(r.owned, nullptr);
            EXPECT_FALSE(error_indicator_set()) << body;
            http_reply r2 = exec_once(s, "abc");
            EXPECT_EQ(reply_text(r2), "abc\n") << "after " << body;
            http_server_reply_release(&r2);
        }
    });
}

TEST_F(exec_bridge, function_is_looked_up_afresh_for_every_request) {
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "abc");
        EXPECT_EQ(reply_text(r), "abc\n");
        http_server_reply_release(&r);
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        pyapi.PyRun_SimpleString("import tindral_xl._exec_entry as m\nm.dispatch_request = lambda b: 'new:' + b\n");
        pyapi.PyGILState_Release(g);
        r = exec_once(s, "abc");
        EXPECT_EQ(reply_text(r), "new:abc\n");
        http_server_reply_release(&r);
    });
}

// What the add-in's reader makes of `text` against json.loads: 1 equal in
// every type, key order and float bit, 0 different, -1 declined (with no
// Python error left behind). Either way the text, read in place, must come
// out as it went in: json.loads reads it next when the reader declines.
// `copy` 1: the reader is told the text may hold a backslash, which makes it
// read a copy.
int reader_verdict(const std::string &text, int copy) {
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    std::string padded = text + std::string(HTTP_EXEC_BODY_PAD, '\0');
    PyObject *got = http_server_json_to_python(padded.data(), text.size(), copy);
    EXPECT_EQ(padded, text + std::string(HTTP_EXEC_BODY_PAD, '\0')) << text;
    int verdict = -1;
    if (!got) {
        EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr) << text;
    } else {
        PyObject *main = pyapi.PyImport_AddModule("__main__");  // borrowed
        PyObject *globals = pyapi.PyModule_GetDict(main);        // borrowed
        PyObject *source = pyapi.PyUnicode_FromString(text.c_str());
        pyapi.PyDict_SetItemString(globals, "got", got);
        pyapi.PyDict_SetItemString(globals, "text", source);
        pyapi.PyRun_SimpleString(
            "import json\n"
            "def same(a, b):\n"
            "    if type(a) is not type(b): return False\n"
            "    if type(a) is dict: return list(a) == list(b) and all(same(a[k], b[k]) for k in a)\n"
            "    if type(a) is list: return len(a) == len(b) and all(map(same, a, b))\n"
            "    if type(a) is float: return repr(a) == repr(b)\n"
            "    return a == b\n"
            "verdict = False\n"
            "verdict = same(got, json.loads(text))\n");
        PyObject *v = pyapi.PyObject_GetAttrString(main, "verdict");
        verdict = v == pyapi._Py_TrueStruct ? 1 : 0;
        if (v) pyapi.Py_DecRef(v);
        pyapi.Py_DecRef(source);
        pyapi.Py_DecRef(got);
    }
    pyapi.PyGILState_Release(g);
    return verdict;
}

// The verdict on `text` read in place where it can be, and read in a copy,
// which must agree.
int reader_matches_json_module(const std::string &text) {
    int verdict = reader_verdict(text, 1);
    if (text.find('\\') == std::string::npos) {
        EXPECT_EQ(reader_verdict(text, 0), verdict) << text;
    }
    return verdict;
}

TEST_F(exec_bridge, reader_makes_what_json_loads_makes_or_declines) {
    std::string deep_ok(200, '['), deep_too(300, '[');
    deep_ok += std::string(200, ']');
    deep_too += std::string(300, ']');
    // Long strings and keys are copied as ASCII when they are: one byte past
    // the vector loop's 16-byte steps and its 4 KiB checks, text that turns
    // out not to be ASCII in the middle, in the last block, in the tail.
    std::string ascii = std::string(5000, 'a') + "\\n\\u0041" + std::string(63, 'b');
    std::string late_utf8 = std::string(4100, 'c') + "\xc3\xa9" + std::string(10, 'd');
    std::string tail_utf8 = std::string(64, 'e') + "\xe2\x82\xac";
    std::string long_bad = std::string(70, 'f') + "\xff";
    std::string long_keys = "{\"" + std::string(64, 'k') + "\": \"" + std::string(65, 'v') + "\", \"" +
                            std::string(4113, 'K') + "\xc3\xa9\": \"" + std::string(63, 'w') + "\"}";
    for (const std::string &text : std::vector<std::string>{
             "{\"op\": \"exec\", \"code\": \"print(1)\\n\", \"id\": 7}",
             " \t\r\n{\"a\": [], \"b\": {}, \"c\": [[{}], [true, false, null]]} \n",
             // Numbers: int() of big and negative-zero integers, float()
             // of the rest, underflow to zero.
             "[0, -0, 12345678901234567890123, -9223372036854775809, 1.5, -0.0, 0.1, 2.5e+3, -1e-400, 1.7976931348623157e308]",
             // Escapes, a surrogate pair, raw UTF-8, an escaped NUL.
             "[\"\\u00e9\\ud83d\\ude00\\n\\t\\\"\\\\\\/\\b\\f\\r\", \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\", \"a\\u0000b\"]",
             "{\"k\": 1, \"j\": 2, \"k\": 3}",  // the last of a repeated key, in the first one's place
             "5", "\"just text\"", "null", deep_ok,
             "[\"" + ascii + "\", \"" + late_utf8 + "\", \"" + tail_utf8 + "\"]", long_keys,
         })
        EXPECT_EQ(reader_matches_json_module(text), 1) << text;
    std::string long_int = "[1" + std::string(5000, '0') + "]";
    for (const std::string &text : std::vector<std::string>{
             "{\"x\": NaN}", "[Infinity]", "[-Infinity]",  // json.loads reads these, its own way
             "[\"\\ud800\"]", "[\"\\udc00x\"]",             // lone surrogates: json.loads keeps them
             "[\"\xff\"]", "[\"\xed\xa0\x80\"]",            // not UTF-8
             "[\"" + long_bad + "\"]",
             long_int,                                         // more digits than int() takes
             "[1E400]",                                        // beyond a double: json.loads makes inf
             deep_too,                                         // deeper than the reader goes
             "", "   ", "{} x", "{\"a\": 1,}", "[01]", "\xef\xbb\xbf{}", "{\"a\": \"tab\there\"}", "[1, 2",
         })
        EXPECT_EQ(reader_matches_json_module(text), -1) << text;
}

// Texts one byte away from valid ones, that byte one JSON gives a meaning
// to (or a byte that is not UTF-8): whatever the reader makes of them, in
// place or in a copy, is what json.loads makes of them, or it declines; and
// the text comes out whole. A fixed seed: a failure repeats.
TEST_F(exec_bridge, reader_never_differs_from_json_loads_on_texts_one_byte_off) {
    const std::string seeds[] = {
        "{\"op\": \"exec\", \"code\": \"print(1)\\n\", \"id\": [1, -2.5e3, true, null]}",
        "{\"op\": \"ping\", \"pad\": \"" + std::string(80, 'x') + "\", \"k\": {\"a\": []}}",
        "[\"a\", \"\xc3\xa9\", 0, {\"\": \"b\"}]",
    };
    static const char bytes[] = "\"\\{}[],:0e-. unN\x80\xff";
    unsigned long long state = 0x9e3779b97f4a7c15ull;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (size_t)(state >> 33);
    };
    int read = 0;
    for (const std::string &seed : seeds) {
        for (int i = 0; i < 150; i++) {
            std::string text = seed;
            text[next() % text.size()] = bytes[next() % (sizeof bytes - 1)];
            int verdict = reader_matches_json_module(text);
            ASSERT_NE(verdict, 0) << text;
            read += verdict == 1;
        }
    }
    // Not all declined: the cases reach the reader's building, too.
    EXPECT_GT(read, 50);
}

// The request reaches Python read when the entry has a `parsed` twin and the
// reader takes the body; as text otherwise, and always for an entry replaced
// by one without the twin.
TEST_F(exec_bridge, entry_with_a_parsed_twin_gets_the_value_and_the_text_when_declined) {
    on_server_like_thread([](http_exec_session *s) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        pyapi.PyRun_SimpleString(
            "import tindral_xl._exec_entry as m\n"
            "m.dispatch_request.parsed = lambda req: 'parsed:%r' % (req,)\n");
        pyapi.PyGILState_Release(g);
        for (auto [body, answer] : std::vector<std::pair<std::string, std::string>>{
                 {"{\"a\": [1, 2.5, \"x\"]}", "parsed:{'a': [1, 2.5, 'x']}\n"},
                 {"[NaN, 1]", "len=8:[NaN, 1]\n"},
                 {"abc", "abc\n"},
             }) {
            http_reply r = exec_once(s, body);
            EXPECT_EQ(reply_text(r), answer) << body;
            http_server_reply_release(&r);
            EXPECT_FALSE(error_indicator_set()) << body;
        }
        g = pyapi.PyGILState_Ensure();
        pyapi.PyRun_SimpleString("import tindral_xl._exec_entry as m\nm.dispatch_request = lambda b: 'new:' + b\n");
        pyapi.PyGILState_Release(g);
        http_reply r = exec_once(s, "{\"a\": 1}");
        EXPECT_EQ(reply_text(r), "new:{\"a\": 1}\n");
        http_server_reply_release(&r);
    });
}

TEST_F(exec_bridge, missing_module_gives_500_not_a_crash) {
    fs::remove(addin / "tindral_xl" / "_exec_entry.py");
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "abc");
        EXPECT_EQ(reply_text(r), INTERNAL);
        EXPECT_FALSE(error_indicator_set());
    });
}

TEST_F(exec_bridge, kept_thread_state_is_released_and_python_stays_usable) {
    for (int i = 0; i < 3; i++) {
        on_server_like_thread([](http_exec_session *s) {
            http_reply r = exec_once(s, "abc");
            EXPECT_EQ(reply_text(r), "abc\n");
            http_server_reply_release(&r);
        });
    }
    // The main thread can still take the lock: no thread kept it.
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    EXPECT_EQ(pyapi.PyRun_SimpleString("import threading\nassert threading.active_count() >= 1\n"), 0);
    pyapi.PyGILState_Release(g);
}

TEST_F(exec_bridge, mcp_entry_empty_text_is_202_with_empty_body_others_as_exec) {
    on_server_like_thread([](http_exec_session *s) {
        http_reply r{};
        http_server_handle_mcp("note", &r, s);
        EXPECT_EQ(r.status, 202);
        EXPECT_EQ(reply_text(r), "");
        EXPECT_EQ(r.owned, nullptr) << "the empty text is freed at once";
        r = http_reply{};
        http_server_handle_mcp("abc", &r, s);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(reply_text(r), "mcp:abc\n");
        http_server_reply_release(&r);
        for (const char *body : {"raise", "none"}) {
            r = http_reply{};
            http_server_handle_mcp(body, &r, s);
            EXPECT_EQ(r.status, 500) << body;
            EXPECT_EQ(reply_text(r), INTERNAL) << body;
            EXPECT_FALSE(error_indicator_set()) << body;
        }
        // /exec keeps its own entry and its rule: an empty text is 200 "\n".
        r = exec_once(s, "abc");
        EXPECT_EQ(reply_text(r), "abc\n");
        http_server_reply_release(&r);
    });
}

// A thread body that lets an exception out ends the process (std::terminate)
// with Excel in it. Here the reply callback throws.
TEST_F(exec_bridge, exception_in_the_worker_thread_is_caught_logged_and_the_runner_still_ends) {
    void (*throwing)(void *) = [](void *) { throw std::runtime_error("the transport's callback failed"); };
    http_exec_runner *r = http_server_exec_runner_create(throwing, nullptr);
    ASSERT_NE(r, nullptr);
    std::string body = "abc";
    http_reply refusal{};
    ASSERT_EQ(http_server_exec_runner_submit(r, &http_server_exec_agent, body, 1, 0, &refusal), 1);
    std::string log;
    for (int i = 0; i < 200 && log.find("the exec worker failed") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::ifstream f(addin / "tindralxl.log");
        log.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(log.find("http_server: the exec worker failed and ends"), std::string::npos) << log;
    http_reply out{};
    http_server_exec_runner_take(r, &out);
    EXPECT_EQ(reply_text(out), "abc\n") << "the reply was ready before the callback";
    http_server_reply_release(&out);
    http_server_exec_runner_finish(r);
    http_server_exec_runner_destroy(r);
}

// The transport waits a moment for a quick reply itself: whatever the timing,
// each reply reaches it exactly once, either from the wait or through done.
TEST_F(exec_bridge, awaited_reply_is_handed_over_once_by_the_wait_or_by_done) {
    static std::atomic<int> done_calls{0};
    done_calls = 0;
    http_exec_runner *r = http_server_exec_runner_create([](void *) { done_calls++; }, nullptr);
    ASSERT_NE(r, nullptr);
    http_reply refusal{}, out{};
    auto submit = [&](const char *text) {
        std::string body = text;
        return http_server_exec_runner_submit(r, &http_server_exec_agent, body, 1, 1, &refusal);
    };
    auto wait_for_done = [](int n) {
        for (int i = 0; i < 400 && done_calls.load() < n; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };

    // Ready long before the wait begins (the worker ended first): the wait
    // takes it, and done, which would hand it over a second time, is silent.
    ASSERT_EQ(submit("abc"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(http_server_exec_runner_await(r, &out), 1);
    EXPECT_EQ(reply_text(out), "abc\n");
    http_server_reply_release(&out);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(done_calls.load(), 0);

    // Not ready within the wait: done says so once, and the reply is there.
    ASSERT_EQ(submit("sleep:0.3"), 1);
    EXPECT_EQ(http_server_exec_runner_await(r, &out), 0);
    wait_for_done(1);
    EXPECT_EQ(done_calls.load(), 1);
    http_server_exec_runner_take(r, &out);
    EXPECT_EQ(reply_text(out), "slept\n");
    http_server_reply_release(&out);

    // The runner is free again after each: a third request is taken, not
    // refused as busy.
    ASSERT_EQ(submit("abc"), 1) << reply_text(refusal);
    if (!http_server_exec_runner_await(r, &out)) {
        wait_for_done(2);
        EXPECT_EQ(done_calls.load(), 2);
        http_server_exec_runner_take(r, &out);
    }
    EXPECT_EQ(reply_text(out), "abc\n");
    http_server_reply_release(&out);
    http_server_exec_runner_finish(r);
    http_server_exec_runner_destroy(r);
}

// Through the server, with raw bytes.
class exec_server : public exec_bridge {
  protected:
    int port = 0;
    std::string token;
    void SetUp() override {
        exec_bridge::SetUp();
        ASSERT_EQ(http_server_start(nullptr), 1);
        std::ifstream f(addin / "cfg" / "TindralXL" / "session.json");
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        port = atoi(text.c_str() + text.find("\"port\":") + 7);
        token = text.substr(text.find("\"token\":\"") + 9, 64);
    }
    std::string post(const std::string &body) {
        return "POST /exec HTTP/1.1\r\nAuthorization: Bearer " + token +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
};

TEST_F(exec_server, two_mib_body_reaches_python) {
    raw_conn c(port);
    std::string body(2 * 1024 * 1024, 'q');
    EXPECT_EQ(c.exchange(post(body)), http_expect(200, "OK", "len=2097152:qqqqqqqq\n"));
}

// 1 when the connection has bytes waiting to be read.
bool has_data(const raw_conn &c) {
    char b;
    return ::recv(c.fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

TEST_F(exec_server, ping_and_config_are_answered_while_exec_runs_and_second_exec_is_busy) {
    raw_conn slow(port);
    ASSERT_TRUE(slow.send_all(post("sleep:1.5")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    raw_conn p(port);
    EXPECT_EQ(p.exchange("GET /ping HTTP/1.1\r\n\r\n"), http_expect(200, "OK", "{\"ok\":true}\n"));
    EXPECT_EQ(p.exchange("GET /config HTTP/1.1\r\nAuthorization: Bearer " + token + "\r\n\r\n").find("HTTP/1.1 200 OK"),
              0u);
    EXPECT_EQ(p.exchange(post("abc")).find("HTTP/1.1 503 Service Unavailable\r\n"), 0u);
    // Ordering, not speed: all of that came while the exec was still running.
    EXPECT_FALSE(has_data(slow));
    EXPECT_EQ(slow.read_reply(), http_expect(200, "OK", "slept\n"));
    EXPECT_EQ(p.exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "the worker is free again";
}

TEST_F(exec_server, spinning_request_is_interrupted_at_its_time_limit_and_the_next_runs) {
    raw_conn c(port, 15000);
    // The stand-in has no RequestTimeout: KeyboardInterrupt is raised, escapes
    // it, and the bridge answers for it.
    EXPECT_EQ(c.exchange(post("{\"timeout\": 0.3, \"spin\": 1}")),
              http_expect(200, "OK", "{\"ok\":false,\"kind\":\"timeout\",\"error\":\"the request ran past its time limit\"}\n"));
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n"));
    EXPECT_FALSE(error_indicator_set());
}

TEST_F(exec_server, stop_during_spinning_exec_interrupts_it_and_returns_at_once) {
    raw_conn spin(port, 15000);
    ASSERT_TRUE(spin.send_all(post("{\"timeout\": 3000}")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    http_server_stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    // Not a speed check: the stop gives up after 5000 ms, so anything under
    // that means the server thread had ended, worker and watchdog with it.
    EXPECT_LT(took.count(), 4500);
    EXPECT_EQ(spin.read_reply(), http_expect(200, "OK",
                                             "{\"ok\":false,\"kind\":\"interrupted\",\"error\":\"the add-in closed "
                                             "while the request ran\"}\n"));
    EXPECT_TRUE(spin.closed_without_reply());
    ASSERT_EQ(http_server_start(nullptr), 1);
    std::ifstream f(addin / "cfg" / "TindralXL" / "session.json");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    port = atoi(text.c_str() + text.find("\"port\":") + 7);
    token = text.substr(text.find("\"token\":\"") + 9, 64);
    raw_conn c(port);
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "nothing of the old server holds the new one";
}

// Lets `n` requests blocked on the stand-in's gate go on.
void open_gate(int n) {
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    std::string code = "import tindral_xl._exec_entry as m\nfor _ in range(" + std::to_string(n) + "): m.gate.release()\n";
    EXPECT_EQ(pyapi.PyRun_SimpleString(code.c_str()), 0);
    pyapi.PyGILState_Release(g);
}

std::string log_text() {
    std::ifstream f(addin / "tindralxl.log");
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Waits up to `ms` for `needle` in the log.
bool log_shows(const std::string &needle, int ms) {
    for (int waited = 0; waited <= ms; waited += 50) {
        if (log_text().find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A request blocked in C (here on a lock, as time.sleep or a silent socket
// blocks) kept the old server's exec lock: the next server's first request
// waited on it for ever.
TEST_F(exec_server, stop_with_a_call_blocked_in_c_leaves_nothing_that_holds_up_the_next_server) {
    raw_conn blocked(port, 15000);
    ASSERT_TRUE(blocked.send_all(post("{\"timeout\": 600, \"block\": 1, \"label\": \"exec (id 1)\", "
                                      "\"on_close\": \"{\\\"closed\\\": 1}\"}")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    http_server_stop();
    // Not a speed check: the stop's own wait ends at 5000 ms; under that, the
    // server thread had ended, having given up on the call.
    EXPECT_LT(seconds_since(t0), 4.5);
    EXPECT_EQ(blocked.read_reply(), http_expect(200, "OK", "{\"closed\": 1}\n")) << "Python's answer for a close";
    EXPECT_TRUE(blocked.closed_without_reply());
    EXPECT_NE(log_text().find("http_server: /exec request 1: exec (id 1) did not stop within 2 s of the close; its "
                              "worker is abandoned (1 of at most 4)"),
              std::string::npos)
        << log_text();

    ASSERT_EQ(http_server_start(nullptr), 1);
    std::ifstream f(addin / "cfg" / "TindralXL" / "session.json");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    port = atoi(text.c_str() + text.find("\"port\":") + 7);
    token = text.substr(text.find("\"token\":\"") + 9, 64);
    raw_conn c(port, 5000);
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "served while the old call still blocks";
    // Once it can, the abandoned call ends by itself; its answer goes nowhere.
    open_gate(1);
    EXPECT_TRUE(log_shows("http_server: the abandoned /exec request 1: exec (id 1) ended after", 5000)) << log_text();
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n"));
}

// Code blocked in C kept the only worker past its limit: every request was
// answered busy until the call returned.
TEST_F(exec_server, call_blocked_in_c_past_its_limit_is_abandoned_and_a_fresh_worker_serves_the_next) {
    raw_conn blocked(port, 15000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(blocked.exchange(post("{\"timeout\": 0.2, \"block\": 1, \"label\": \"exec\", "
                                    "\"on_timeout\": \"{\\\"abandoned\\\": true}\"}")),
              http_expect(200, "OK", "{\"abandoned\": true}\n"));
    // The interrupt comes at 0.2 s and cannot reach the call; 2 s later it is
    // given up on. Not a speed check: it bounds a wait that was endless.
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_NE(log_text().find("http_server: /exec request 1: exec ran past its time limit of 0.2 s and did not stop "
                              "within 2 s of the interrupt; its worker is abandoned (1 of at most 4)"),
              std::string::npos)
        << log_text();
    EXPECT_EQ(blocked.exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "a fresh worker";
    open_gate(1);
    EXPECT_TRUE(log_shows("http_server: the abandoned /exec request 1: exec ended after", 5000)) << log_text();
    EXPECT_FALSE(error_indicator_set());
}

TEST_F(exec_server, abandoned_call_without_an_answer_of_its_own_gets_the_fixed_one) {
    raw_conn blocked(port, 15000);
    EXPECT_EQ(blocked.exchange(post("{\"timeout\": 0.1, \"block\": 1}")),
              http_expect(200, "OK",
                          "{\"ok\":false,\"kind\":\"timeout\",\"abandoned\":true,\"error\":\"the request ran past its "
                          "time limit and did not stop when interrupted (blocked in a C call); it was abandoned and "
                          "its code may still be running\"}\n"));
    open_gate(1);
}

TEST_F(exec_server, abandoned_workers_at_their_cap_refuse_new_requests_with_a_reason_until_one_ends) {
    raw_conn c(port, 15000);
    for (int i = 0; i < HTTP_EXEC_MAX_ABANDONED; i++)
        ASSERT_EQ(c.exchange(post("{\"timeout\": 0.05, \"block\": 1, \"on_timeout\": \"gone\"}")),
                  http_expect(200, "OK", "gone\n"))
            << i;
    const std::string refused = http_expect(
        503, "Service Unavailable",
        "{\"ok\":false,\"error\":\"too many abandoned requests: 4 requests that did not stop at their time limit "
        "are still running; no new request runs until one of them ends\"}\n");
    EXPECT_EQ(c.exchange(post("abc")), refused);
    EXPECT_EQ(c.exchange("GET /ping HTTP/1.1\r\n\r\n"), http_expect(200, "OK", "{\"ok\":true}\n"));
    open_gate(1);
    ASSERT_TRUE(log_shows("(3 abandoned still running)", 5000)) << log_text();
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "one ended: a fresh worker runs it";
    open_gate(3);
    EXPECT_TRUE(log_shows("(0 abandoned still running)", 5000)) << log_text();
}

TEST_F(exec_server, busy_answer_names_the_running_request_and_how_long_it_has_run) {
    raw_conn slow(port, 15000);
    ASSERT_TRUE(slow.send_all(post("{\"timeout\": 30, \"block\": 1, \"label\": \"exec (id \\\"q\\\")\"}")));
    raw_conn c(port);
    const std::string head =
        "{\"ok\":false,\"error\":\"busy\",\"running\":\"/exec request 1: exec (id \\\"q\\\")\",\"seconds\":";
    // Once Python has named the request, every busy answer names it.
    std::string body;
    for (int i = 0; i < 200 && body.compare(0, head.size(), head) != 0; i++) {
        std::string r = c.exchange(post("abc"));
        EXPECT_EQ(r.compare(0, 34, "HTTP/1.1 503 Service Unavailable\r\n"), 0) << r;
        body = r.substr(r.find("\r\n\r\n") + 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(body.compare(0, head.size(), head), 0) << body;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string r = c.exchange(post("abc"));
    body = r.substr(r.find("\r\n\r\n") + 4);
    ASSERT_EQ(body.compare(0, head.size(), head), 0) << body;
    EXPECT_EQ(body.substr(body.size() - 2), "}\n") << body;
    // It has run at least as long as this test waited since it was named.
    EXPECT_GE(atof(body.c_str() + head.size()), 0.3) << body;
    open_gate(1);
    EXPECT_EQ(slow.read_reply(), http_expect(200, "OK", "released\n"));
}

TEST_F(exec_server, limit_counts_from_the_first_report_of_a_request_and_only_on_its_worker) {
    raw_conn c(port);
    // Code a request runs cannot report again and widen its own limit.
    EXPECT_EQ(c.exchange(post("twice:5,3600")), http_expect(200, "OK", "True,False\n"));
    EXPECT_EQ(c.exchange(post("twice:0,5")), http_expect(200, "OK", "False,True\n")) << "a refused report is none";
    // Off the worker (a worksheet function, a direct call) there is nothing to limit.
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "twice:5,5");
        EXPECT_EQ(reply_text(r), "False,False\n");
        http_server_reply_release(&r);
    });
}

TEST_F(exec_server, a_long_name_with_a_line_feed_is_cut_at_a_whole_character_and_kept_on_one_line) {
    raw_conn slow(port, 15000);
    std::string label;
    for (int i = 0; i < 200; i++) label += "\xc3\xa9";  // é: two bytes each
    ASSERT_TRUE(slow.send_all(post("{\"timeout\": 0.1, \"block\": 1, \"label\": \"a\\nbc" + label + "\"}")));
    EXPECT_NE(slow.read_reply().find("\"abandoned\":true"), std::string::npos);
    // The log line naming it: one line, the name cut before a whole character.
    std::string log = log_text();
    // 4 bytes, then é after é: the 95 bytes kept would end in half of one.
    size_t at = log.find("http_server: /exec request 1: a bc\xc3\xa9");
    ASSERT_NE(at, std::string::npos) << log;
    std::string line = log.substr(at, log.find('\n', at) - at);
    size_t name_end = line.find(" ran past its time limit");
    ASSERT_NE(name_end, std::string::npos) << line;
    std::string name = line.substr(strlen("http_server: /exec request 1: a bc"),
                                   name_end - strlen("http_server: /exec request 1: a bc"));
    EXPECT_EQ(name.size() % 2, 0u) << "no half of a two-byte character";
    EXPECT_LT(name.size(), label.size()) << "cut";
    EXPECT_EQ(name, label.substr(0, name.size()));
    open_gate(1);
}

TEST_F(exec_server, mcp_reads_origin_header_among_the_first_thirty_only) {
    auto post_mcp = [&](const std::string &extra, const std::string &body) {
        return "POST /mcp HTTP/1.1\r\n" + extra + "Authorization: Bearer " + token +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    raw_conn c(port);
    EXPECT_EQ(c.exchange(post_mcp("origin:  http://evil.example.com \r\n", "abc")),
              http_expect(403, "Forbidden", "{\"error\":\"forbidden: origin not allowed\"}\n"));
    EXPECT_EQ(c.exchange(post_mcp("Origin: http://localhost:3000\r\nOrigin: http://evil.example.com\r\n", "abc")),
              http_expect(200, "OK", "mcp:abc\n"))
        << "the first Origin field is the one looked at";
    std::string many;
    for (int i = 0; i < 29; i++) many += "X-Filler-" + std::to_string(i) + ": 1\r\n";
    // Authorization is the 30th field, Origin the 31st: not seen.
    EXPECT_EQ(c.exchange("POST /mcp HTTP/1.1\r\n" + many + "Authorization: Bearer " + token +
                         "\r\nOrigin: http://evil.example.com\r\nContent-Length: 4\r\n\r\nnote"),
              http_expect(202, "Accepted", ""));
}

// The channel itself failing (its entry raising, or not importing) used to
// leave nothing behind: the agent saw "internal error" and the log nothing.
TEST_F(exec_bridge, dispatch_failure_logs_the_python_exception_and_answers_the_fixed_500) {
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "raise");
        EXPECT_EQ(reply_text(r), INTERNAL);
        r = http_reply{};
        http_server_handle_mcp("raise", &r, s);
        EXPECT_EQ(reply_text(r), INTERNAL);
        r = exec_once(s, "none");
        EXPECT_EQ(reply_text(r), INTERNAL);
        r = exec_once(s, "raise2");
        EXPECT_EQ(reply_text(r), INTERNAL);
    });
    std::string text = log_text();
    EXPECT_NE(text.find("failed: ValueError: two lines\n"), std::string::npos) << "one line per message: " << text;
    EXPECT_NE(text.find("http_server: tindral_xl._exec_entry.dispatch_request failed: ValueError: boom\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("http_server: tindral_xl._mcp_entry.dispatch_mcp failed: ValueError: boom\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("http_server: tindral_xl._exec_entry.dispatch_request failed: it returned no str\n"),
              std::string::npos) << text;
}

TEST_F(exec_bridge, entry_that_does_not_import_is_logged_with_its_exception) {
    std::ofstream(addin / "tindral_xl" / "_exec_entry.py") << "raise ImportError('shadowed')\n";
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    pyapi.PyRun_SimpleString("import sys, importlib\nsys.modules.pop('tindral_xl._exec_entry', None)\n"
                             "importlib.invalidate_caches()\n");
    pyapi.PyGILState_Release(g);
    on_server_like_thread([](http_exec_session *s) {
        http_reply r = exec_once(s, "abc");
        EXPECT_EQ(reply_text(r), INTERNAL);
        EXPECT_FALSE(error_indicator_set());
    });
    std::string text = log_text();
    EXPECT_NE(text.find("http_server: tindral_xl._exec_entry.dispatch_request failed: ImportError: shadowed\n"),
              std::string::npos) << text;
}

// Closing the stop's own listener is no failure: once a request had made
// the exec worker, every normal close used to log one.
TEST_F(exec_server, normal_stop_after_a_request_logs_a_stop_not_a_listener_failure) {
    raw_conn c(port);
    EXPECT_EQ(c.exchange(post("abc")), http_expect(200, "OK", "abc\n"));
    http_server_stop();
    std::string text = log_text();
    EXPECT_EQ(text.find("the listener failed"), std::string::npos) << text;
    EXPECT_NE(text.find("http_server: stopped\n"), std::string::npos) << text;
}

// Answers their clients never read are held until read: they count against
// the memory cap, and once they fill it a new request is refused before it
// runs instead of adding one more answer of any size.
TEST_F(exec_server, unread_answers_fill_the_memory_cap_and_the_next_request_is_refused_with_the_reason) {
    // A client that takes nothing: a receive window too small for the answer.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int tiny = 2048;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, (sockaddr *)&addr, sizeof addr), 0);
    std::string first = post("big:9000000");  // more than the 8 MiB cap on its own
    ASSERT_EQ(send(fd, first.data(), first.size(), 0), (ssize_t)first.size());
    // Its answer has begun to arrive: made, and stuck in the write.
    pollfd ready{fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 20000), 1);
    raw_conn other(port);
    EXPECT_EQ(other.exchange(post("abc")),
              http_expect(503, "Service Unavailable",
                          "{\"ok\":false,\"error\":\"busy: earlier answers are still unread\"}\n"));
    EXPECT_EQ(other.exchange("GET /ping HTTP/1.1\r\n\r\n"), http_expect(200, "OK", "{\"ok\":true}\n"))
        << "what needs no answer of its own still gets one";
    // Read whole, the answer no longer counts.
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t got = 0;
    char buf[65536];
    for (ssize_t n; got < 9000000 && (n = recv(fd, buf, sizeof buf, 0)) > 0;) got += (size_t)n;
    EXPECT_GT(got, 9000000u);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(other.exchange(post("abc")), http_expect(200, "OK", "abc\n"));
}

// A client that asks again the moment its answer arrives, on another
// connection, must find the worker free, not busy: the reply is taken (and
// the worker freed) before any byte of it reaches the client.
TEST_F(exec_server, request_sent_the_moment_the_last_answer_arrived_is_not_told_busy) {
    raw_conn a(port), b(port);
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ((i % 2 ? a : b).exchange(post("abc")), http_expect(200, "OK", "abc\n")) << "round " << i;
    }
}
