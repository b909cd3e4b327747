// The module loader: imports tindral_xl and each modules/*.py, then runs the
// registration pass.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "func_registry_internal.h"

namespace {

// A module name: at most 127 characters and a terminator; its ANSI form fits
// the same number of bytes.
constexpr int LOADER_NAME_CAP = 128;

// `head` followed by `tail` in a path buffer, cut to 259 characters.
void loader_compose(wchar_t *out, const wchar_t *head, const wchar_t *tail) {
    size_t n = 0;
    for (const wchar_t *p = head; *p && n < PLAT_MAX_PATH - 1; p++) out[n++] = *p;
    for (const wchar_t *p = tail; *p && n < PLAT_MAX_PATH - 1; p++) out[n++] = *p;
    out[n] = 0;
}

// Drops a failed import's error; the package's loader (below) is what says why.
void loader_clear_error(void) {
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// Imports user module `name` through tindral_xl._loading.import_user_module,
// which keeps a failing module's registry entries out and describes the
// failure. 1 on success; 0 after logging the failure: "Failed to import
// module: %s", then the description's lines. Without the package's loader
// the module is imported plainly and only its name is logged on failure.
int loader_import(PyObject *loading, const char *name) {
    PyObject *failure = nullptr;  // new reference
    if (loading) {
        failure = pyapi.PyObject_CallMethod(loading, "import_user_module", "s", name);
    } else {
        PyObject *m = pyapi.PyImport_ImportModule(name);  // new reference
        if (m) {
            pyapi.Py_DecRef(m);
            return 1;
        }
    }
    if (failure == pyapi._Py_NoneStruct) {
        pyapi.Py_DecRef(failure);
        return 1;
    }
    loader_clear_error();
    xll_logf(func_registry.log, 256, "Failed to import module: %s", name);
    const char *text = failure && pyapi_type_of(failure) == pyapi.PyUnicode_Type ? pyapi.PyUnicode_AsUTF8(failure)
                                                                                 : nullptr;
    if (!text) loader_clear_error();
    // One log line per line of the description, which the package bounds.
    while (text && *text) {
        size_t n = strcspn(text, "\n");
        xll_logf(func_registry.log, 512, "%.*s", (int)(n < 500 ? n : 500), text);
        text += n;
        if (*text) text++;
    }
    if (failure) pyapi.Py_DecRef(failure);
    return 0;
}

// 1 when the package's loader refuses user module `name` because its name is
// taken (the standard library, the package, a module found earlier on the
// path): logged, and the file is not imported. 0 to import it.
int loader_refused(PyObject *loading, const char *name) {
    if (!loading) return 0;
    PyObject *why = pyapi.PyObject_CallMethod(loading, "user_module_refusal", "s", name);  // new reference
    if (!why) {
        loader_clear_error();
        return 0;
    }
    const char *text = pyapi_type_of(why) == pyapi.PyUnicode_Type ? pyapi.PyUnicode_AsUTF8(why) : nullptr;
    if (!text) loader_clear_error();
    if (text) xll_logf(func_registry.log, 512, "WARNING: module %s is refused: %s (rename the file)", name, text);
    pyapi.Py_DecRef(why);
    return text != nullptr;
}

// Re-imports tindral_xl._exec_entry when the module in sys.modules is not the
// package's own (replaced, removed, its dispatch_request swapped): /exec
// imports it by name at every request. One never imported stays so: the
// first agent request imports it.
void loader_refresh_exec_entry(PyObject *loading) {
    if (!loading) return;
    PyObject *done = pyapi.PyObject_CallMethod(loading, "refresh_exec_entry", nullptr);  // new reference
    if (!done) {
        loader_clear_error();
        xll_logf(func_registry.log, 256, "WARNING: could not re-import tindral_xl._exec_entry");
        return;
    }
    if (done == pyapi._Py_TrueStruct) xll_logf(func_registry.log, 256, "func_registry: re-imported tindral_xl._exec_entry");
    pyapi.Py_DecRef(done);
}

// The file name of a skipped entry in the ANSI code page, for its log line.
// Every character of a 259-character name fits 1024 bytes in any code page.
void loader_describe(const wchar_t *file_name, char *out, int cap) {
    out[0] = 0;
    plat.wide_to_ansi(file_name, -1, out, cap);
    out[cap - 1] = 0;
}

// Imports one listing entry, or says why it was skipped.
void loader_import_entry(const plat_find_data *entry, PyObject *loading) {
    if (entry->is_directory) return;
    size_t len = wcsnlen(entry->name, PLAT_MAX_PATH);
    if (len < 4) return;
    size_t name_len = len - 3;  // the pattern makes the last three ".py"
    if (name_len >= (size_t)LOADER_NAME_CAP) {
        char shown[1024];
        loader_describe(entry->name, shown, sizeof shown);
        xll_logf(func_registry.log, 256,
                 "WARNING: module name longer than %d characters, skipped: %s", LOADER_NAME_CAP - 1,
                 shown);
        return;
    }
    wchar_t module[LOADER_NAME_CAP];
    wmemcpy(module, entry->name, name_len);
    module[name_len] = 0;
    char ansi[LOADER_NAME_CAP];
    if (plat.wide_to_ansi(module, -1, ansi, LOADER_NAME_CAP) <= 0) {
        char shown[1024];
        loader_describe(entry->name, shown, sizeof shown);
        xll_logf(func_registry.log, 256,
                 "WARNING: module name does not fit %d bytes in the ANSI code page, skipped: %s",
                 LOADER_NAME_CAP - 1, shown);
        return;
    }
    ansi[LOADER_NAME_CAP - 1] = 0;
    // The package is imported first and never a second time as a module.
    if (strcmp(ansi, "tindral_xl") == 0) return;
    if (loader_refused(loading, ansi)) return;
    xll_logf(func_registry.log, 256, "Importing module: %s", ansi);
    loader_import(loading, ansi);
}

}  // namespace

int func_registry_load_modules(void) {
    if (!pyapi.handle || !pyapi.Py_IsInitialized()) return 0;

    wchar_t modules_path[PLAT_MAX_PATH];
    loader_compose(modules_path, func_registry.xll_dir, PLAT_SEP_STR L"modules");

    PyObject *package = pyapi.PyImport_ImportModule("tindral_xl");  // new reference
    PyObject *loading = nullptr;                                        // new reference
    if (package) {
        pyapi.Py_DecRef(package);
        func_registry_install_native();
        loading = pyapi.PyImport_ImportModule("tindral_xl._loading");
        if (!loading) loader_clear_error();
        loader_refresh_exec_entry(loading);
    } else {
        loader_clear_error();
        xll_logf(func_registry.log, 256, "WARNING: could not import tindral_xl module");
    }

    wchar_t pattern[PLAT_MAX_PATH];
    loader_compose(pattern, modules_path, PLAT_SEP_STR L"*.py");
    plat_find_data entry;
    plat_find find = plat.find_first(pattern, &entry);
    if (!find) {
        if (loading) pyapi.Py_DecRef(loading);
        xll_logf(func_registry.log, 256, "No .py files found in modules/");
        return 1;
    }
    do {
        loader_import_entry(&entry, loading);
    } while (plat.find_next(find, &entry));
    plat.find_close(find);
    if (loading) pyapi.Py_DecRef(loading);

    func_registry_register_all();
    return 1;
}
