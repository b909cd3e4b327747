// http_server: the exec bridge, the one place where the server thread
// enters Python. Every call goes through the pyapi table.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http_server_exec.h"
#include "pyapi.h"
#include "python_runtime.h"
#include "xll_log.h"

namespace {

constexpr char BODY_OUT_OF_MEMORY[] = "{\"ok\":false,\"error\":\"out of memory\"}\n";
constexpr char BODY_INTERNAL[] = "{\"ok\":false,\"error\":\"internal error\"}\n";
constexpr char BODY_NO_PYTHON[] = "{\"ok\":false,\"error\":\"python not initialized\"}\n";
// An interrupted call that left no answer of its own (the interrupt came
// outside the code that answers it).
constexpr char BODY_TIMEOUT[] = "{\"ok\":false,\"kind\":\"timeout\",\"error\":\"the request ran past its time limit\"}\n";
constexpr char BODY_CLOSING[] =
    "{\"ok\":false,\"kind\":\"interrupted\",\"error\":\"the add-in closed while the request ran\"}\n";

// PyGILState_STATE's published values.
constexpr PyGILState_STATE GIL_LOCKED = 0;

struct http_exec_state {
    plat_lock lock;  // exec_lock: around each Python call of /exec and /mcp; never deleted
    int lock_made;   // lock initialised; starting thread
};
http_exec_state exec_state;

// Takes the pending Python error and writes "Type: message" into `why`
// ("" when none is pending). Leaves no error behind. Needs the interpreter
// lock.
void exec_take_error(char *why, size_t cap) {
    why[0] = 0;
    if (!pyapi.PyErr_Occurred()) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;  // new references
    pyapi.PyErr_Fetch(&type, &value, &traceback);
    pyapi.PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *name = type ? pyapi.PyObject_GetAttrString(type, "__name__") : nullptr;  // new reference
    PyObject *text = value ? pyapi.PyObject_Str(value) : nullptr;                       // new reference
    const char *name_utf8 = name && pyapi_type_of(name) == pyapi.PyUnicode_Type ? pyapi.PyUnicode_AsUTF8(name) : nullptr;
    const char *text_utf8 = text ? pyapi.PyUnicode_AsUTF8(text) : nullptr;
    snprintf(why, cap, "%s%s%s", name_utf8 ? name_utf8 : "an exception", text_utf8 && *text_utf8 ? ": " : "",
             text_utf8 ? text_utf8 : "");
    // One log line, whatever the message holds.
    for (char *c = why; *c; c++)
        if (*c == '\n' || *c == '\r') *c = ' ';
    if (text) pyapi.Py_DecRef(text);
    if (name) pyapi.Py_DecRef(name);
    if (type) pyapi.Py_DecRef(type);
    if (value) pyapi.Py_DecRef(value);
    if (traceback) pyapi.Py_DecRef(traceback);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// Calls the target's function with `body` (NUL-terminated) and returns a
// malloc'd copy of the str it returned, or null on any failure, with the
// error indicator cleared and what failed in `why` (cap bytes). Needs the
// interpreter lock.
char *exec_call_python(const http_exec_target *target, const char *body, char *why, size_t cap) {
    char *text = nullptr;
    why[0] = 0;
    PyObject *module = pyapi.PyImport_ImportModule(target->module);  // new reference
    PyObject *result = nullptr;
    if (module) result = pyapi.PyObject_CallMethod(module, target->function, "s", body);  // new reference
    if (result && pyapi_type_of(result) == pyapi.PyUnicode_Type) {
        const char *utf8 = pyapi.PyUnicode_AsUTF8(result);  // owned by result
        if (utf8) {
            size_t len = strlen(utf8);  // a NUL inside the str ends the reply there
            text = (char *)malloc(len + 1);
            if (text) memcpy(text, utf8, len + 1);
            else snprintf(why, cap, "no memory for the answer's copy");
        }
    } else if (result) {
        snprintf(why, cap, "it returned no str");
    }
    if (!text && !why[0]) exec_take_error(why, cap);
    if (!text) pyapi.PyErr_Clear();
    if (result) pyapi.Py_DecRef(result);
    if (module) pyapi.Py_DecRef(module);
    return text;
}

// The class an interrupt raises: the target module's own, else
// KeyboardInterrupt. New reference, null when none could be had. Needs the
// interpreter lock.
PyObject *exec_interrupt_class(const http_exec_target *target, int kind) {
    const char *name = kind == HTTP_EXEC_TIMEOUT ? "RequestTimeout" : "AddinClosing";
    PyObject *cls = nullptr;
    PyObject *module = pyapi.PyImport_ImportModule(target->module);
    if (module) {
        cls = pyapi.PyObject_GetAttrString(module, name);
        pyapi.Py_DecRef(module);
    }
    if (cls) return cls;
    pyapi.PyErr_Clear();
    module = pyapi.PyImport_ImportModule("builtins");
    if (module) {
        cls = pyapi.PyObject_GetAttrString(module, "KeyboardInterrupt");
        pyapi.Py_DecRef(module);
    }
    if (!cls) pyapi.PyErr_Clear();
    return cls;
}

// Skips JSON white space.
size_t json_skip_blank(std::string_view s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
    return i;
}

// Reads the string starting at the quote s[i] into `key` (at most cap - 1
// characters kept; \uXXXX below 0x80 and one-character escapes decoded, so
// "time\u006fut" names the field Python sees). Returns the index after the
// closing quote, or npos when the string never ends.
size_t json_read_key(std::string_view s, size_t i, char *key, size_t cap) {
    size_t n = 0;
    int fits = 1;
    for (i++; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            key[n] = 0;
            if (!fits) key[0] = 1;  // too long to be a name we look for
            return i + 1;
        }
        if (c == '\\') {
            if (++i >= s.size()) break;
            c = s[i];
            if (c == 'u') {
                unsigned v = 0;
                if (i + 4 >= s.size()) break;
                for (int k = 1; k <= 4; k++) {
                    char h = s[i + k];
                    v = v * 16 + (unsigned)(h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                            : h >= 'A' && h <= 'F' ? h - 'A' + 10 : 64);
                }
                i += 4;
                c = v < 0x80 ? (char)v : 1;
            }
        }
        if (n + 1 < cap) key[n++] = c;
        else fits = 0;
    }
    return std::string_view::npos;
}

// Skips one JSON value starting at s[i]: to the comma or closing brace that
// ends it at this level, or to the end of the text, never past it (a string
// left open, or ending in a backslash, must not carry the index beyond).
// Strings are skipped whole, nesting counted.
size_t json_skip_value(std::string_view s, size_t i) {
    int depth = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            for (i++; i < s.size() && s[i] != '"'; i++)
                if (s[i] == '\\') i++;
            i++;
            continue;
        }
        if (c == '{' || c == '[') depth++;
        if (c == '}' || c == ']') {
            if (depth == 0) return i;
            depth--;
        }
        if (c == ',' && depth == 0) return i;
        i++;
    }
    return i < s.size() ? i : s.size();
}

}  // namespace

const http_exec_target http_server_exec_agent = {"tindral_xl._exec_entry", "dispatch_request", 0, 0};
const http_exec_target http_server_exec_mcp = {"tindral_xl._mcp_entry", "dispatch_mcp", 1, 1};

int (*http_server_python_ready)(void) = python_runtime_ready;

void http_server_exec_prepare(void) {
    if (exec_state.lock_made) return;
    plat.lock_init(&exec_state.lock);
    exec_state.lock_made = 1;
}

void http_server_exec_defer(http_reply *out, const http_exec_target *target) {
    // Before the interpreter is up, or after it failed to come up, pyapi may
    // be empty: refuse rather than call through it.
    if (!http_server_python_ready()) {
        http_server_reply_fixed(out, 503, BODY_NO_PYTHON);
        return;
    }
    out->status = 0;
    out->body = "";
    out->body_len = 0;
    out->add_newline = 0;
    out->owned = nullptr;
    out->exec = target;
}

namespace {

// The value of the last member called `name` of the object that starts at
// s[i] ('{'), as [*start, *end); 0 when there is none or the text is not an
// object. The last one counts, as in Python's reading of the object.
int json_member(std::string_view s, size_t i, const char *name, size_t *start, size_t *end) {
    int found = 0;
    i = json_skip_blank(s, i);
    if (i >= s.size() || s[i] != '{') return 0;
    i++;
    for (;;) {
        i = json_skip_blank(s, i);
        if (i >= s.size() || s[i] != '"') return found;
        char key[16];
        i = json_read_key(s, i, key, sizeof key);
        if (i == std::string_view::npos) return found;
        i = json_skip_blank(s, i);
        if (i >= s.size() || s[i] != ':') return found;
        i = json_skip_blank(s, i + 1);
        size_t value_end = json_skip_value(s, i);
        if (strcmp(key, name) == 0) {
            *start = i;
            *end = value_end;
            found = 1;
        }
        if (value_end >= s.size() || s[value_end] != ',') return found;
        i = value_end + 1;
    }
}

// A time limit in seconds (above 0, at most 3600) as ms, never 0; the
// default for anything else.
unsigned json_limit_ms(std::string_view s, size_t i, size_t end) {
    char number[40];
    size_t len = end - i;
    while (len && (s[i + len - 1] == ' ' || s[i + len - 1] == '\t' || s[i + len - 1] == '\n' ||
                   s[i + len - 1] == '\r'))
        len--;
    unsigned value = HTTP_EXEC_DEFAULT_MS;
    if (len > 0 && len < sizeof number && (s[i] == '-' || (s[i] >= '0' && s[i] <= '9'))) {
        memcpy(number, s.data() + i, len);
        number[len] = 0;
        char *stop = nullptr;
        double seconds = strtod(number, &stop);
        if (stop == number + len && std::isfinite(seconds) && seconds > 0 && seconds <= 3600)
            value = (unsigned)std::ceil(seconds * 1000.0);
    }
    return value ? value : 1;
}

}  // namespace

unsigned http_server_exec_timeout_ms(std::string_view body) {
    size_t start = 0, end = 0;
    if (!json_member(body, 0, "timeout", &start, &end)) return HTTP_EXEC_DEFAULT_MS;
    return json_limit_ms(body, start, end);
}

unsigned http_server_exec_target_timeout_ms(const http_exec_target *target, std::string_view body) {
    if (!target->timeout_in_arguments) return http_server_exec_timeout_ms(body);
    // A tools/call names its limit among the tool's arguments.
    size_t start = 0, end = 0;
    if (!json_member(body, 0, "params", &start, &end)) return HTTP_EXEC_DEFAULT_MS;
    if (!json_member(body, start, "arguments", &start, &end)) return HTTP_EXEC_DEFAULT_MS;
    if (!json_member(body, start, "timeout", &start, &end)) return HTTP_EXEC_DEFAULT_MS;
    return json_limit_ms(body, start, end);
}

namespace {

// One direct call of `target` with `body`, as http_server_handle_exec describes.
void exec_direct(const http_exec_target *target, std::string_view body, http_reply *out, http_exec_session *session) {
    // Before the interpreter is up, or after it failed to come up, pyapi may
    // be empty: refuse rather than call through it.
    if (!http_server_python_ready()) {
        http_server_reply_fixed(out, 503, BODY_NO_PYTHON);
        return;
    }
    char *copy = (char *)malloc(body.size() + 1);
    if (!copy) {
        http_server_reply_fixed(out, 500, BODY_OUT_OF_MEMORY);
        return;
    }
    if (!body.empty()) memcpy(copy, body.data(), body.size());
    copy[body.size()] = 0;
    http_server_exec_call(target, copy, out, session, nullptr, 0);
    free(copy);
}

}  // namespace

void http_server_handle_exec(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_direct(&http_server_exec_agent, body, out, session);
}

void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_direct(&http_server_exec_mcp, body, out, session);
}

void http_server_exec_call(const http_exec_target *target, const char *body, http_reply *out,
                           http_exec_session *session, http_exec_watch *watch, unsigned long long seq) {
    if (!http_server_python_ready()) {
        http_server_reply_fixed(out, 503, BODY_NO_PYTHON);
        return;
    }
    plat.lock_enter(&exec_state.lock);
    PyGILState_STATE gil = pyapi.PyGILState_Ensure();
    unsigned long self = 0;
    if (watch) {
        self = pyapi.PyThread_get_thread_ident();
        watch->seq.store(seq);
        watch->thread.store(self);
    }
    char why[400];
    char *text = exec_call_python(target, body, why, sizeof why);
    if (watch) {
        // From here on the watchdog finds no call; an interrupt it raised
        // after the code ended must not go off in a later request.
        watch->thread.store(0);
        pyapi.PyThreadState_SetAsyncExc(self, nullptr);
    }
    if (session->kept) {
        pyapi.PyGILState_Release(gil);
    } else {
        // This Ensure made the thread's Python thread state. Giving the lock
        // back with PyEval_SaveThread keeps that state (its Ensure count stays
        // at one), so later requests reuse it instead of creating and
        // deleting one each time; http_server_exec_session_end deletes it.
        session->outer = gil;
        session->kept = 1;
        pyapi.PyEval_SaveThread();
    }
    plat.lock_leave(&exec_state.lock);

    if (!text) {
        int kind = watch ? watch->delivered.load() : 0;
        if (kind) {
            http_server_reply_fixed(out, 200, kind == HTTP_EXEC_TIMEOUT ? BODY_TIMEOUT : BODY_CLOSING);
            return;
        }
        // The channel itself is broken (the entry does not import, or its
        // function raised): the agent gets the fixed answer, the log the why.
        xll_logf(xll_log_raw, 600, "http_server: %s.%s failed: %s\n", target->module, target->function,
                 why[0] ? why : "no reason given");
        http_server_reply_fixed(out, 500, BODY_INTERNAL);
        return;
    }
    if (target->empty_is_accepted && !text[0]) {
        free(text);
        http_server_reply_fixed(out, 202, "");
        return;
    }
    out->status = 200;
    out->body = text;
    out->body_len = strlen(text);
    out->add_newline = 1;
    out->owned = text;
}

void http_server_exec_session_end(http_exec_session *session) {
    if (!session->kept) return;
    // Ensure takes the lock with the kept state (count two); a Release marked
    // LOCKED brings the count back to one and keeps the lock; the Release of
    // the first Ensure then deletes the thread state and drops the lock.
    pyapi.PyGILState_Ensure();
    pyapi.PyGILState_Release(GIL_LOCKED);
    pyapi.PyGILState_Release(session->outer);
    session->kept = 0;
}

void http_server_exec_interrupt(const http_exec_target *target, http_exec_watch *watch, unsigned long long seq,
                                int kind) {
    if (!http_server_python_ready()) return;
    PyGILState_STATE gil = pyapi.PyGILState_Ensure();
    unsigned long thread = watch->thread.load();
    if (thread && watch->seq.load() == seq) {
        PyObject *cls = exec_interrupt_class(target, kind);
        if (cls) {
            pyapi.PyThreadState_SetAsyncExc(thread, cls);
            watch->delivered.store(kind);
            pyapi.Py_DecRef(cls);
        }
    }
    pyapi.PyGILState_Release(gil);
}
