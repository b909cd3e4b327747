// http_server: the exec bridge, the one place where the server's threads
// enter Python, and the native call through which Python reports a
// request's time limit. Every call goes through the pyapi table.
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
    int native_made;  // tindral_xl._native.exec_limit installed; under the interpreter lock
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

// Calls `entry` with the body: as json.loads would read it when the entry
// has a `parsed` twin that takes the request so and the add-in's reader takes
// the body, else as text. New reference, null with a Python error set.
PyObject *exec_call_entry(PyObject *entry, char *body, size_t body_len, int has_backslash) {
    PyObject *twin = pyapi.PyObject_GetAttrString(entry, "parsed");  // new reference
    if (!twin) pyapi.PyErr_Clear();
    PyObject *callee = entry;
    PyObject *arg = nullptr;  // new reference
    if (twin) {
        arg = http_server_json_to_python(body, body_len, has_backslash);
        if (arg) callee = twin;
    }
    if (!arg) arg = http_server_json_str(body, strlen(body));
    PyObject *result = nullptr;
    if (arg) {
        PyObject *args[2] = {nullptr, arg};  // the spare first slot lets a bound method borrow it
        result = pyapi.PyObject_Vectorcall(callee, args + 1, 1 | PYAPI_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        pyapi.Py_DecRef(arg);
    }
    if (twin) pyapi.Py_DecRef(twin);
    return result;
}

// Calls the target's function with `body` (`body_len` bytes, then
// HTTP_EXEC_BODY_PAD NULs; as text it ends at its first NUL) and returns a
// malloc'd copy of the str it returned, or null on any failure, with the
// error indicator cleared and what failed in `why` (cap bytes). Needs the
// interpreter lock.
char *exec_call_python(const http_exec_target *target, char *body, size_t body_len, int has_backslash, char *why,
                       size_t cap) {
    char *text = nullptr;
    why[0] = 0;
    PyObject *module = pyapi.PyImport_ImportModule(target->module);  // new reference
    // Looked up afresh for every request: code an agent ran may have
    // replaced it.
    PyObject *entry = module ? pyapi.PyObject_GetAttrString(module, target->function) : nullptr;  // new reference
    PyObject *result = entry ? exec_call_entry(entry, body, body_len, has_backslash) : nullptr;  // new reference
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
    if (entry) pyapi.Py_DecRef(entry);
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

// A str argument's UTF-8 text (owned by the object), null for None or
// anything else. Needs the interpreter lock; leaves no error behind.
const char *native_text(PyObject *arg) {
    if (pyapi_type_of(arg) != pyapi.PyUnicode_Type) return nullptr;
    const char *utf8 = pyapi.PyUnicode_AsUTF8(arg);  // owned by arg
    if (!utf8) pyapi.PyErr_Clear();
    return utf8;
}

// tindral_xl._native.exec_limit(seconds, label, on_timeout, on_close): hands
// a request's validated time limit to the worker running it (see
// http_server_exec_report_limit). True when applied; False when the thread
// runs no request, the request reported already, or the arguments are not a
// number above 0 and at most 3600 followed by three str or None.
PyObject *native_exec_limit(PyObject *, PyObject *args) {
    int applied = 0;
    if (pyapi_type_of(args) == pyapi.PyTuple_Type && pyapi.PyTuple_Size(args) == 4) {
        PyObject *seconds = pyapi.PyTuple_GetItem(args, 0);  // borrowed, as the three below
        PyObject *type = pyapi_type_of(seconds);
        unsigned ms = 0;
        if (type == pyapi.PyFloat_Type || type == pyapi.PyLong_Type) {
            double value = pyapi.PyFloat_AsDouble(seconds);  // a huge int fails: out of range anyway
            if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
            else if (http_server_exec_limit_ms(value, &ms))
                applied = http_server_exec_report_limit(ms, native_text(pyapi.PyTuple_GetItem(args, 1)),
                                                        native_text(pyapi.PyTuple_GetItem(args, 2)),
                                                        native_text(pyapi.PyTuple_GetItem(args, 3)));
        }
    }
    return pyapi.PyBool_FromLong(applied);
}

// Live as long as the process: the function object points at it.
PyMethodDef native_exec_methods[] = {
    {"exec_limit", native_exec_limit, PYAPI_METH_VARARGS,
     "Reports the running agent request's time limit: (seconds, label, on_timeout, on_close) -> applied."},
};

// Puts exec_limit into tindral_xl._native, once per process, before the
// first request reaches Python (the module is the one the registry fills;
// whichever comes first makes it). Needs the interpreter lock.
void exec_install_native(void) {
    if (exec_state.native_made) return;
    exec_state.native_made = 1;  // tried once: a failure is logged, requests keep the default limit
    PyObject *native = pyapi.PyImport_AddModule("tindral_xl._native");  // borrowed; kept by sys.modules
    PyObject *fn = native ? pyapi.PyCFunction_NewEx(&native_exec_methods[0], nullptr, nullptr) : nullptr;  // new
    if (!fn || pyapi.PyObject_SetAttrString(native, "exec_limit", fn) != 0) {
        pyapi.PyErr_Clear();
        xll_log_raw("http_server: cannot install tindral_xl._native.exec_limit; requests keep the default time limit\n");
    }
    if (fn) pyapi.Py_DecRef(fn);
}

}  // namespace

const http_exec_target http_server_exec_agent = {"tindral_xl._exec_entry", "dispatch_request", "/exec", 0};
const http_exec_target http_server_exec_mcp = {"tindral_xl._mcp_entry", "dispatch_mcp", "/mcp", 1};

int (*http_server_python_ready)(void) = python_runtime_ready;

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

int http_server_exec_limit_ms(double seconds, unsigned *ms) {
    // NaN fails both comparisons.
    if (!(seconds > 0 && seconds <= HTTP_EXEC_MAX_MS / 1000.0)) return 0;
    double rounded = std::ceil(seconds * 1000.0);
    *ms = rounded < 1 ? 1 : (unsigned)rounded;
    return 1;
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
    char *copy = (char *)malloc(body.size() + HTTP_EXEC_BODY_PAD);
    if (!copy) {
        http_server_reply_fixed(out, 500, BODY_OUT_OF_MEMORY);
        return;
    }
    if (!body.empty()) memcpy(copy, body.data(), body.size());
    memset(copy + body.size(), 0, HTTP_EXEC_BODY_PAD);
    int has_backslash = memchr(body.data(), '\\', body.size()) != nullptr;
    http_server_exec_call(target, copy, body.size(), has_backslash, out, session, nullptr, 0);
    free(copy);
}

}  // namespace

void http_server_handle_exec(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_direct(&http_server_exec_agent, body, out, session);
}

void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_direct(&http_server_exec_mcp, body, out, session);
}

void http_server_exec_call(const http_exec_target *target, char *body, size_t body_len, int has_backslash,
                           http_reply *out, http_exec_session *session, http_exec_watch *watch,
                           unsigned long long seq) {
    if (!http_server_python_ready()) {
        http_server_reply_fixed(out, 503, BODY_NO_PYTHON);
        return;
    }
    PyGILState_STATE gil = pyapi.PyGILState_Ensure();
    exec_install_native();
    unsigned long self = 0;
    if (watch) {
        self = pyapi.PyThread_get_thread_ident();
        watch->seq.store(seq);
        watch->thread.store(self);
    }
    char why[400];
    char *text = exec_call_python(target, body, body_len, has_backslash, why, sizeof why);
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
