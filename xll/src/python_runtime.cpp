#include "python_runtime.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "platform/platform.h"
#include "pyapi.h"
#include "python_runtime_internal.h"

namespace {

// How python_runtime_init left the interpreter lock for the start-up thread.
enum class runtime_start_lock {
    none,      // nothing held
    fresh,     // held since Py_InitializeFromConfig; given back by PyEval_SaveThread
    repeated,  // taken with PyGILState_Ensure; given back by PyGILState_Release
};

struct python_runtime_state {
    wchar_t xll_dir[PLAT_MAX_PATH];  // add-in folder without trailing separator; empty until set
    runtime_start_lock start_lock;   // what the start-up thread holds between init and release
    PyGILState_STATE start_gil;      // PyGILState_Ensure's result on a repeated start
    std::atomic<int> ready;          // 1 once an init succeeded; never goes back to 0
};
python_runtime_state runtime;

// Logs `format` with `path` in the ANSI code page as its one %s.
void runtime_log_path(log_fn log, const char *format, const wchar_t *path) {
    if (!log) return;
    char ansi[PLAT_MAX_PATH];
    plat.wide_to_ansi(path, -1, ansi, sizeof ansi);
    xll_logf(log, 512, format, ansi);
}

// Writes `head` followed by `tail` into `out` (PLAT_MAX_PATH characters), cut
// at 259 characters. 1 when it fitted; 0 when cut, logged as a warning.
int runtime_compose(wchar_t *out, const wchar_t *head, const wchar_t *tail, log_fn log) {
    std::size_t n = 0;
    int fitted = 1;
    for (const wchar_t *part : {head, tail}) {
        for (; *part; part++) {
            if (n == PLAT_MAX_PATH - 1) {
                fitted = 0;
                break;
            }
            out[n++] = *part;
        }
    }
    out[n] = 0;
    if (!fitted) runtime_log_path(log, "WARNING: python_runtime_init: path cut at 259 characters: %s", out);
    return fitted;
}

// The int field of the opaque PyConfig record at `offset`.
void runtime_config_set_int(unsigned char *config, std::size_t offset, int value) {
    std::memcpy(config + offset, &value, sizeof value);
}

// Appends `path` to sys.path (`at_front`: inserts it at position 0). `sys_path`
// is borrowed. A string that cannot be made leaves the path out; its error is
// cleared so that no stale exception reaches the module loader.
void runtime_add_sys_path(PyObject *sys_path, const wchar_t *path, bool at_front, log_fn log) {
    PyObject *item = pyapi.PyUnicode_FromWideChar(path, -1);  // new reference
    if (!item) {
        pyapi.PyErr_Clear();
        runtime_log_path(log, "WARNING: python_runtime_init: cannot put %s on sys.path", path);
        return;
    }
    // Neither call takes over our reference.
    if (at_front)
        pyapi.PyList_Insert(sys_path, 0, item);
    else
        pyapi.PyList_Append(sys_path, item);
    pyapi.Py_DecRef(item);
}

// Processes `folder` as a site directory (site.addsitedir): its .pth files
// add their folders to sys.path and run their import lines, as packages
// installed with `pip install --target` expect. Site import itself stays off
// (no user site, no sitecustomize), so only this folder's files take part.
// 1 when done; 0 logged as a warning, with the Python error cleared.
int runtime_add_site_dir(const wchar_t *folder, log_fn log) {
    PyObject *path = pyapi.PyUnicode_FromWideChar(folder, -1);  // new reference
    PyObject *site = path ? pyapi.PyImport_ImportModule("site") : nullptr;  // new reference
    PyObject *done = site ? pyapi.PyObject_CallMethod(site, "addsitedir", "O", path) : nullptr;  // new reference
    int ok = done != nullptr;
    for (PyObject *o : {done, site, path})
        if (o) pyapi.Py_DecRef(o);
    if (!ok) {
        pyapi.PyErr_Clear();
        runtime_log_path(log, "WARNING: python_runtime_init: cannot process the .pth files of %s", folder);
    }
    return ok;
}

// Binds the library from `home` unless it is bound already. 1 when bound.
int runtime_bind(const wchar_t *home, log_fn log) {
    if (pyapi.handle) return 1;
    wchar_t library[PLAT_MAX_PATH];
    runtime_compose(library, home, PLAT_SEP_STR PLAT_PYTHON_LIB, log);
    if (pyapi_load(library, log)) return 1;
    if (log) {
        char ansi[PLAT_MAX_PATH];
        plat.wide_to_ansi(library, -1, ansi, sizeof ansi);
        // The thread's last error has been overwritten by pyapi's own log
        // lines by now; report the code that made the binding fail.
        xll_logf(log, 1024, "python_runtime_init: failed to load Python DLL at %s (error %lu)", ansi,
                 pyapi_load_error());
    }
    return 0;
}

// Starts the interpreter with the add-in's home and two search paths, and
// Python's environment variables, signal handlers and site import turned off;
// Lib/site-packages is then processed as a site directory.
// 1 when it runs, with the calling thread holding the interpreter lock.
int runtime_start(const wchar_t *home, log_fn log) {
    alignas(PYCONFIG_ALIGN) unsigned char config[PYCONFIG_BUFFER_SIZE] = {};
    PyConfig *record = reinterpret_cast<PyConfig *>(config);
    pyapi.PyConfig_InitPythonConfig(record);
    runtime_config_set_int(config, PYCONFIG_USE_ENVIRONMENT, 0);
    runtime_config_set_int(config, PYCONFIG_INSTALL_SIGNAL_HANDLERS, 0);
    runtime_config_set_int(config, PYCONFIG_SITE_IMPORT, 0);

    // Python takes its home with forward slashes; the search paths and sys.path
    // keep the platform's own separator. Only the separator is turned: on
    // Linux a backslash is an ordinary character of a folder name.
    wchar_t forward[PLAT_MAX_PATH];
    std::wcsncpy(forward, home, PLAT_MAX_PATH - 1);
    forward[PLAT_MAX_PATH - 1] = 0;
    for (wchar_t *c = forward; *c; c++)
        if (*c == PLAT_SEP) *c = L'/';
    pyapi.PyConfig_SetString(record, reinterpret_cast<wchar_t **>(config + PYCONFIG_HOME), forward);

    runtime_config_set_int(config, PYCONFIG_MODULE_SEARCH_PATHS_SET, 1);
    PyWideStringList *search = reinterpret_cast<PyWideStringList *>(config + PYCONFIG_MODULE_SEARCH_PATHS);
    wchar_t archive[PLAT_MAX_PATH];
    runtime_compose(archive, home, PLAT_SEP_STR L"python312.zip", log);
    pyapi.PyWideStringList_Append(search, archive);
    wchar_t home_copy[PLAT_MAX_PATH];
    runtime_compose(home_copy, home, L"", log);
    pyapi.PyWideStringList_Append(search, home_copy);

    PyStatus status = pyapi.Py_InitializeFromConfig(record);
    pyapi.PyConfig_Clear(record);
    if (pyapi.PyStatus_Exception(status)) {
        xll_logf(log, 512, "Python initialization failed: %s", status.err_msg ? status.err_msg : "(no error message)");
        return 0;
    }

    PyObject *sys_path = pyapi.PySys_GetObject("path");  // borrowed
    if (sys_path) {
        static const wchar_t *const site_tails[] = {
            PLAT_SEP_STR L"Lib" PLAT_SEP_STR L"site-packages",
            PLAT_SEP_STR L"Lib" PLAT_SEP_STR L"site-packages" PLAT_SEP_STR L"win32",
            PLAT_SEP_STR L"Lib" PLAT_SEP_STR L"site-packages" PLAT_SEP_STR L"win32" PLAT_SEP_STR L"lib",
        };
        for (const wchar_t *tail : site_tails) {
            wchar_t site[PLAT_MAX_PATH];
            runtime_compose(site, home, tail, log);
            runtime_add_sys_path(sys_path, site, false, log);
        }
        // After the fixed entries, so that the folders a .pth names (pywin32's
        // names the two above) come after them and are not added twice.
        wchar_t site_packages[PLAT_MAX_PATH];
        runtime_compose(site_packages, home, site_tails[0], log);
        runtime_add_site_dir(site_packages, log);
        if (runtime.xll_dir[0]) {
            // The add-in folder (the package) goes first, the modules folder
            // last: a user's json.py or threading.py must never stand in for
            // the module the package and the agent channel import. The
            // loader refuses a user module whose name is taken.
            wchar_t modules[PLAT_MAX_PATH];
            runtime_compose(modules, runtime.xll_dir, PLAT_SEP_STR L"modules", log);
            runtime_add_sys_path(sys_path, runtime.xll_dir, true, log);
            runtime_add_sys_path(sys_path, modules, false, log);
        }
    }
    if (log) log("Python initialized");
    return 1;
}

}  // namespace

int python_runtime_detect_home(wchar_t *home, log_fn log) {
    int fitted = runtime.xll_dir[0] ? runtime_compose(home, runtime.xll_dir, PLAT_SEP_STR L"python", log)
                                    : runtime_compose(home, L"." PLAT_SEP_STR L"python", L"", log);
    runtime_log_path(log, "detect_python_home: using embedded -> %s", home);
    return fitted;
}

void python_runtime_set_xll_dir(const wchar_t *xll_dir) {
    std::wcsncpy(runtime.xll_dir, xll_dir ? xll_dir : L"", PLAT_MAX_PATH - 1);
    runtime.xll_dir[PLAT_MAX_PATH - 1] = 0;
}

int python_runtime_init(log_fn log) {
    wchar_t home[PLAT_MAX_PATH];
    python_runtime_detect_home(home, log);
    if (!runtime_bind(home, log)) return 0;

    if (pyapi.Py_IsInitialized()) {
        if (log) log("Python already initialized");
        // The previous start gave the lock back and dropped its thread state;
        // the steps after this one need it held again.
        if (runtime.start_lock == runtime_start_lock::none) {
            runtime.start_gil = pyapi.PyGILState_Ensure();
            runtime.start_lock = runtime_start_lock::repeated;
        }
        runtime.ready.store(1, std::memory_order_release);
        return 1;
    }

    if (!runtime_start(home, log)) return 0;
    runtime.start_lock = runtime_start_lock::fresh;
    runtime.ready.store(1, std::memory_order_release);
    return 1;
}

void python_runtime_release_start_lock(void) {
    switch (runtime.start_lock) {
    case runtime_start_lock::fresh:
        pyapi.PyEval_SaveThread();  // the thread state is not kept: later entries use PyGILState
        break;
    case runtime_start_lock::repeated:
        pyapi.PyGILState_Release(runtime.start_gil);
        break;
    case runtime_start_lock::none:
        break;
    }
    runtime.start_lock = runtime_start_lock::none;
}

void python_runtime_finalize(log_fn log) {
    if (log) log("Python finalize: skipped (intentional)");
}

int python_runtime_ready(void) { return runtime.ready.load(std::memory_order_acquire); }
