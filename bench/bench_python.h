// Shared by the slot benchmarks: the embedded interpreter started as the
// add-in starts it, with functions defined in __main__ bound to slots the
// way the registration pass binds them.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "func_registry_internal.h"
#include "python_runtime.h"

inline void bench_python_log(const char *) {}

// Starts Python from $TINDRAL_TEST_PYTHON_HOME, else the Python home
// assembled in the build tree, and runs `source` in __main__. The calling
// thread holds the interpreter lock afterwards, as during xlAutoOpen; bind
// the slots, then call python_runtime_release_start_lock().
inline bool bench_python_start(const char *source) {
    const char *env = getenv("TINDRAL_TEST_PYTHON_HOME");
    std::string home = env && *env ? env : TINDRAL_BINARY_DIR "/python-home";
    char dir[] = "/tmp/tindral_bench_XXXXXX";
    if (!mkdtemp(dir)) return false;
    if (symlink(home.c_str(), (std::string(dir) + "/python").c_str()) != 0) return false;
    wchar_t wide[PLAT_MAX_PATH];
    mbstowcs(wide, dir, PLAT_MAX_PATH);
    python_runtime_set_xll_dir(wide);
    if (!python_runtime_init(bench_python_log)) return false;
    return pyapi.PyRun_SimpleString(source) == 0;
}

// Binds __main__.<name> to `slot`; the slot table holds its own reference.
// Returns the function (borrowed from the table), or null.
inline PyObject *bench_python_bind(int slot, const char *name, int arity) {
    PyObject *main = pyapi.PyImport_AddModule("__main__");  // borrowed
    func_slot *s = &func_registry.slots[slot];
    strncpy(s->name, name, FUNC_NAME_CAP - 1);
    s->arity = arity;
    s->callable = pyapi.PyObject_GetAttrString(main, name);  // new ref, the table's
    if (func_registry.slot_count <= slot) func_registry.slot_count = slot + 1;
    return s->callable;
}

inline XLOPER12 bench_num(double v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeNum;
    x.val.num = v;
    return x;
}
