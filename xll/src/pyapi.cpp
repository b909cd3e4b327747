#include "pyapi.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

pyapi_table pyapi;

namespace {

struct pyapi_state {
    unsigned long load_error;  // last-error code of the latest failed load; 0 after a success
};
pyapi_state pyapi_status;

// One binding: the exported name and the entry it fills. The name is the
// field's own spelling, so a table row can never bind the wrong entry.
struct pyapi_binding {
    const char *name;    // exported symbol name
    std::size_t offset;  // offset of the entry in pyapi_table
};

#define PYAPI_BIND(field) pyapi_binding{#field, offsetof(pyapi_table, field)}

// Binding order is the table's order; the check below holds the two together.
constexpr std::array<pyapi_binding, PYAPI_ENTRY_COUNT> pyapi_bindings = {{
    PYAPI_BIND(Py_IsInitialized),
    PYAPI_BIND(Py_InitializeFromConfig),
    PYAPI_BIND(PyConfig_InitPythonConfig),
    PYAPI_BIND(PyConfig_Clear),
    PYAPI_BIND(PyConfig_SetString),
    PYAPI_BIND(PyWideStringList_Append),
    PYAPI_BIND(PyStatus_Exception),
    PYAPI_BIND(Py_DecRef),
    PYAPI_BIND(Py_IncRef),
    PYAPI_BIND(PyGILState_Ensure),
    PYAPI_BIND(PyGILState_Release),
    PYAPI_BIND(PyEval_SaveThread),
    PYAPI_BIND(PyImport_ImportModule),
    PYAPI_BIND(PyImport_AddModule),
    PYAPI_BIND(PyImport_ReloadModule),
    PYAPI_BIND(PyObject_Call),
    PYAPI_BIND(PyObject_CallMethod),
    PYAPI_BIND(PyObject_GetAttrString),
    PYAPI_BIND(PyObject_SetAttrString),
    PYAPI_BIND(PyObject_Repr),
    PYAPI_BIND(PyObject_Str),
    PYAPI_BIND(PyRun_SimpleString),
    PYAPI_BIND(PySys_GetObject),
    PYAPI_BIND(PyList_Append),
    PYAPI_BIND(PyList_Insert),
    PYAPI_BIND(PyList_Size),
    PYAPI_BIND(PyList_GetItem),
    PYAPI_BIND(PyTuple_New),
    PYAPI_BIND(PyTuple_SetItem),
    PYAPI_BIND(PyTuple_GetItem),
    PYAPI_BIND(PyTuple_Size),
    PYAPI_BIND(PyDict_GetItem),
    PYAPI_BIND(PyDict_SetItemString),
    PYAPI_BIND(PyModule_GetDict),
    PYAPI_BIND(PyUnicode_FromString),
    PYAPI_BIND(PyUnicode_FromWideChar),
    PYAPI_BIND(PyUnicode_AsUTF8),
    PYAPI_BIND(PyUnicode_AsWideCharString),
    PYAPI_BIND(PyFloat_FromDouble),
    PYAPI_BIND(PyFloat_AsDouble),
    PYAPI_BIND(PyLong_FromLong),
    PYAPI_BIND(PyLong_AsLong),
    PYAPI_BIND(PyBool_FromLong),
    PYAPI_BIND(PyMem_Free),
    PYAPI_BIND(PyErr_Print),
    PYAPI_BIND(PyErr_Occurred),
    PYAPI_BIND(PyErr_Clear),
    PYAPI_BIND(PyErr_Fetch),
    PYAPI_BIND(PyErr_NormalizeException),
    PYAPI_BIND(_Py_NoneStruct),
    PYAPI_BIND(_Py_TrueStruct),
    PYAPI_BIND(_Py_FalseStruct),
    PYAPI_BIND(PyBool_Type),
    PYAPI_BIND(PyFloat_Type),
    PYAPI_BIND(PyLong_Type),
    PYAPI_BIND(PyUnicode_Type),
    PYAPI_BIND(PyTuple_Type),
    PYAPI_BIND(PyList_Type),
    // Arrays and dates.
    PYAPI_BIND(PyList_New),
    PYAPI_BIND(PyList_SetItem),
    PYAPI_BIND(PyType_IsSubtype),
    PYAPI_BIND(PyGC_Disable),
    PYAPI_BIND(PyGC_Enable),
    // time-limited requests
    PYAPI_BIND(PyThread_get_thread_ident),
    PYAPI_BIND(PyThreadState_SetAsyncExc),
    // Live reload.
    PYAPI_BIND(PyCFunction_NewEx),
    PYAPI_BIND(PyDict_New),
    // Cell access.
    PYAPI_BIND(PyEval_RestoreThread),
    // Worksheet calls.
    PYAPI_BIND(PyObject_Vectorcall),
    // Text arguments.
    PYAPI_BIND(PyUnicode_DecodeUTF16),
    // Typed worksheet functions.
    PYAPI_BIND(PyByteArray_FromStringAndSize),
    PYAPI_BIND(PyByteArray_AsString),
    PYAPI_BIND(PyMemoryView_FromObject),
    PYAPI_BIND(PyObject_GetBuffer),
    PYAPI_BIND(PyBuffer_Release),
    PYAPI_BIND(PyLong_FromDouble),
    // Agent requests read by the add-in.
    PYAPI_BIND(PyUnicode_DecodeUTF8),
    PYAPI_BIND(PyLong_FromString),
    PYAPI_BIND(PyOS_string_to_double),
    PYAPI_BIND(PyDict_SetItem),
    PYAPI_BIND(PyUnicode_New),
}};

#undef PYAPI_BIND

constexpr bool pyapi_bindings_in_table_order() {
    for (std::size_t i = 0; i < pyapi_bindings.size(); i++)
        if (pyapi_bindings[i].offset != i * sizeof(void *)) return false;
    return true;
}
static_assert(pyapi_bindings_in_table_order(), "pyapi: bindings must follow the table's field order");
static_assert(offsetof(pyapi_table, handle) == PYAPI_ENTRY_COUNT * sizeof(void *),
              "pyapi: the handle follows the entries");

}  // namespace

int pyapi_load(const wchar_t *path, log_fn log) {
    plat_module handle = plat.library_load(path);
    if (!handle) {
        char ansi[PLAT_MAX_PATH];
        plat.wide_to_ansi(path, -1, ansi, sizeof ansi);
        pyapi_status.load_error = plat.last_error();  // after the conversion, as logged
        xll_logf(log, 512, "pyapi: LoadLibrary failed for %s (error %lu)", ansi, pyapi_status.load_error);
        return 0;
    }
    pyapi.handle = handle;

    // Every lookup is made, so each missing name gets its own line.
    int missing = 0;
    unsigned char *table = reinterpret_cast<unsigned char *>(&pyapi);
    for (const pyapi_binding &b : pyapi_bindings) {
        void *address = plat.library_symbol(handle, b.name);
        std::memcpy(table + b.offset, &address, sizeof address);
        if (address) continue;
        if (missing++ == 0) pyapi_status.load_error = plat.last_error();
        xll_logf(log, 256, "pyapi: GetProcAddress failed for %s", b.name);
    }

    if (missing == 0) {
        pyapi_status.load_error = 0;
        if (log) log("pyapi: all symbols loaded");
        return 1;
    }
    xll_logf(log, 128, "pyapi: %d symbol(s) failed to load \xE2\x80\x94 Python will not work", missing);
    plat.library_free(handle);
    pyapi = pyapi_table{};
    return 0;
}

unsigned long pyapi_load_error(void) { return pyapi_status.load_error; }
