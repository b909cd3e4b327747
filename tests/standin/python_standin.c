/* A stand-in for the Python 3.12 library, for the binding tests only: it
   exports the names the add-in binds and nothing of Python behind them.

   A build leaves names out by renaming them on the command line
   (-DPyRun_SimpleString=standin_omitted_PyRun_SimpleString), so one source
   gives every "missing symbol" variant on both platforms.

   The configuration calls behave enough like Python's for the start to reach
   Py_InitializeFromConfig, which always fails: its error message reports the
   configuration it was handed, read through the real PyConfig layout of this
   target, so a test sees whether the add-in wrote the right fields. With
   STANDIN_NO_MESSAGE the failure carries no message. Every other function
   aborts: the add-in must not call into a library whose start failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pyconfig_shim.h"

#ifdef _WIN32
#define STANDIN_EXPORT __declspec(dllexport)
#else
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

static void standin_trap(const char *name) {
    fprintf(stderr, "python stand-in: %s called\n", name);
    abort();
}

#define STANDIN_TRAP(name) \
    STANDIN_EXPORT void name(void) { standin_trap(#name); }

/* --- Configuration: enough of Python's behaviour for the start to run --- */

static PyStatus standin_ok(void) {
    PyStatus s;
    memset(&s, 0, sizeof s);
    return s;
}

static wchar_t *standin_wcsdup(const wchar_t *s) {
    size_t n = wcslen(s) + 1;
    wchar_t *copy = (wchar_t *)malloc(n * sizeof(wchar_t));
    if (copy) memcpy(copy, s, n * sizeof(wchar_t));
    return copy;
}

/* ASCII for the report; anything else becomes '?'. */
static void standin_narrow(const wchar_t *w, char *out, size_t cap) {
    size_t n = 0;
    if (!w) w = L"(null)";
    for (; *w && n + 1 < cap; w++) out[n++] = (*w > 0 && *w < 0x80) ? (char)*w : '?';
    out[n] = 0;
}

STANDIN_EXPORT int Py_IsInitialized(void) { return 0; }

/* Python's defaults for the fields the add-in changes. */
STANDIN_EXPORT void PyConfig_InitPythonConfig(PyConfig *config) {
    memset(config, 0, sizeof *config);
    config->use_environment = 1;
    config->install_signal_handlers = 1;
    config->site_import = 1;
    config->module_search_paths_set = 0;
}

STANDIN_EXPORT PyStatus PyConfig_SetString(PyConfig *config, wchar_t **config_str, const wchar_t *str) {
    (void)config;
    free(*config_str);
    *config_str = str ? standin_wcsdup(str) : NULL;
    return standin_ok();
}

STANDIN_EXPORT PyStatus PyWideStringList_Append(PyWideStringList *list, const wchar_t *item) {
    wchar_t **items = (wchar_t **)realloc(list->items, (size_t)(list->length + 1) * sizeof(wchar_t *));
    if (items) {
        list->items = items;
        list->items[list->length++] = standin_wcsdup(item);
    }
    return standin_ok();
}

STANDIN_EXPORT void PyConfig_Clear(PyConfig *config) {
    free(config->home);
    config->home = NULL;
    for (Py_ssize_t i = 0; i < config->module_search_paths.length; i++) free(config->module_search_paths.items[i]);
    free(config->module_search_paths.items);
    config->module_search_paths.items = NULL;
    config->module_search_paths.length = 0;
}

STANDIN_EXPORT int PyStatus_Exception(PyStatus status) { return status._type != 0; }

static char standin_report[1024];

STANDIN_EXPORT PyStatus Py_InitializeFromConfig(const PyConfig *config) {
    char home[256], paths[512] = "";
    standin_narrow(config->home, home, sizeof home);
    for (Py_ssize_t i = 0; i < config->module_search_paths.length; i++) {
        char one[256];
        standin_narrow(config->module_search_paths.items[i], one, sizeof one);
        if (i) strncat(paths, "|", sizeof paths - strlen(paths) - 1);
        strncat(paths, one, sizeof paths - strlen(paths) - 1);
    }
    snprintf(standin_report, sizeof standin_report,
             "stand-in home=%s paths=%s env=%d signals=%d site=%d paths_set=%d", home, paths,
             config->use_environment, config->install_signal_handlers, config->site_import,
             config->module_search_paths_set);
    PyStatus s;
    memset(&s, 0, sizeof s);
    s._type = _PyStatus_TYPE_ERROR;
    s.func = "Py_InitializeFromConfig";
#ifdef STANDIN_NO_MESSAGE
    s.err_msg = NULL;
#else
    s.err_msg = standin_report;
#endif
    return s;
}

/* --- Everything else: present by name, never to be called --- */

STANDIN_TRAP(Py_DecRef)
STANDIN_TRAP(Py_IncRef)
STANDIN_TRAP(PyGILState_Ensure)
STANDIN_TRAP(PyGILState_Release)
STANDIN_TRAP(PyEval_SaveThread)
STANDIN_TRAP(PyImport_ImportModule)
STANDIN_TRAP(PyImport_AddModule)
STANDIN_TRAP(PyImport_ReloadModule)
STANDIN_TRAP(PyObject_Call)
STANDIN_TRAP(PyObject_CallMethod)
STANDIN_TRAP(PyObject_GetAttrString)
STANDIN_TRAP(PyObject_SetAttrString)
STANDIN_TRAP(PyObject_Repr)
STANDIN_TRAP(PyObject_Str)
STANDIN_TRAP(PyRun_SimpleString)
STANDIN_TRAP(PySys_GetObject)
STANDIN_TRAP(PyList_Append)
STANDIN_TRAP(PyList_Insert)
STANDIN_TRAP(PyList_Size)
STANDIN_TRAP(PyList_GetItem)
STANDIN_TRAP(PyTuple_New)
STANDIN_TRAP(PyTuple_SetItem)
STANDIN_TRAP(PyTuple_GetItem)
STANDIN_TRAP(PyTuple_Size)
STANDIN_TRAP(PyDict_GetItem)
STANDIN_TRAP(PyDict_SetItemString)
STANDIN_TRAP(PyModule_GetDict)
STANDIN_TRAP(PyUnicode_FromString)
STANDIN_TRAP(PyUnicode_FromWideChar)
STANDIN_TRAP(PyUnicode_AsUTF8)
STANDIN_TRAP(PyUnicode_AsWideCharString)
STANDIN_TRAP(PyFloat_FromDouble)
STANDIN_TRAP(PyFloat_AsDouble)
STANDIN_TRAP(PyLong_FromLong)
STANDIN_TRAP(PyLong_AsLong)
STANDIN_TRAP(PyBool_FromLong)
STANDIN_TRAP(PyMem_Free)
STANDIN_TRAP(PyErr_Print)
STANDIN_TRAP(PyErr_Occurred)
STANDIN_TRAP(PyErr_Clear)
STANDIN_TRAP(PyErr_Fetch)
STANDIN_TRAP(PyErr_NormalizeException)
/* Arrays and dates. */
STANDIN_TRAP(PyList_New)
STANDIN_TRAP(PyList_SetItem)
STANDIN_TRAP(PyType_IsSubtype)
STANDIN_TRAP(PyGC_Disable)
STANDIN_TRAP(PyGC_Enable)
/* time-limited requests */
STANDIN_TRAP(PyThread_get_thread_ident)
STANDIN_TRAP(PyThreadState_SetAsyncExc)
/* Live reload. */
STANDIN_TRAP(PyCFunction_NewEx)
STANDIN_TRAP(PyDict_New)
/* Cell access. */
STANDIN_TRAP(PyEval_RestoreThread)
/* Worksheet calls. */
STANDIN_TRAP(PyObject_Vectorcall)
/* Text arguments. */
STANDIN_TRAP(PyUnicode_DecodeUTF16)
/* Typed worksheet functions. */
STANDIN_TRAP(PyByteArray_FromStringAndSize)
STANDIN_TRAP(PyByteArray_AsString)
STANDIN_TRAP(PyMemoryView_FromObject)
STANDIN_TRAP(PyObject_GetBuffer)
STANDIN_TRAP(PyBuffer_Release)
STANDIN_TRAP(PyLong_FromDouble)
/* Agent requests read by the add-in. */
STANDIN_TRAP(PyUnicode_DecodeUTF8)
STANDIN_TRAP(PyLong_FromString)
STANDIN_TRAP(PyOS_string_to_double)
STANDIN_TRAP(PyDict_SetItem)
STANDIN_TRAP(PyUnicode_New)

/* Data objects: only their addresses matter. */
STANDIN_EXPORT void *_Py_NoneStruct[4];
STANDIN_EXPORT void *_Py_TrueStruct[4];
STANDIN_EXPORT void *_Py_FalseStruct[4];
STANDIN_EXPORT void *PyBool_Type[4];
STANDIN_EXPORT void *PyFloat_Type[4];
STANDIN_EXPORT void *PyLong_Type[4];
STANDIN_EXPORT void *PyUnicode_Type[4];
STANDIN_EXPORT void *PyTuple_Type[4];
STANDIN_EXPORT void *PyList_Type[4];
