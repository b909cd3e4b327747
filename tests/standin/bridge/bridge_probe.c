/* bridge_probe.exe PYTHON_HOME MODE: drives the python312.dll bridge the way a
   Windows program would, for the entries whose Windows ABI the bridge
   converts. Built by the cross build; run under Wine by tests/e2e/test_bridge.py.

   MODE "layout": writes site_import at the Linux offset, as an add-in built
   with the wrong layout would; Py_InitializeFromConfig must refuse.
   MODE "calls": starts Python as the add-in does and prints one line per
   check ("name value"), for the test to compare; among them functions of this
   program that Python calls back (PyCFunction_NewEx). */
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

static unsigned long probe_other_ident;

/* Another Windows thread's ident: asking needs no interpreter lock. */
static DWORD WINAPI probe_other_thread(void *arg) {
    (void)arg;
    unsigned long (*ident)(void) = (unsigned long (*)(void))probe_sym("PyThread_get_thread_ident");
    probe_other_ident = ident();
    return 0;
}

/* Thread idents: a 32-bit handle per thread, stable, and one that
   PyThreadState_SetAsyncExc takes back to the right thread. */
static void probe_threads(PyObject *main) {
    SYM(unsigned long (*)(void), PyThread_get_thread_ident);
    SYM(int (*)(unsigned long, PyObject *), PyThreadState_SetAsyncExc);
    SYM(int (*)(const char *), PyRun_SimpleString);
    SYM(PyObject * (*)(PyObject *, const char *), PyObject_GetAttrString);
    SYM(PyObject * (*)(const char *), PyImport_ImportModule);
    SYM(const char *(*)(PyObject *), PyUnicode_AsUTF8);
    SYM(PyObject * (*)(PyObject *, const char *, const char *, ...), PyObject_CallMethod);
    SYM(PyObject * (*)(void), PyErr_Occurred);
    SYM(void (*)(void), PyErr_Clear);

    unsigned long self = PyThread_get_thread_ident();
    printf("ident-stable %d\n", self != 0 && PyThread_get_thread_ident() == self);
    HANDLE t = CreateThread(NULL, 0, probe_other_thread, NULL, 0, NULL);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    printf("ident-distinct %d\n", probe_other_ident != 0 && probe_other_ident != self);
    /* That thread never ran Python: no thread state carries its ident. */
    PyObject *builtins = PyImport_ImportModule("builtins");
    PyObject *value_error = PyObject_GetAttrString(builtins, "ValueError");
    printf("async-other %d\n", PyThreadState_SetAsyncExc(probe_other_ident, value_error));
    printf("async-unknown %d\n", PyThreadState_SetAsyncExc(self + 1000, value_error));
    PyRun_SimpleString("def spin():\n"
                       "    for i in range(10 ** 6):\n"
                       "        pass\n"
                       "    return 'done'\n");
    /* Raised in this thread at the next check of the running code. */
    printf("async-self %d\n", PyThreadState_SetAsyncExc(self, value_error));
    PyObject *r = PyObject_CallMethod(main, "spin", "");
    printf("async-raised %s\n", r ? PyUnicode_AsUTF8(r) : PyErr_Occurred() == value_error ? "ValueError" : "other");
    PyErr_Clear();
    /* Set, then cleared (exc null): nothing is raised. */
    PyThreadState_SetAsyncExc(self, value_error);
    printf("async-cleared %d\n", PyThreadState_SetAsyncExc(self, NULL));
    r = PyObject_CallMethod(main, "spin", "");
    printf("async-after-clear %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    PyErr_Clear();
}

/* An O& converter, called back with the Windows convention. */
static PyObject *probe_convert(void *p) {
    PyObject *(*from_string)(const char *) = (PyObject * (*)(const char *)) probe_sym("PyUnicode_FromString");
    return from_string((const char *)p);
}

/* Functions handed to Python through PyCFunction_NewEx, as the add-in hands
   its native functions: Windows convention, called back by Linux Python. */
typedef struct {
    const char *ml_name;
    void *ml_meth;
    int ml_flags;
    const char *ml_doc;
} method_t;
enum { PROBE_METH_VARARGS = 0x1, PROBE_METH_KEYWORDS = 0x2, PROBE_METH_NOARGS = 0x4, PROBE_METH_O = 0x8,
       PROBE_METH_FASTCALL = 0x80 };

/* (self, arg): None stands for a null pointer. */
static PyObject *probe_pair(PyObject *a, PyObject *b) {
    PyObject *(*tuple_new)(Py_ssize_t) = (PyObject * (*)(Py_ssize_t)) probe_sym("PyTuple_New");
    int (*tuple_set)(PyObject *, Py_ssize_t, PyObject *) =
        (int (*)(PyObject *, Py_ssize_t, PyObject *))probe_sym("PyTuple_SetItem");
    void (*incref)(PyObject *) = (void (*)(PyObject *))probe_sym("Py_IncRef");
    PyObject *none = probe_sym("_Py_NoneStruct");
    PyObject *t = tuple_new(2);
    if (!a) a = none;
    if (!b) b = none;
    incref(a);
    incref(b);
    tuple_set(t, 0, a);
    tuple_set(t, 1, b);
    return t;
}
static PyObject *probe_echo(PyObject *self, PyObject *arg) { return probe_pair(self, arg); }
static PyObject *probe_echo_kw(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    return probe_pair(args, kwargs);
}
/* Passes a Python exception through: calls __main__.boom(), which raises. */
static PyObject *probe_fail(PyObject *self, PyObject *arg) {
    (void)arg;
    PyObject *(*call_method)(PyObject *, const char *, const char *, ...) =
        (PyObject * (*)(PyObject *, const char *, const char *, ...)) probe_sym("PyObject_CallMethod");
    return call_method(self, "boom", "");
}

static method_t probe_methods[] = {
    {"echo_noargs", (void *)probe_echo, PROBE_METH_NOARGS, "echoes nothing"},
    {"echo_o", (void *)probe_echo, PROBE_METH_O, "echoes one"},
    {"echo_varargs", (void *)probe_echo, PROBE_METH_VARARGS, NULL},
    {"echo_kw", (void *)probe_echo_kw, PROBE_METH_VARARGS | PROBE_METH_KEYWORDS, NULL},
    {"fail", (void *)probe_fail, PROBE_METH_NOARGS, NULL},
    {"fast", (void *)probe_echo, PROBE_METH_FASTCALL, NULL},
};

static void probe_cfunctions(PyObject *main) {
    SYM(PyObject * (*)(method_t *, PyObject *, PyObject *), PyCFunction_NewEx);
    SYM(int (*)(PyObject *, const char *, PyObject *), PyObject_SetAttrString);
    SYM(PyObject * (*)(const char *), PyUnicode_FromString);
    SYM(int (*)(const char *), PyRun_SimpleString);
    SYM(PyObject * (*)(PyObject *, const char *, const char *, ...), PyObject_CallMethod);
    SYM(const char *(*)(PyObject *), PyUnicode_AsUTF8);
    SYM(PyObject * (*)(PyObject *), PyObject_Repr);
    SYM(void (*)(PyObject **, PyObject **, PyObject **), PyErr_Fetch);
    SYM(void (*)(void), PyErr_Clear);
    SYM(void (*)(PyObject *), Py_DecRef);

    PyObject *self = PyUnicode_FromString("me");
    for (size_t i = 0; i < sizeof probe_methods / sizeof probe_methods[0]; i++) {
        method_t *def = &probe_methods[i];
        PyObject *owner = def->ml_meth == (void *)probe_fail ? main : i == 0 ? self : NULL;
        PyObject *fn = PyCFunction_NewEx(def, owner, NULL);
        if (!fn) {
            PyObject *type = NULL, *value = NULL, *tb = NULL;
            PyErr_Fetch(&type, &value, &tb);
            PyObject *shown = value ? PyObject_Repr(value) : NULL;
            printf("cf-refused-%s %s\n", def->ml_name, shown ? PyUnicode_AsUTF8(shown) : "no-error");
            continue;
        }
        PyObject_SetAttrString(main, def->ml_name, fn);
        Py_DecRef(fn);
    }
    /* Twice from one def: the second object must behave as the first. */
    PyObject *again = PyCFunction_NewEx(&probe_methods[1], NULL, NULL);
    PyObject_SetAttrString(main, "echo_o_again", again);
    Py_DecRef(again);
    Py_DecRef(self); /* the first function keeps its own reference */

    PyRun_SimpleString("def boom():\n"
                       "    raise KeyError('from python')\n"
                       "def failed():\n"
                       "    try:\n"
                       "        fail()\n"
                       "    except KeyError as e:\n"
                       "        return 'KeyError ' + str(e)\n"
                       "cf = ascii((echo_noargs(), echo_o(3), echo_varargs(1, 'b'), echo_kw(1, k=2), failed(),\n"
                       "            echo_o_again([1]), echo_o.__name__, echo_o.__doc__, "
                       "[echo_o(i)[1] for i in range(1000)][-1]))\n"
                       "try:\n"
                       "    echo_noargs(1)\n"
                       "    cf_arity = 'accepted'\n"
                       "except TypeError as e:\n"
                       "    cf_arity = str(e)\n");
    PyObject *r = PyObject_CallMethod(main, "__getattribute__", "s", "cf");
    printf("cfunctions %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    PyErr_Clear();
    r = PyObject_CallMethod(main, "__getattribute__", "s", "cf_arity");
    printf("cf-arity %s\n", r ? PyUnicode_AsUTF8(r) : "NULL");
    PyErr_Clear();
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
    probe_threads(main);
    probe_cfunctions(main);
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
