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

// Drops a failed import's error. Its message and traceback are not kept: only
// the module's name reaches the log.
void loader_clear_error(void) {
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// The file name of a skipped entry in the ANSI code page, for its log line.
// Every character of a 259-character name fits 1024 bytes in any code page.
void loader_describe(const wchar_t *file_name, char *out, int cap) {
    out[0] = 0;
    plat.wide_to_ansi(file_name, -1, out, cap);
    out[cap - 1] = 0;
}

// Imports one listing entry, or says why it was skipped.
void loader_import_entry(const plat_find_data *entry) {
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
    xll_logf(func_registry.log, 256, "Importing module: %s", ansi);
    PyObject *m = pyapi.PyImport_ImportModule(ansi);  // new reference
    if (m) {
        pyapi.Py_DecRef(m);
        return;
    }
    loader_clear_error();
    xll_logf(func_registry.log, 256, "Failed to import module: %s", ansi);
}

}  // namespace

int func_registry_load_modules(void) {
    if (!pyapi.handle || !pyapi.Py_IsInitialized()) return 0;

    wchar_t modules_path[PLAT_MAX_PATH];
    loader_compose(modules_path, func_registry.xll_dir, PLAT_SEP_STR L"modules");

    PyObject *package = pyapi.PyImport_ImportModule("tindral_xl");  // new reference
    if (package) {
        pyapi.Py_DecRef(package);
    } else {
        loader_clear_error();
        xll_logf(func_registry.log, 256, "WARNING: could not import tindral_xl module");
    }

    wchar_t pattern[PLAT_MAX_PATH];
    loader_compose(pattern, modules_path, PLAT_SEP_STR L"*.py");
    plat_find_data entry;
    plat_find find = plat.find_first(pattern, &entry);
    if (!find) {
        xll_logf(func_registry.log, 256, "No .py files found in modules/");
        return 1;
    }
    do {
        loader_import_entry(&entry);
    } while (plat.find_next(find, &entry));
    plat.find_close(find);

    func_registry_register_all();
    return 1;
}
