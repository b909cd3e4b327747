/* The bridge's Python-facing half: the Windows entry points of python312.dll,
   built with plain gcc against Linux Python.h and linked with the static
   libpython3.12.a, so that the Windows add-in, loaded by Wine, drives a real
   (Linux) CPython 3.12.

   Every entry is called with the Windows x64 convention (ms_abi). Where the
   Windows ABI differs from Linux, the entry converts:
   - wchar_t is 16 bits (UTF-16) on Windows, 32 on Linux;
   - long is 32 bits on Windows;
   - PyConfig has other field offsets (hash_seed shrinks, one Windows-only
     field): the add-in's record is mirrored by a Linux record behind it;
   - variadic arguments follow the Windows convention;
   - paths name Windows drives (Z:\...): they are mapped to the Unix folder
     Wine maps the drive to, in the configuration and, by an import hook, in
     sys.path. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "bridge.h"

#define BRIDGE_WINAPI __attribute__((ms_abi))
#define BRIDGE_ENTRY __attribute__((visibility("default"))) BRIDGE_WINAPI

typedef uint16_t bridge_wchar; /* Windows' wchar_t */
typedef __builtin_ms_va_list bridge_va_list;
typedef PyObject *(BRIDGE_WINAPI *bridge_converter)(void *); /* an O& converter of the caller's */

/* Extension modules of lib-dynload resolve Python's names in the global
   scope, but Wine opens its builtin libraries with RTLD_LOCAL: promote this
   one, which carries all of libpython. */
__attribute__((constructor)) static void bridge_make_global(void) {
    Dl_info info;
    if (!dladdr((void *)bridge_make_global, &info) || !info.dli_fname) {
        fprintf(stderr, "python312 bridge: cannot find its own file; extension modules will not load\n");
        return;
    }
    if (!dlopen(info.dli_fname, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD))
        fprintf(stderr, "python312 bridge: cannot reopen %s globally: %s\n", info.dli_fname, dlerror());
}

/* --- plain forwards ---------------------------------------------------------- */

#define BRIDGE_FORWARD(ret, name, params, args) \
    BRIDGE_ENTRY ret bridge_fwd_##name params { return name args; }
#define BRIDGE_SHIM(name)
#define BRIDGE_DATA(name)
#include "bridge_entries.h"
#undef BRIDGE_FORWARD
#undef BRIDGE_SHIM
#undef BRIDGE_DATA

/* --- text: UTF-16 (Windows wchar_t) and Python's str ---------------------------- */

static Py_ssize_t bridge_wcslen16(const bridge_wchar *s) {
    Py_ssize_t n = 0;
    while (s[n]) n++;
    return n;
}

/* UTF-16 to Linux wchar_t (UTF-32): pairs combine, a lone surrogate stays a
   code point of its own, as Windows' Python keeps it. `out` holds n + 1. */
static size_t bridge_utf16_to_wide(const bridge_wchar *in, size_t n, wchar_t *out) {
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            i++;
        }
        out[k++] = (wchar_t)c;
    }
    out[k] = 0;
    return k;
}

/* A fresh UTF-32 copy of a NUL-terminated UTF-16 string; free() it. */
static wchar_t *bridge_wide_from_utf16(const bridge_wchar *s) {
    size_t n = (size_t)bridge_wcslen16(s);
    wchar_t *w = malloc((n + 1) * sizeof(wchar_t));
    if (w) bridge_utf16_to_wide(s, n, w);
    return w;
}

BRIDGE_ENTRY PyObject *bridge_shim_PyUnicode_FromWideChar(const bridge_wchar *w, Py_ssize_t size) {
    if (!w && size != 0) {
        PyErr_BadInternalCall();
        return NULL;
    }
    if (size == -1) size = bridge_wcslen16(w);
    if (size < 0) {
        PyErr_BadInternalCall();
        return NULL;
    }
    int order = -1; /* little-endian; a BOM is a character like any other */
    return PyUnicode_DecodeUTF16((const char *)w, size * 2, "surrogatepass", &order);
}

BRIDGE_ENTRY bridge_wchar *bridge_shim_PyUnicode_AsWideCharString(PyObject *s, Py_ssize_t *size) {
    if (!PyUnicode_Check(s)) {
        PyErr_BadArgument();
        return NULL;
    }
    Py_ssize_t len = PyUnicode_GetLength(s);
    Py_ssize_t units = len;
    for (Py_ssize_t i = 0; i < len; i++) {
        Py_UCS4 c = PyUnicode_ReadChar(s, i);
        if (c > 0xFFFF) units++;
        if (c == 0 && !size) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return NULL;
        }
    }
    bridge_wchar *out = PyMem_New(bridge_wchar, units + 1);
    if (!out) {
        PyErr_NoMemory();
        return NULL;
    }
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < len; i++) {
        Py_UCS4 c = PyUnicode_ReadChar(s, i);
        if (c > 0xFFFF) {
            out[k++] = (bridge_wchar)(0xD800 + ((c - 0x10000) >> 10));
            out[k++] = (bridge_wchar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[k++] = (bridge_wchar)c;
        }
    }
    out[k] = 0;
    if (size) *size = k;
    return out;
}

/* --- long is 32 bits on Windows ---------------------------------------------- */

BRIDGE_ENTRY PyObject *bridge_shim_PyLong_FromLong(int32_t v) { return PyLong_FromLong(v); }

BRIDGE_ENTRY PyObject *bridge_shim_PyBool_FromLong(int32_t v) { return PyBool_FromLong(v); }

BRIDGE_ENTRY int32_t bridge_shim_PyLong_AsLong(PyObject *o) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
    return (int32_t)v;
}

/* --- Windows drive paths ------------------------------------------------------- */

/* Decodes the UTF-8 of a Unix folder name into `out` (`cap` wide characters,
   NUL included); undecodable bytes as Python's surrogateescape gives them.
   The number written, or -1 when it does not fit. */
static Py_ssize_t bridge_decode_unix(const char *s, wchar_t *out, size_t cap) {
    size_t k = 0;
    const unsigned char *p = (const unsigned char *)s;
    while (*p) {
        uint32_t c = *p;
        int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
        if (c >= 0x80 && extra == 0) extra = -1;
        if (extra > 0) {
            uint32_t v = c & (0x3F >> extra);
            int ok = 1;
            for (int i = 1; i <= extra; i++) {
                if ((p[i] & 0xC0) != 0x80) {
                    ok = 0;
                    break;
                }
                v = (v << 6) | (p[i] & 0x3F);
            }
            if (ok) {
                c = v;
                p += extra + 1;
            } else {
                extra = -1;
            }
        }
        if (extra <= 0) {
            if (extra < 0) c = 0xDC00 + *p;
            p++;
        }
        if (k + 1 >= cap) return -1;
        out[k++] = (wchar_t)c;
    }
    out[k] = 0;
    return (Py_ssize_t)k;
}

/* "X:\dir\file" (either separator, or "X:" alone) as the Unix path Wine maps
   it to, into `out` (`cap` wide characters). 1 when mapped; 0 when `path`
   names no drive Wine knows (or does not fit), `out` then untouched. */
static int bridge_map_path(const wchar_t *path, wchar_t *out, size_t cap) {
    wchar_t letter = path[0];
    if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) || path[1] != L':' ||
        (path[2] && path[2] != L'\\' && path[2] != L'/'))
        return 0;
    const char *root = bridge_drive_root((char)letter);
    if (!root) return 0;
    Py_ssize_t n = bridge_decode_unix(root, out, cap);
    if (n < 0) return 0;
    const wchar_t *rest = path[2] ? path + 3 : path + 2;
    size_t k = (size_t)n;
    for (; *rest; rest++) {
        if (k + 1 >= cap) return 0;
        out[k++] = *rest == L'\\' ? L'/' : *rest;
    }
    if (k > 1 && out[k - 1] == L'/') k--; /* "Z:\" is "/", "Z:\tmp\" is "/tmp" */
    out[k] = 0;
    return 1;
}

/* A fresh copy of `path` (UTF-16) as Linux Python takes it, the drive
   mapped; free() it. NULL when memory is short. */
static wchar_t *bridge_path_from_utf16(const bridge_wchar *path) {
    wchar_t *wide = bridge_wide_from_utf16(path);
    if (!wide) return NULL;
    size_t cap = wcslen(wide) + PATH_MAX + 1;
    wchar_t *mapped = malloc(cap * sizeof(wchar_t));
    if (mapped && bridge_map_path(wide, mapped, cap)) {
        free(wide);
        return mapped;
    }
    free(mapped);
    return wide;
}

/* _tindral_bridge.unix_path(path): the Unix path of a Windows drive path,
   None for any other text. For the sys.path hook below. */
static PyObject *bridge_py_unix_path(PyObject *self, PyObject *arg) {
    (void)self;
    if (!PyUnicode_Check(arg)) Py_RETURN_NONE;
    wchar_t *path = PyUnicode_AsWideCharString(arg, NULL);
    if (!path) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    size_t cap = wcslen(path) + PATH_MAX + 1;
    wchar_t *mapped = PyMem_New(wchar_t, cap);
    PyObject *result = NULL;
    if (!mapped)
        result = PyErr_NoMemory();
    else if (bridge_map_path(path, mapped, cap))
        result = PyUnicode_FromWideChar(mapped, -1);
    else
        result = Py_NewRef(Py_None);
    PyMem_Free(mapped);
    PyMem_Free(path);
    return result;
}

static PyMethodDef bridge_py_methods[] = {
    {"unix_path", bridge_py_unix_path, METH_O, "The Unix path Wine maps a Windows drive path to, else None."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef bridge_py_module = {
    PyModuleDef_HEAD_INIT, "_tindral_bridge", "The python312.dll bridge under Wine.", -1, bridge_py_methods,
    NULL, NULL, NULL, NULL,
};

static PyObject *bridge_py_init(void) { return PyModule_Create(&bridge_py_module); }

/* The add-in puts its folder, its modules folder and Lib\site-packages on
   sys.path as Windows paths, which Linux Python would take for relative
   names: the first path hook finds each at its Unix path. */
static const char bridge_path_hook_source[] =
    "import sys, _tindral_bridge\n"
    "def _tindral_drive_path_hook(entry):\n"
    "    unix = _tindral_bridge.unix_path(entry)\n"
    "    if unix is None:\n"
    "        raise ImportError('not a Windows drive path', path=entry)\n"
    "    for hook in sys.path_hooks:\n"
    "        if hook is not _tindral_drive_path_hook:\n"
    "            try:\n"
    "                return hook(unix)\n"
    "            except ImportError:\n"
    "                pass\n"
    "    raise ImportError('no importer for ' + unix, path=entry)\n"
    "sys.path_hooks.insert(0, _tindral_drive_path_hook)\n"
    "sys.path_importer_cache.clear()\n";

/* 1 when the hook is in place; else logs why to stderr. */
static int bridge_install_path_hook(void) {
    PyObject *globals = PyDict_New();
    PyObject *result = NULL;
    if (globals && PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0)
        result = PyRun_String(bridge_path_hook_source, Py_file_input, globals, globals);
    Py_XDECREF(globals);
    if (!result) {
        fprintf(stderr, "python312 bridge: cannot install the drive path hook; modules on Windows paths "
                        "will not import:\n");
        PyErr_Print();
        return 0;
    }
    Py_DECREF(result);
    return 1;
}

/* --- PyConfig: the add-in's Windows record and the Linux one behind it ---------- */

enum bridge_field_kind { BRIDGE_FIELD_INT, BRIDGE_FIELD_PATH, BRIDGE_FIELD_PATH_LIST };

struct bridge_field {
    const char *name;
    enum bridge_field_kind kind;
    size_t windows_offset;
    size_t linux_offset;
    size_t size; /* in the Windows record */
};

static const struct bridge_field bridge_fields[] = {
#define BRIDGE_CONFIG_INT(name, off) {#name, BRIDGE_FIELD_INT, off, offsetof(PyConfig, name), sizeof(int)},
#define BRIDGE_CONFIG_PATH(name, off) {#name, BRIDGE_FIELD_PATH, off, offsetof(PyConfig, name), sizeof(void *)},
#define BRIDGE_CONFIG_PATH_LIST(name, off) \
    {#name, BRIDGE_FIELD_PATH_LIST, off, offsetof(PyConfig, name), sizeof(PyWideStringList)},
#include "bridge_config_fields.h"
#undef BRIDGE_CONFIG_INT
#undef BRIDGE_CONFIG_PATH
#undef BRIDGE_CONFIG_PATH_LIST
};
#define BRIDGE_FIELD_COUNT (sizeof bridge_fields / sizeof bridge_fields[0])

/* sizeof(PyConfig) for Windows x64, Python 3.12 (checked by the cross build). */
#define BRIDGE_WINDOWS_PYCONFIG_SIZE 432
/* What the Windows record holds outside the carried fields: a value the add-in
   would not write, so that a write at a wrong offset shows. */
#define BRIDGE_FILL 0xA5

/* One record the add-in is filling: its buffer, the Linux record behind it,
   and the Windows record as PyConfig_InitPythonConfig left it. */
struct bridge_config {
    unsigned char *windows;
    PyConfig linux_config;
    unsigned char initial[BRIDGE_WINDOWS_PYCONFIG_SIZE];
};

/* The add-in fills one record at a time; a few slots allow for a caller that
   keeps one while making another. Configuration calls come before Python runs,
   from any thread: the lock keeps the slots whole. */
#define BRIDGE_CONFIG_SLOTS 4
static struct bridge_config *bridge_configs[BRIDGE_CONFIG_SLOTS];
static pthread_mutex_t bridge_config_lock = PTHREAD_MUTEX_INITIALIZER;

/* The record whose Windows buffer holds `p` (at any offset), or NULL. */
static struct bridge_config *bridge_config_holding(const void *p) {
    const unsigned char *at = p;
    for (int i = 0; i < BRIDGE_CONFIG_SLOTS; i++) {
        struct bridge_config *c = bridge_configs[i];
        if (c && at >= c->windows && at < c->windows + BRIDGE_WINDOWS_PYCONFIG_SIZE) return c;
    }
    return NULL;
}

/* The carried field at `offset` of the Windows record, of `kind`, or NULL. */
static const struct bridge_field *bridge_field_at(size_t offset, enum bridge_field_kind kind) {
    for (size_t i = 0; i < BRIDGE_FIELD_COUNT; i++)
        if (bridge_fields[i].windows_offset == offset && bridge_fields[i].kind == kind) return &bridge_fields[i];
    return NULL;
}

static PyStatus bridge_config_error(const char *message) {
    fprintf(stderr, "python312 bridge: %s\n", message);
    return PyStatus_Error(message);
}

BRIDGE_ENTRY void bridge_shim_PyConfig_InitPythonConfig(unsigned char *windows) {
    /* Here the caller is a Wine thread: ask Wine for its drives now, before
       Python may need them on a thread of its own. */
    bridge_drive_root('C');
    pthread_mutex_lock(&bridge_config_lock);
    /* A record never cleared whose memory is being used again (the stack of
       an earlier start) is gone: drop it, so that no lookup finds it. */
    for (int i = 0; i < BRIDGE_CONFIG_SLOTS; i++) {
        struct bridge_config *old = bridge_configs[i];
        if (!old || old->windows >= windows + BRIDGE_WINDOWS_PYCONFIG_SIZE ||
            windows >= old->windows + BRIDGE_WINDOWS_PYCONFIG_SIZE)
            continue;
        PyConfig_Clear(&old->linux_config);
        free(old);
        bridge_configs[i] = NULL;
    }
    struct bridge_config *c = NULL;
    for (int i = 0; i < BRIDGE_CONFIG_SLOTS && !c; i++) {
        if (bridge_configs[i]) continue;
        c = calloc(1, sizeof *c);
        bridge_configs[i] = c;
    }
    if (!c) {
        pthread_mutex_unlock(&bridge_config_lock);
        /* The call returns nothing: the start then fails at
           Py_InitializeFromConfig, which finds no record. */
        fprintf(stderr, "python312 bridge: PyConfig_InitPythonConfig: no free record (more than %d open)\n",
                BRIDGE_CONFIG_SLOTS);
        return;
    }
    c->windows = windows;
    PyConfig_InitPythonConfig(&c->linux_config);

    memset(windows, BRIDGE_FILL, BRIDGE_WINDOWS_PYCONFIG_SIZE);
    const unsigned char *linux_record = (const unsigned char *)&c->linux_config;
    for (size_t i = 0; i < BRIDGE_FIELD_COUNT; i++) {
        const struct bridge_field *f = &bridge_fields[i];
        if (f->kind == BRIDGE_FIELD_INT)
            memcpy(windows + f->windows_offset, linux_record + f->linux_offset, sizeof(int));
        else
            memset(windows + f->windows_offset, 0, f->size); /* the strings live in the Linux record */
    }
    memcpy(c->initial, windows, BRIDGE_WINDOWS_PYCONFIG_SIZE);
    pthread_mutex_unlock(&bridge_config_lock);
}

BRIDGE_ENTRY void bridge_shim_PyConfig_Clear(unsigned char *windows) {
    pthread_mutex_lock(&bridge_config_lock);
    for (int i = 0; i < BRIDGE_CONFIG_SLOTS; i++) {
        struct bridge_config *c = bridge_configs[i];
        if (!c || c->windows != windows) continue;
        PyConfig_Clear(&c->linux_config);
        free(c);
        bridge_configs[i] = NULL;
    }
    pthread_mutex_unlock(&bridge_config_lock);
}

BRIDGE_ENTRY PyStatus bridge_shim_PyConfig_SetString(unsigned char *windows, bridge_wchar **field,
                                                     const bridge_wchar *value) {
    pthread_mutex_lock(&bridge_config_lock);
    struct bridge_config *c = bridge_config_holding(windows);
    PyStatus status;
    const struct bridge_field *f = NULL;
    if (!c || c->windows != windows)
        status = bridge_config_error("PyConfig_SetString: the record was not made by PyConfig_InitPythonConfig");
    else if (!(f = bridge_field_at((size_t)((unsigned char *)field - windows), BRIDGE_FIELD_PATH)))
        status = bridge_config_error("PyConfig_SetString: the field written is none the bridge carries "
                                     "(PyConfig layout mismatch, or a field missing from bridge_config_fields.h)");
    else {
        wchar_t **linux_field = (wchar_t **)((unsigned char *)&c->linux_config + f->linux_offset);
        wchar_t *path = value ? bridge_path_from_utf16(value) : NULL;
        if (value && !path)
            status = PyStatus_NoMemory();
        else
            status = PyConfig_SetString(&c->linux_config, linux_field, path);
        free(path);
    }
    pthread_mutex_unlock(&bridge_config_lock);
    return status;
}

BRIDGE_ENTRY PyStatus bridge_shim_PyWideStringList_Append(void *list, const bridge_wchar *item) {
    pthread_mutex_lock(&bridge_config_lock);
    struct bridge_config *c = bridge_config_holding(list);
    const struct bridge_field *f = NULL;
    PyStatus status;
    if (!c)
        status = bridge_config_error("PyWideStringList_Append: only the lists of a PyConfig record are carried");
    else if (!(f = bridge_field_at((size_t)((unsigned char *)list - c->windows), BRIDGE_FIELD_PATH_LIST)))
        status = bridge_config_error("PyWideStringList_Append: the list is none the bridge carries "
                                     "(PyConfig layout mismatch, or a field missing from bridge_config_fields.h)");
    else if (!item)
        status = bridge_config_error("PyWideStringList_Append: null item");
    else {
        PyWideStringList *linux_list = (PyWideStringList *)((unsigned char *)&c->linux_config + f->linux_offset);
        wchar_t *path = bridge_path_from_utf16(item);
        status = path ? PyWideStringList_Append(linux_list, path) : PyStatus_NoMemory();
        free(path);
    }
    pthread_mutex_unlock(&bridge_config_lock);
    return status;
}

/* 1 when every byte of the Windows record that changed since
   PyConfig_InitPythonConfig lies in a carried int field; else names the first
   stray range on stderr. Strings and lists go through their own calls, so
   their slots must not change either. */
static int bridge_config_layout_matches(const struct bridge_config *c) {
    for (size_t at = 0; at < BRIDGE_WINDOWS_PYCONFIG_SIZE; at++) {
        if (c->windows[at] == c->initial[at]) continue;
        int carried = 0;
        for (size_t i = 0; i < BRIDGE_FIELD_COUNT && !carried; i++) {
            const struct bridge_field *f = &bridge_fields[i];
            carried = f->kind == BRIDGE_FIELD_INT && at >= f->windows_offset && at < f->windows_offset + f->size;
        }
        if (carried) continue;
        size_t end = at;
        while (end + 1 < BRIDGE_WINDOWS_PYCONFIG_SIZE && c->windows[end + 1] != c->initial[end + 1]) end++;
        fprintf(stderr,
                "python312 bridge: PyConfig layout mismatch: the add-in wrote bytes %zu..%zu of the record, "
                "where Python 3.12 for Windows x64 keeps no field the bridge carries. Carried fields (Windows "
                "offsets):",
                at, end);
        for (size_t i = 0; i < BRIDGE_FIELD_COUNT; i++)
            fprintf(stderr, " %s@%zu", bridge_fields[i].name, bridge_fields[i].windows_offset);
        fprintf(stderr, "\n");
        return 0;
    }
    return 1;
}

BRIDGE_ENTRY PyStatus bridge_shim_Py_InitializeFromConfig(const unsigned char *windows) {
    pthread_mutex_lock(&bridge_config_lock);
    struct bridge_config *c = bridge_config_holding(windows);
    if (!c || c->windows != windows) {
        pthread_mutex_unlock(&bridge_config_lock);
        return bridge_config_error("Py_InitializeFromConfig: the record was not made by PyConfig_InitPythonConfig");
    }
    if (!bridge_config_layout_matches(c)) {
        pthread_mutex_unlock(&bridge_config_lock);
        return PyStatus_Error("python312 bridge: PyConfig layout mismatch (see stderr)");
    }
    unsigned char *linux_record = (unsigned char *)&c->linux_config;
    for (size_t i = 0; i < BRIDGE_FIELD_COUNT; i++) {
        const struct bridge_field *f = &bridge_fields[i];
        if (f->kind == BRIDGE_FIELD_INT) memcpy(linux_record + f->linux_offset, windows + f->windows_offset, sizeof(int));
    }
    static int inittab_added;
    if (!inittab_added && PyImport_AppendInittab("_tindral_bridge", bridge_py_init) == 0) inittab_added = 1;
    PyStatus status = Py_InitializeFromConfig(&c->linux_config);
    pthread_mutex_unlock(&bridge_config_lock);
    if (!PyStatus_Exception(status)) bridge_install_path_hook();
    return status;
}

/* --- PyObject_CallMethod: Windows varargs ----------------------------------------- */

/* Builds values as Py_BuildValue does, reading the arguments the Windows way:
   every argument one 8-byte slot, `long` 32 bits, wchar_t 16 bits. After a
   failure the walk goes on without building, so that the arguments of `N`
   units (references handed over) are still released. */
struct bridge_build {
    const char *format;
    bridge_va_list *args;
    int failed;
};

static PyObject *bridge_build_one(struct bridge_build *b);

/* The units up to `end` into a new tuple (end ')'), list (']') or dict ('}');
   or, for end 0, a tuple of the top-level units. */
static PyObject *bridge_build_many(struct bridge_build *b, char end) {
    PyObject *items = PyList_New(0);
    if (!items) b->failed = 1;
    for (;;) {
        char ch = *b->format;
        if (ch == end) break;
        if (ch == 0) {
            if (!b->failed) PyErr_SetString(PyExc_SystemError, "unmatched paren in format");
            b->failed = 1;
            break;
        }
        if (ch == ' ' || ch == '\t' || ch == ',' || ch == ':') {
            b->format++;
            continue;
        }
        PyObject *item = bridge_build_one(b);
        if (!item || (!b->failed && PyList_Append(items, item) < 0)) b->failed = 1;
        Py_XDECREF(item);
    }
    if (end) b->format++;
    if (b->failed) {
        Py_XDECREF(items);
        return NULL;
    }
    PyObject *result = NULL;
    Py_ssize_t n = PyList_GET_SIZE(items);
    if (end == ']') {
        result = Py_NewRef(items);
    } else if (end == '}') {
        if (n % 2) {
            PyErr_SetString(PyExc_SystemError, "Bad dict format");
        } else if ((result = PyDict_New())) {
            for (Py_ssize_t i = 0; i < n; i += 2) {
                if (PyDict_SetItem(result, PyList_GET_ITEM(items, i), PyList_GET_ITEM(items, i + 1)) < 0) {
                    Py_CLEAR(result);
                    break;
                }
            }
        }
    } else {
        result = PyList_AsTuple(items);
    }
    Py_DECREF(items);
    if (!result) b->failed = 1;
    return result;
}

/* Text with an optional '#' length: `kind` 's' str, 'y' bytes, 'u' UTF-16. */
static PyObject *bridge_build_text(struct bridge_build *b, char kind) {
    const void *p = __builtin_va_arg(*b->args, const void *);
    Py_ssize_t n = -1;
    if (*b->format == '#') {
        b->format++;
        n = __builtin_va_arg(*b->args, Py_ssize_t);
    }
    if (b->failed) return NULL;
    if (!p) {
        if (kind == 'y') {
            PyErr_SetString(PyExc_SystemError, "NULL string passed as 'y' value");
            return NULL;
        }
        return Py_NewRef(Py_None);
    }
    if (kind == 'u') return bridge_shim_PyUnicode_FromWideChar(p, n < 0 ? -1 : n);
    if (n < 0) n = (Py_ssize_t)strlen(p);
    return kind == 'y' ? PyBytes_FromStringAndSize(p, n) : PyUnicode_FromStringAndSize(p, n);
}

static PyObject *bridge_build_one(struct bridge_build *b) {
    char ch = *b->format++;
    PyObject *o = NULL;
    switch (ch) {
    case '(': return bridge_build_many(b, ')');
    case '[': return bridge_build_many(b, ']');
    case '{': return bridge_build_many(b, '}');
    case 'b': case 'B': case 'h': case 'i': case 'H': {
        int v = __builtin_va_arg(*b->args, int);
        return b->failed ? NULL : PyLong_FromLong(v);
    }
    case 'I': {
        unsigned int v = __builtin_va_arg(*b->args, unsigned int);
        return b->failed ? NULL : PyLong_FromUnsignedLong(v);
    }
    case 'l': {
        int32_t v = __builtin_va_arg(*b->args, int32_t);
        return b->failed ? NULL : PyLong_FromLong(v);
    }
    case 'k': {
        uint32_t v = __builtin_va_arg(*b->args, uint32_t);
        return b->failed ? NULL : PyLong_FromUnsignedLong(v);
    }
    case 'L': {
        long long v = __builtin_va_arg(*b->args, long long);
        return b->failed ? NULL : PyLong_FromLongLong(v);
    }
    case 'K': {
        unsigned long long v = __builtin_va_arg(*b->args, unsigned long long);
        return b->failed ? NULL : PyLong_FromUnsignedLongLong(v);
    }
    case 'n': {
        Py_ssize_t v = __builtin_va_arg(*b->args, Py_ssize_t);
        return b->failed ? NULL : PyLong_FromSsize_t(v);
    }
    case 'c': {
        char v = (char)__builtin_va_arg(*b->args, int);
        return b->failed ? NULL : PyBytes_FromStringAndSize(&v, 1);
    }
    case 'C': {
        int v = __builtin_va_arg(*b->args, int);
        return b->failed ? NULL : PyUnicode_FromOrdinal(v);
    }
    case 'd': case 'f': {
        double v = __builtin_va_arg(*b->args, double);
        return b->failed ? NULL : PyFloat_FromDouble(v);
    }
    case 'D': {
        Py_complex v = __builtin_va_arg(*b->args, Py_complex);
        return b->failed ? NULL : PyComplex_FromCComplex(v);
    }
    case 's': case 'z': case 'U': return bridge_build_text(b, 's');
    case 'y': return bridge_build_text(b, 'y');
    case 'u': return bridge_build_text(b, 'u');
    case 'N': case 'S': case 'O':
        if (*b->format == '&') {
            b->format++;
            bridge_converter convert = __builtin_va_arg(*b->args, bridge_converter);
            void *arg = __builtin_va_arg(*b->args, void *);
            return b->failed ? NULL : convert(arg);
        }
        o = __builtin_va_arg(*b->args, PyObject *);
        if (b->failed) {
            if (ch == 'N') Py_XDECREF(o);
            return NULL;
        }
        if (!o) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "NULL object passed to Py_BuildValue");
            return NULL;
        }
        return ch == 'N' ? o : Py_NewRef(o);
    default:
        if (!b->failed) PyErr_Format(PyExc_SystemError, "bad format char '%c' passed to Py_BuildValue", ch);
        b->failed = 1;
        b->format += strlen(b->format); /* the arguments cannot be told apart any more */
        return NULL;
    }
}

BRIDGE_ENTRY PyObject *bridge_shim_PyObject_CallMethod(PyObject *o, const char *name, const char *format, ...) {
    if (!o || !name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "null argument to internal routine");
        return NULL;
    }
    PyObject *callable = PyObject_GetAttrString(o, name);
    if (!callable) return NULL;
    if (!PyCallable_Check(callable)) {
        PyErr_Format(PyExc_TypeError, "attribute of type '%.200s' is not callable", Py_TYPE(callable)->tp_name);
        Py_DECREF(callable);
        return NULL;
    }
    PyObject *args = NULL;
    if (!format || !*format) {
        args = PyTuple_New(0);
    } else {
        bridge_va_list va;
        __builtin_ms_va_start(va, format);
        struct bridge_build b = {format, &va, 0};
        args = bridge_build_many(&b, 0);
        __builtin_ms_va_end(va);
        /* As Python does: a format that gives one tuple gives the arguments. */
        if (args && PyTuple_GET_SIZE(args) == 1 && PyTuple_Check(PyTuple_GET_ITEM(args, 0))) {
            PyObject *inner = Py_NewRef(PyTuple_GET_ITEM(args, 0));
            Py_SETREF(args, inner);
        }
    }
    PyObject *result = args ? PyObject_Call(callable, args, NULL) : NULL;
    Py_XDECREF(args);
    Py_DECREF(callable);
    return result;
}
