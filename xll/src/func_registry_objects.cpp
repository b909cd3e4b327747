// Python objects in cells: a result with no cell value goes into the
// package's object store (tindral_xl.objects) and its cell shows the handle
// text ("<Model #12>"); a handle text given back as an argument arrives as
// the object. The store is Python; this file decides, cheaply and in C, when
// a call needs it at all: a result that converts to a value and an argument
// that is not shaped like a handle never reach it.
#include <cstdio>
#include <cstring>

#include "func_registry_internal.h"
#include "python_runtime.h"

namespace {

constexpr DWORD_XL OBJECTS_FREE_BITS = xlbitXLFree | xlbitDLLFree;

// tindral_xl.objects's `name` (new reference), or null with no error left.
PyObject *objects_attr(const char *name) {
    PyObject *module = pyapi.PyImport_ImportModule("tindral_xl.objects");  // new reference
    PyObject *attr = module ? pyapi.PyObject_GetAttrString(module, name) : nullptr;  // new reference
    if (module) pyapi.Py_DecRef(module);
    if (!attr && pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return attr;
}

// Logs the pending Python error as `what` failed for slot `slot`, and clears it.
void objects_log_error(int slot, const char *what) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;  // new references
    pyapi.PyErr_Fetch(&type, &value, &traceback);
    PyObject *text = value ? pyapi.PyObject_Str(value) : nullptr;  // new reference
    const char *utf8 = text ? pyapi.PyUnicode_AsUTF8(text) : nullptr;
    xll_logf(func_registry.log, 640, "func_registry: %s failed for %s: %s", what, func_registry.slots[slot].name,
             utf8 ? utf8 : "(no message)");
    if (text) pyapi.Py_DecRef(text);
    if (type) pyapi.Py_DecRef(type);
    if (value) pyapi.Py_DecRef(value);
    if (traceback) pyapi.Py_DecRef(traceback);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// Calls tindral_xl.objects.`function` with `args` (a new tuple, stolen here).
// New reference, or null with the reason logged for slot `slot`.
PyObject *objects_call(int slot, const char *function, PyObject *args) {
    PyObject *call = args ? objects_attr(function) : nullptr;                    // new reference
    PyObject *result = call ? pyapi.PyObject_Call(call, args, nullptr) : nullptr;  // new reference
    if (!result) objects_log_error(slot, function);
    if (call) pyapi.Py_DecRef(call);
    if (args) pyapi.Py_DecRef(args);
    return result;
}

// A tuple of the given new references, each stolen here (also on failure);
// null when one is null or the tuple cannot be made.
PyObject *objects_tuple(PyObject **items, int n) {
    bool all = true;
    for (int i = 0; i < n; i++) all = all && items[i];
    PyObject *t = all ? pyapi.PyTuple_New(n) : nullptr;  // new reference
    for (int i = 0; i < n; i++) {
        if (t) pyapi.PyTuple_SetItem(t, i, items[i]);  // steals items[i]
        else if (items[i]) pyapi.Py_DecRef(items[i]);
    }
    if (!t && pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return t;
}

// The calling cell's text as a new str, or None when Excel names no cell.
PyObject *objects_caller(void) {
    char cell[FUNC_CELL_CAP];
    if (!func_registry_caller_text(cell, sizeof cell)) {
        pyapi.Py_IncRef(pyapi._Py_NoneStruct);
        return pyapi._Py_NoneStruct;
    }
    return pyapi.PyUnicode_FromString(cell);  // new reference
}

// Keeps the store's count of objects owned by the cells of slot `slot`'s
// function, from `held` (a Python int, borrowed).
void objects_note_held(int slot, PyObject *held) {
    long n = held ? pyapi.PyLong_AsLong(held) : 0;
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    func_registry.slots[slot].objects_held = n > 0 ? (int)n : 0;
}

}  // namespace

int func_registry_handle_shaped(const XLOPER12 *x) {
    if (!x || (x->xltype & ~OBJECTS_FREE_BITS) != xltypeStr || !x->val.str) return 0;
    const XCHAR *s = x->val.str + 1;
    int n = (uint16_t)x->val.str[0];
    // "<", a name, " #", a number without a leading zero, ">".
    if (n < 5 || s[0] != '<' || s[n - 1] != '>') return 0;
    int at = n - 2;
    while (at > 0 && s[at] >= '0' && s[at] <= '9') at--;
    if (at == n - 2 || s[at + 1] == '0') return 0;
    return at >= 3 && s[at] == '#' && s[at - 1] == ' ';
}

PyObject *func_registry_handle_argument(int slot, int index, const XLOPER12 *x, int *error) {
    *error = 0;
    PyObject *text = func_registry_xloper_to_py(x);  // new reference
    if (!text) return nullptr;
    PyObject *argument = objects_attr("_argument");  // new reference
    PyObject *gone = argument ? objects_attr("_Gone") : nullptr;  // new reference
    if (!gone) {
        // No store in this package: the text is only a text.
        if (argument) pyapi.Py_DecRef(argument);
        return text;
    }
    PyObject *callable = func_registry.slots[slot].callable;
    pyapi.Py_IncRef(callable);
    PyObject *items[4] = {text, callable, pyapi.PyLong_FromLong(index),
                          pyapi.PyUnicode_FromString(func_registry.slots[slot].name)};
    PyObject *args = objects_tuple(items, 4);                                        // new reference
    PyObject *obj = args ? pyapi.PyObject_Call(argument, args, nullptr) : nullptr;  // new reference
    if (!obj) {
        // The store's refusal, or its failure: the message says which.
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;  // new references
        pyapi.PyErr_Fetch(&type, &value, &traceback);
        PyObject *message = value ? pyapi.PyObject_Str(value) : nullptr;  // new reference
        const char *utf8 = message ? pyapi.PyUnicode_AsUTF8(message) : nullptr;
        *error = type == gone ? xlerrRef : xlerrValue;
        xll_logf(func_registry.log, 640, "objects: %s", utf8 ? utf8 : "a handle argument could not be resolved");
        if (message) pyapi.Py_DecRef(message);
        if (type) pyapi.Py_DecRef(type);
        if (value) pyapi.Py_DecRef(value);
        if (traceback) pyapi.Py_DecRef(traceback);
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    }
    if (args) pyapi.Py_DecRef(args);
    pyapi.Py_DecRef(gone);
    pyapi.Py_DecRef(argument);
    return obj;
}

int func_registry_has_cell_value(PyObject *o) {
    if (!o || o == pyapi._Py_NoneStruct) return 1;
    PyObject *type = pyapi_type_of(o);
    if (type == pyapi.PyFloat_Type || type == pyapi.PyUnicode_Type || type == pyapi.PyLong_Type ||
        type == pyapi.PyBool_Type || type == pyapi.PyList_Type || type == pyapi.PyTuple_Type)
        return 1;
    // A subclass of those keeps the conversion it always had (its repr, or
    // its elements): it is a value to its author, not an object to keep.
    PyObject *values[] = {pyapi.PyFloat_Type, pyapi.PyLong_Type, pyapi.PyUnicode_Type, pyapi.PyList_Type,
                          pyapi.PyTuple_Type};
    for (PyObject *v : values)
        if (pyapi.PyType_IsSubtype(type, v)) return 1;
    return func_registry_is_date(type);
}

int func_registry_object_result(int slot, PyObject *o, XLOPER12 *out) {
    PyObject *items[3] = {o, objects_caller(), pyapi.PyUnicode_FromString(func_registry.slots[slot].name)};
    pyapi.Py_IncRef(o);
    PyObject *answer = objects_call(slot, "_put_from_cell", objects_tuple(items, 3));  // new reference
    PyObject *handle = answer ? pyapi.PyTuple_GetItem(answer, 0) : nullptr;          // borrowed
    int ok = handle ? func_registry_py_to_xloper(handle, out) : 0;
    if (answer) objects_note_held(slot, pyapi.PyTuple_GetItem(answer, 1));
    if (answer) pyapi.Py_DecRef(answer);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (!ok) {
        memset(out, 0, sizeof *out);
        out->xltype = xltypeErr;
        out->val.err = xlerrValue;
    }
    return ok;
}

void func_registry_object_release_cell(int slot) {
    PyObject *cell = objects_caller();  // new reference
    if (cell == pyapi._Py_NoneStruct) {
        pyapi.Py_DecRef(cell);
        return;
    }
    PyObject *items[2] = {cell, pyapi.PyUnicode_FromString(func_registry.slots[slot].name)};
    PyObject *held = objects_call(slot, "_release_cell", objects_tuple(items, 2));  // new reference
    if (held) {
        objects_note_held(slot, held);
        pyapi.Py_DecRef(held);
    }
}

void func_registry_release_objects(void) {
    if (!python_runtime_ready()) return;
    pyapi_gil gil(true);
    for (int i = 0; i < func_registry.slot_count; i++) func_registry.slots[i].objects_held = 0;
    // Only a package that made or took objects has the store loaded: with
    // none, the close imports nothing.
    PyObject *modules = pyapi.PySys_GetObject("modules");                // borrowed
    PyObject *key = modules ? pyapi.PyUnicode_FromString("tindral_xl.objects") : nullptr;  // new reference
    PyObject *loaded = key ? pyapi.PyDict_GetItem(modules, key) : nullptr;  // borrowed
    if (key) pyapi.Py_DecRef(key);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (!loaded) return;
    PyObject *call = objects_attr("_release_all");                                  // new reference
    PyObject *empty = call ? pyapi.PyTuple_New(0) : nullptr;                        // new reference
    PyObject *count = empty ? pyapi.PyObject_Call(call, empty, nullptr) : nullptr;  // new reference
    if (count) {
        long n = pyapi.PyLong_AsLong(count);
        if (n > 0) xll_logf(func_registry.log, 128, "func_registry: %ld object(s) released at close", n);
    } else {
        xll_logf(func_registry.log, 128, "func_registry: the object store could not release its objects at close");
    }
    if (count) pyapi.Py_DecRef(count);
    if (empty) pyapi.Py_DecRef(empty);
    if (call) pyapi.Py_DecRef(call);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}
