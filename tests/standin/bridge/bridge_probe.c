/* bridge_probe.exe PYTHON_HOME MODE: drives the python312.dll bridge the way a
   Windows program would, for the entries whose Windows ABI the bridge
   converts. Built by the cross build; run under Wine by tests/e2e/test_bridge.py.

   MODE "layout": writes site_import at the Linux offset, as an add-in built
   with the wrong layout would; Py_InitializeFromConfig must refuse.
   MODE "calls": starts Python as the add-in does and prints one line per
   check ("name value"), for the test to compare. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

typedef struct _object PyObject;
typedef intptr_t Py_ssize_t;
typedef struct {
    int type;
    const char *func;
    const char *err_msg;
    int exitcode;
} status_t;
typedef struct {
    Py_ssize_t length;
    wchar_t **items;
} list_t;

static HMODULE probe_lib;

static void *probe_sym(const char *name) {
    void *p = (void *)GetProcAddress(probe_lib, name);
    if (!p) {
        printf("missing %s\n", name);
        exit(3);
    }
    return p;
}
#define SYM(type, name) __typeof__(type) name = (__typeof__(type))probe_sym(#name)

/* Windows x64 PyConfig offsets (as the add-in uses them), and Linux's one for
   site_import, which differs. */
enum { OFF_USE_ENVIRONMENT = 8, OFF_SITE_IMPORT = 168, OFF_SITE_IMPORT_LINUX = 176, OFF_HOME = 288,
       OFF_SEARCH_SET = 304, OFF_SEARCH = 312 };

static void probe_set_int(unsigned char *config, size_t off, int v) { memcpy(config + off, &v, sizeof v); }

static int probe_start(const wchar_t *home, int wrong_layout) {
    SYM(void (*)(void *), PyConfig_InitPythonConfig);
    SYM(status_t (*)(void *, wchar_t **, const wchar_t *), PyConfig_SetString);
    SYM(status_t (*)(list_t *, const wchar_t *), PyWideStringList_Append);
    SYM(status_t (*)(const void *), Py_InitializeFromConfig);
    SYM(void (*)(void *), PyConfig_Clear);
    SYM(int (*)(status_t), PyStatus_Exception);

    _Alignas(16) unsigned char config[1024] = {0};
    PyConfig_InitPythonConfig(config);
    probe_set_int(config, OFF_USE_ENVIRONMENT, 0);
    probe_set_int(config, wrong_layout ? OFF_SITE_IMPORT_LINUX : OFF_SITE_IMPORT, 0);
    PyConfig_SetString(config, (wchar_t **)(config + OFF_HOME), home);
    probe_set_int(config, OFF_SEARCH_SET, 1);
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\python312.zip", home);
    PyWideStringList_Append((list_t *)(config + OFF_SEARCH), path);
    PyWideStringList_Append((list_t *)(config + OFF_SEARCH), home);
    status_t s = Py_InitializeFromConfig(config);
    PyConfig_Clear(config);
    if (PyStatus_Exception(s)) {
        printf("init-failed %s\n", s.err_msg ? s.err_msg : "(none)");
        return 0;
    }
    printf("init ok\n");
    return 1;
}

/* An O& converter, called back with the Windows convention. */
static PyObject *probe_convert(void *p) {
    PyObject *(*from_string)(const char *) = (PyObject * (*)(const char *)) probe_sym("PyUnicode_FromString");
    return from_string((const char *)p);
}

static void probe_calls(void) {
    SYM(int (*)(const char *), PyRun_SimpleString);
    SYM(PyObject * (*)(const char *), PyImport_AddModule);
    SYM(PyObject * (*)(PyObject *, const char *, const char *, ...), PyObject_CallMethod);
    SYM(const char *(*)(PyObject *), PyUnicode_AsUTF8);
    SYM(PyObject * (*)(const wchar_t *, Py_ssize_t), PyUnicode_FromWideChar);
    SYM(wchar_t * (*)(PyObject *, Py_ssize_t *), PyUnicode_AsWideCharString);
    SYM(PyObject * (*)(long), PyLong_FromLong);
    SYM(long (*)(PyObject *), PyLong_AsLong);
    SYM(PyObject * (*)(long), PyBool_FromLong);
    SYM(PyObject * (*)(double), PyFloat_FromDouble);
    SYM(PyObject * (*)(const char *), PyUnicode_FromString);
    SYM(PyObject * (*)(void), PyErr_Occurred);
    SYM(void (*)(void), PyErr_Clear);
    SYM(void (*)(void *), PyMem_Free);
    SYM(void (*)(PyObject *), Py_DecRef);
    PyObject *float_type = probe_sym("PyFloat_Type");
    PyObject *true_object = probe_sym("_Py_TrueStruct");

    PyRun_SimpleString("import sys, math, json\n"
                       "def show(*a):\n"
                       "    return ascii(a)\n");
    PyObject *main = PyImport_AddModule("__main__");
    PyObject *r;

    r = PyObject_CallMethod(main, "show", "ilkLKnd", -5, -7L, 4000000000UL, -(1LL << 40), 1ULL << 63, (Py_ssize_t)-9,
                            2.5);
    printf("numbers %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    r = PyObject_CallMethod(main, "show", "(s#z)[y#]{s:C}", "abcdef", (Py_ssize_t)3, NULL, "xy", (Py_ssize_t)2,
                            "k", 0x1F600);
    printf("containers %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    PyObject *owned = PyUnicode_FromString("given");
    r = PyObject_CallMethod(main, "show", "u u# N O&", L"w\U0001F600", L"abc", (Py_ssize_t)2, owned, probe_convert,
                            (void *)"converted");
    printf("text %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    r = PyObject_CallMethod(main, "show", "(ii)", 1, 2);
    printf("one-tuple %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    r = PyObject_CallMethod(main, "show", "");
    printf("no-format %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    r = PyObject_CallMethod(main, "show", "i#", 1);
    printf("bad-format %s error=%d\n", r ? PyUnicode_AsUTF8(r) : "NULL", PyErr_Occurred() != NULL);
    PyErr_Clear();

    PyRun_SimpleString("big = 2 ** 31\nsmall = -2 ** 31\n");
    r = PyObject_CallMethod(main, "show", "O", PyLong_FromLong(-2147483647L - 1));
    printf("long-from %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    PyObject *big = PyObject_CallMethod(main, "__getattribute__", "s", "big");
    long v = PyLong_AsLong(big);
    printf("long-as-big %ld error=%d\n", v, PyErr_Occurred() != NULL);
    PyErr_Clear();
    PyObject *small = PyObject_CallMethod(main, "__getattribute__", "s", "small");
    v = PyLong_AsLong(small);
    printf("long-as-small %ld error=%d\n", v, PyErr_Occurred() != NULL);
    printf("bool-is-true %d\n", PyBool_FromLong(7) == true_object);
    PyObject *f = PyFloat_FromDouble(1.5);
    printf("float-type %d\n", ((PyObject **)f)[1] == float_type);

    /* UTF-16 both ways: a pair, a lone surrogate, an embedded NUL. */
    static const wchar_t text[] = {L'a', 0xD83D, 0xDE00, 0xDC00, 0, L'z'};
    PyObject *s = PyUnicode_FromWideChar(text, 6);
    r = PyObject_CallMethod(main, "show", "O", s);
    printf("wide-in %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    Py_ssize_t n = -1;
    wchar_t *w = PyUnicode_AsWideCharString(s, &n);
    printf("wide-out %d %d\n", (int)n, w && n == 6 && memcmp(w, text, sizeof text) == 0 && w[6] == 0);
    PyMem_Free(w);
    w = PyUnicode_AsWideCharString(s, NULL);
    printf("wide-out-nul %d error=%d\n", w != NULL, PyErr_Occurred() != NULL);
    PyErr_Clear();
    Py_DecRef(s);

    r = PyObject_CallMethod(main, "show", "O", PyObject_CallMethod(main, "__getattribute__", "s", "math"));
    printf("extension %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    fflush(stdout);
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bridge_probe PYTHON_HOME layout|calls\n");
        return 2;
    }
    wchar_t library[MAX_PATH];
    swprintf(library, MAX_PATH, L"%ls\\python312.dll", argv[1]);
    probe_lib = LoadLibraryW(library);
    if (!probe_lib) {
        printf("LoadLibrary failed %lu\n", GetLastError());
        return 3;
    }
    int layout = wcscmp(argv[2], L"layout") == 0;
    if (!probe_start(argv[1], layout)) return layout ? 0 : 1;
    if (layout) return 1;
    probe_calls();
    return 0;
}
