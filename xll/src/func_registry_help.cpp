// Function-wizard texts of a slot: the package reads them from the function
// (tindral_xl._wizard.texts) when the slot is registered, not when the
// function's module is imported.
#include <cstring>

#include "func_registry_internal.h"

namespace {

// Copies UTF-8 `s` into `out` (FUNC_NAME_CAP bytes), cut at a character
// boundary: 765 bytes hold any text of 255 UTF-16 units, and Excel's limit
// itself is applied when the text is widened for xlfRegister.
void help_copy(const char *s, char *out) {
    size_t n = strlen(s);
    if (n > (size_t)FUNC_NAME_CAP - 1) {
        n = (size_t)FUNC_NAME_CAP - 1;
        while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80) n--;
    }
    memcpy(out, s, n);
    out[n] = 0;
}

// 1 when `answer` is a tuple of 3 + arity str items, copied into `help`.
int help_take(PyObject *answer, int arity, func_help *help) {
    if (pyapi_type_of(answer) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(answer) != 3 + arity) return 0;
    for (int i = 0; i < 3 + arity; i++) {
        PyObject *item = pyapi.PyTuple_GetItem(answer, i);  // borrowed
        if (!item || pyapi_type_of(item) != pyapi.PyUnicode_Type) return 0;
        const char *utf8 = pyapi.PyUnicode_AsUTF8(item);  // owned by item
        if (!utf8) return 0;
        help_copy(utf8, help->text[i]);
    }
    help->count = 3 + arity;
    return 1;
}

}  // namespace

int func_registry_help_read(const char *name, PyObject *function, int arity, func_help *help) {
    help->count = 0;
    if (arity < 0 || arity > FUNC_MAX_ARGS || !function) return 0;
    PyObject *module = pyapi.PyImport_ImportModule("tindral_xl._wizard");  // new reference
    if (!module) {
        // A package without wizard texts: Excel shows its defaults.
        pyapi.PyErr_Clear();
        return 0;
    }
    PyObject *texts = pyapi.PyObject_GetAttrString(module, "texts");  // new reference
    PyObject *call_name = texts ? pyapi.PyUnicode_FromString(name) : nullptr;  // new reference
    PyObject *count = call_name ? pyapi.PyLong_FromLong(arity) : nullptr;     // new reference
    PyObject *args = nullptr;
    if (count) {
        args = pyapi.PyTuple_New(3);  // new reference
        if (args) {
            pyapi.Py_IncRef(function);
            pyapi.PyTuple_SetItem(args, 0, call_name);  // stolen here
            pyapi.PyTuple_SetItem(args, 1, function);   // stolen here
            pyapi.PyTuple_SetItem(args, 2, count);      // stolen here
            call_name = count = nullptr;
        }
    }
    PyObject *answer = args ? pyapi.PyObject_Call(texts, args, nullptr) : nullptr;  // new reference
    int ok = answer && help_take(answer, arity, help);
    if (!ok) {
        help->count = 0;
        xll_logf(func_registry.log, 1024,
                 "func_registry: no function-wizard texts for %s (the package's texts() failed); registered without them",
                 name);
    }
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (answer) pyapi.Py_DecRef(answer);
    if (args) pyapi.Py_DecRef(args);
    if (count) pyapi.Py_DecRef(count);
    if (call_name) pyapi.Py_DecRef(call_name);
    if (texts) pyapi.Py_DecRef(texts);
    pyapi.Py_DecRef(module);
    return ok;
}
