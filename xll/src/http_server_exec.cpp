// http_server: the exec bridge, the one place where the server thread
// enters Python. Every call goes through the pyapi table.
#include <cstdlib>
#include <cstring>

#include "http_server_exec.h"
#include "pyapi.h"
#include "python_runtime.h"

namespace {

constexpr char BODY_OUT_OF_MEMORY[] = "{\"ok\":false,\"error\":\"out of memory\"}\n";
constexpr char BODY_INTERNAL[] = "{\"ok\":false,\"error\":\"internal error\"}\n";
constexpr char BODY_NO_PYTHON[] = "{\"ok\":false,\"error\":\"python not initialized\"}\n";

// PyGILState_STATE's published values.
constexpr PyGILState_STATE GIL_LOCKED = 0;

struct http_exec_state {
    plat_lock lock;  // exec_lock: around each Python call of /exec and /mcp; never deleted
    int lock_made;   // lock initialised; starting thread
};
http_exec_state exec_state;

// The Python function a route hands its body to.
struct exec_entry {
    const char *module;
    const char *function;
    int empty_is_accepted;  // 1: an empty returned text is answered 202, empty
};

constexpr exec_entry EXEC_ENTRY = {"tindral_xl._exec_entry", "dispatch_request", 0};
constexpr exec_entry MCP_ENTRY = {"tindral_xl._mcp_entry", "dispatch_mcp", 1};

// Calls the entry's function with `body` (NUL-terminated) and returns a
// malloc'd copy of the str it returned, or null on any failure, with the
// error indicator cleared. Needs the interpreter lock.
char *exec_call_python(const exec_entry *entry, const char *body) {
    char *text = nullptr;
    PyObject *module = pyapi.PyImport_ImportModule(entry->module);  // new reference
    PyObject *result = nullptr;
    if (module) result = pyapi.PyObject_CallMethod(module, entry->function, "s", body);  // new reference
    if (result && pyapi_type_of(result) == pyapi.PyUnicode_Type) {
        const char *utf8 = pyapi.PyUnicode_AsUTF8(result);  // owned by result
        if (utf8) {
            size_t len = strlen(utf8);  // a NUL inside the str ends the reply there
            text = (char *)malloc(len + 1);
            if (text) memcpy(text, utf8, len + 1);
        }
    }
    if (!text) pyapi.PyErr_Clear();
    if (result) pyapi.Py_DecRef(result);
    if (module) pyapi.Py_DecRef(module);
    return text;
}

// One call of the entry under exec_lock and the interpreter lock; fills out
// as http_server_handle_exec describes.
void exec_bridge(const exec_entry *entry, std::string_view body, http_reply *out, http_exec_session *session) {
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

    plat.lock_enter(&exec_state.lock);
    PyGILState_STATE gil = pyapi.PyGILState_Ensure();
    char *text = exec_call_python(entry, copy);
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

    free(copy);
    if (!text) {
        http_server_reply_fixed(out, 500, BODY_INTERNAL);
        return;
    }
    if (entry->empty_is_accepted && !text[0]) {
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

}  // namespace

int (*http_server_python_ready)(void) = python_runtime_ready;

void http_server_exec_prepare(void) {
    if (exec_state.lock_made) return;
    plat.lock_init(&exec_state.lock);
    exec_state.lock_made = 1;
}

void http_server_handle_exec(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_bridge(&EXEC_ENTRY, body, out, session);
}

void http_server_handle_mcp(std::string_view body, http_reply *out, http_exec_session *session) {
    exec_bridge(&MCP_ENTRY, body, out, session);
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
