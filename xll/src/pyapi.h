// pyapi: Python 3.12's C API, bound by name from the runtime library.
//
// The add-in never links against Python and never includes its headers: the
// few types it needs are declared here as Python 3.12 publishes them. Every
// Python call anywhere in the add-in is one indirect call through `pyapi`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xll_log.h"

typedef struct _object PyObject;  // opaque; only ob_type (second word) is read
typedef intptr_t Py_ssize_t;
typedef int PyGILState_STATE;     // the published enum, passed back unchanged
typedef struct _ts PyThreadState; // opaque

// Python 3.12's PyStatus, returned by value from the configuration calls.
struct PyStatus {
    int _type;  // 0 ok, 1 error, 2 exit
    const char *func;
    const char *err_msg;  // static text or null
    int exitcode;
};

// Python 3.12's PyWideStringList.
struct PyWideStringList {
    Py_ssize_t length;
    wchar_t **items;
};

// Python 3.12's Py_buffer: what PyObject_GetBuffer fills in for an object
// that exports its memory (a memoryview, array.array, a numpy array).
struct Py_buffer {
    void *buf;
    PyObject *obj;  // owned by the view; PyBuffer_Release gives it back
    Py_ssize_t len;
    Py_ssize_t itemsize;
    int readonly;
    int ndim;
    char *format;  // struct-module syntax; null means "B"
    Py_ssize_t *shape;
    Py_ssize_t *strides;
    Py_ssize_t *suboffsets;
    void *internal;
};
// PyObject_GetBuffer's request: shape, strides and format, read-only will do.
constexpr int PYAPI_BUF_RECORDS_RO = 0x0004 | 0x0008 | 0x0010;

struct PyConfig;  // opaque; fields reached only through python_runtime's offsets

// Python 3.12's PyMethodDef: one C function as Python sees it. The record must
// outlive every function object made from it.
typedef PyObject *(*PyCFunction)(PyObject *self, PyObject *args);
struct PyMethodDef {
    const char *ml_name;
    PyCFunction ml_meth;
    int ml_flags;
    const char *ml_doc;
};
constexpr int PYAPI_METH_VARARGS = 0x0001;  // the arguments as one tuple
constexpr int PYAPI_METH_NOARGS = 0x0004;
constexpr int PYAPI_METH_O = 0x0008;

// The type pointer of an object: the second pointer-sized word of its header.
inline PyObject *pyapi_type_of(PyObject *o) { return ((PyObject **)o)[1]; }

// The entries in binding order (the described 58, then the blocks features
// appended), then the library handle. A function entry
// holds the function's address; a data entry holds the object's address, which
// is the object itself (`_Py_NoneStruct` is None, `PyList_Type` the list type).
struct pyapi_table {
    int (*Py_IsInitialized)(void);
    PyStatus (*Py_InitializeFromConfig)(const PyConfig *config);
    void (*PyConfig_InitPythonConfig)(PyConfig *config);
    void (*PyConfig_Clear)(PyConfig *config);
    PyStatus (*PyConfig_SetString)(PyConfig *config, wchar_t **config_str, const wchar_t *str);
    PyStatus (*PyWideStringList_Append)(PyWideStringList *list, const wchar_t *item);
    int (*PyStatus_Exception)(PyStatus status);
    void (*Py_DecRef)(PyObject *o);
    void (*Py_IncRef)(PyObject *o);
    PyGILState_STATE (*PyGILState_Ensure)(void);
    void (*PyGILState_Release)(PyGILState_STATE state);
    PyThreadState *(*PyEval_SaveThread)(void);
    PyObject *(*PyImport_ImportModule)(const char *name);                // new ref
    PyObject *(*PyImport_AddModule)(const char *name);                   // borrowed
    PyObject *(*PyImport_ReloadModule)(PyObject *m);                     // new ref
    PyObject *(*PyObject_Call)(PyObject *callable, PyObject *args, PyObject *kwargs);  // new ref
    PyObject *(*PyObject_CallMethod)(PyObject *o, const char *name, const char *format, ...);  // new ref
    PyObject *(*PyObject_GetAttrString)(PyObject *o, const char *name);  // new ref
    int (*PyObject_SetAttrString)(PyObject *o, const char *name, PyObject *v);
    PyObject *(*PyObject_Repr)(PyObject *o);  // new ref
    PyObject *(*PyObject_Str)(PyObject *o);   // new ref
    int (*PyRun_SimpleString)(const char *command);
    PyObject *(*PySys_GetObject)(const char *name);  // borrowed
    int (*PyList_Append)(PyObject *list, PyObject *item);  // does not steal
    int (*PyList_Insert)(PyObject *list, Py_ssize_t index, PyObject *item);  // does not steal
    Py_ssize_t (*PyList_Size)(PyObject *list);
    PyObject *(*PyList_GetItem)(PyObject *list, Py_ssize_t index);  // borrowed
    PyObject *(*PyTuple_New)(Py_ssize_t size);                        // new ref
    int (*PyTuple_SetItem)(PyObject *tuple, Py_ssize_t pos, PyObject *o);  // steals o
    PyObject *(*PyTuple_GetItem)(PyObject *tuple, Py_ssize_t pos);    // borrowed
    Py_ssize_t (*PyTuple_Size)(PyObject *tuple);
    PyObject *(*PyDict_GetItem)(PyObject *dict, PyObject *key);       // borrowed
    int (*PyDict_SetItemString)(PyObject *dict, const char *key, PyObject *v);
    PyObject *(*PyModule_GetDict)(PyObject *m);                       // borrowed
    PyObject *(*PyUnicode_FromString)(const char *u);                 // new ref
    PyObject *(*PyUnicode_FromWideChar)(const wchar_t *w, Py_ssize_t size);  // new ref
    const char *(*PyUnicode_AsUTF8)(PyObject *unicode);  // owned by the object
    wchar_t *(*PyUnicode_AsWideCharString)(PyObject *unicode, Py_ssize_t *size);  // PyMem_Free it
    PyObject *(*PyFloat_FromDouble)(double v);  // new ref
    double (*PyFloat_AsDouble)(PyObject *o);
    PyObject *(*PyLong_FromLong)(long v);  // new ref
    long (*PyLong_AsLong)(PyObject *o);
    PyObject *(*PyBool_FromLong)(long v);  // new ref
    void (*PyMem_Free)(void *p);
    void (*PyErr_Print)(void);
    PyObject *(*PyErr_Occurred)(void);  // borrowed
    void (*PyErr_Clear)(void);
    void (*PyErr_Fetch)(PyObject **type, PyObject **value, PyObject **traceback);  // new refs
    void (*PyErr_NormalizeException)(PyObject **type, PyObject **value, PyObject **traceback);
    PyObject *_Py_NoneStruct;
    PyObject *_Py_TrueStruct;
    PyObject *_Py_FalseStruct;
    PyObject *PyBool_Type;
    PyObject *PyFloat_Type;
    PyObject *PyLong_Type;
    PyObject *PyUnicode_Type;
    PyObject *PyTuple_Type;
    PyObject *PyList_Type;
    // Arrays and dates: ranges in as lists of rows, date results as serials.
    PyObject *(*PyList_New)(Py_ssize_t size);                          // new ref
    int (*PyList_SetItem)(PyObject *list, Py_ssize_t index, PyObject *o);  // steals o
    int (*PyType_IsSubtype)(PyObject *a, PyObject *b);
    int (*PyGC_Disable)(void);  // returns 1 when the collector was enabled
    int (*PyGC_Enable)(void);
    // --- time-limited requests: interrupting the thread that runs one ---
    unsigned long (*PyThread_get_thread_ident)(void);
    int (*PyThreadState_SetAsyncExc)(unsigned long id, PyObject *exc);  // exc null clears; needs the lock
    // Live reload: the add-in's native functions in the package and the
    // answers they build.
    PyObject *(*PyCFunction_NewEx)(PyMethodDef *def, PyObject *self, PyObject *module);  // new ref
    PyObject *(*PyDict_New)(void);                                                       // new ref
    // Cell access: a thread waiting for Excel's main thread lets go of the
    // GIL (the rows it reads come back as lists, bound above).
    void (*PyEval_RestoreThread)(PyThreadState *state);
    // Worksheet calls hand their arguments over as an array, with no tuple
    // made and freed per call. Or PYAPI_VECTORCALL_ARGUMENTS_OFFSET into
    // nargsf when args[-1] is a spare slot the callee may borrow.
    PyObject *(*PyObject_Vectorcall)(PyObject *callable, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames);  // new ref
    // Text arguments straight from Excel's UTF-16 where wchar_t is wider:
    // `size` in bytes; *byteorder -1 reads little-endian and keeps a leading
    // U+FEFF as a character.
    PyObject *(*PyUnicode_DecodeUTF16)(const char *s, Py_ssize_t size, const char *errors,
                                       int *byteorder);  // new ref
    // Typed worksheet functions: a range as one buffer of doubles (a
    // bytearray seen through a memoryview), results that export such a
    // buffer, and whole numbers beyond 32 bits as int.
    PyObject *(*PyByteArray_FromStringAndSize)(const char *s, Py_ssize_t size);  // new ref; s null: uninitialised
    char *(*PyByteArray_AsString)(PyObject *bytearray);  // owned by the object
    PyObject *(*PyMemoryView_FromObject)(PyObject *o);  // new ref
    int (*PyObject_GetBuffer)(PyObject *o, Py_buffer *view, int flags);  // 0 on success: release the view once
    void (*PyBuffer_Release)(Py_buffer *view);
    PyObject *(*PyLong_FromDouble)(double v);  // new ref; the whole part
    // Agent requests read by the add-in: the values of a JSON text, each
    // converted as the json module converts it.
    PyObject *(*PyUnicode_DecodeUTF8)(const char *s, Py_ssize_t size, const char *errors);  // new ref
    PyObject *(*PyLong_FromString)(const char *str, char **pend, int base);              // new ref
    double (*PyOS_string_to_double)(const char *s, char **endptr, PyObject *overflow_exception);
    int (*PyDict_SetItem)(PyObject *dict, PyObject *key, PyObject *value);  // does not steal
    // A str of `size` characters to fill in place; its characters are
    // undefined until then. maxchar 127 makes a compact ASCII one.
    PyObject *(*PyUnicode_New)(Py_ssize_t size, uint32_t maxchar);  // new ref
    void *handle;  // the loaded library; non-zero means bound
};

constexpr size_t PYAPI_VECTORCALL_ARGUMENTS_OFFSET = (size_t)1 << (8 * sizeof(size_t) - 1);

constexpr int PYAPI_ENTRY_COUNT = 81;
static_assert(sizeof(pyapi_table) == (PYAPI_ENTRY_COUNT + 1) * sizeof(void *),
              "pyapi: one pointer-sized word per entry, then the handle");

// The process-wide table. Written only by pyapi_load on the start-up thread;
// read without a lock by any thread after start-up succeeded.
extern pyapi_table pyapi;

// The GIL for one scope, given back however the scope ends, a C++ exception
// included: a lock kept by a thread that left for good blocks every other
// thread (the agent's requests, the watchdog) for ever. `take` false takes
// nothing (no interpreter runs). Needs a bound table when taking.
struct pyapi_gil {
    const bool taken;
    const PyGILState_STATE state;
    explicit pyapi_gil(bool take = true) : taken(take), state(take ? pyapi.PyGILState_Ensure() : 0) {}
    pyapi_gil(const pyapi_gil &) = delete;
    pyapi_gil &operator=(const pyapi_gil &) = delete;
    ~pyapi_gil() {
        if (taken) pyapi.PyGILState_Release(state);
    }
};

// Loads the library at `path` and binds every entry by name. 1 when every
// symbol was bound; 0 otherwise, with the library released and the table and
// handle zero again. Logs through `log` when it is not null.
int pyapi_load(const wchar_t *path, log_fn log);

// The last-error code behind the latest failed pyapi_load (the library's load,
// or the lookups when a symbol was missing), 0 after a success. Kept because
// the thread's own last error is overwritten by the log writes that follow.
unsigned long pyapi_load_error(void);
