// The package's side of the queue: tindral_xl._native.excel_submit,
// excel_wait and excel_cancel, called by tindral_xl.excel on the agent's
// thread with the GIL held. Values cross between Python and the job records
// here, on that thread; the main thread only ever sees the C records.
//
// Every answer is a plain value the package turns into its exceptions:
// excel_submit gives a job id or (kind, message); excel_wait gives None while
// the job waits, then ("ok", value) or (kind, message), kind being
// "ValueError" (the input; nothing changed) or "RuntimeError".
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "excel_jobs.h"
#include "func_registry_internal.h"
#include "pyapi.h"
#include "text_utf16.h"
#include "xll_log.h"

namespace {

// The longest slice one excel_wait call blocks: the package loops, so that an
// interrupt or a time limit raised in its thread is seen between slices.
constexpr long NATIVE_WAIT_MAX_MS = 1000;

PyObject *native_none(void) {
    pyapi.Py_IncRef(pyapi._Py_NoneStruct);
    return pyapi._Py_NoneStruct;
}

// (kind, message) as a new tuple; null when Python could not make it.
PyObject *native_answer(const char *kind, PyObject *value) {
    PyObject *t = pyapi.PyTuple_New(2);  // new reference
    PyObject *k = pyapi.PyUnicode_FromString(kind);
    if (!t || !k || !value) {
        if (t) pyapi.Py_DecRef(t);
        if (k) pyapi.Py_DecRef(k);
        if (value) pyapi.Py_DecRef(value);
        return nullptr;
    }
    pyapi.PyTuple_SetItem(t, 0, k);      // stolen
    pyapi.PyTuple_SetItem(t, 1, value);  // stolen
    return t;
}

PyObject *native_error(const char *kind, const char *message) {
    return native_answer(kind, pyapi.PyUnicode_FromString(message));
}

// A str as counted UTF-16 text of at most `cap` units: into `fixed` (room
// for cap units, the count and a terminator) or, when `fixed` is null, into
// a buffer of its own size (malloc). Null when it is no str, does not fit or
// memory ran out.
XCHAR *native_utf16(PyObject *s, int cap, XCHAR *fixed) {
    if (!s || pyapi_type_of(s) != pyapi.PyUnicode_Type) return nullptr;
    Py_ssize_t n = 0;
    wchar_t *wide = pyapi.PyUnicode_AsWideCharString(s, &n);  // PyMem_Free it
    if (!wide) {
        pyapi.PyErr_Clear();
        return nullptr;
    }
    // UTF-16 units the whole text needs: a character beyond the BMP takes
    // two (one wchar_t on Linux, already two on Windows).
    size_t need = (size_t)n;
#ifndef _WIN32
    for (Py_ssize_t i = 0; i < n; i++) need += (unsigned long)wide[i] > 0xFFFF ? 1 : 0;
#endif
    XCHAR *out = nullptr;
    if (need <= (size_t)cap) out = fixed ? fixed : (XCHAR *)malloc((need + 2) * sizeof(XCHAR));
    if (out) {
        int units = text_utf16_from_wide(wide, (size_t)n, out + 1, (int)need);
        out[0] = (XCHAR)units;
        out[units + 1] = 0;
    }
    pyapi.PyMem_Free(wide);
    return out;
}

// One Python value into a cell record the job owns. 0 with `why` set when
// the value cannot go into a cell.
int native_cell(PyObject *o, PyObject *error_type, XLOPER12 *x, const char **why) {
    memset(x, 0, sizeof *x);
    PyObject *type = o ? pyapi_type_of(o) : nullptr;
    if (!o || o == pyapi._Py_NoneStruct) {
        x->xltype = xltypeNil;
        return 1;
    }
    if (type == pyapi.PyBool_Type) {
        x->xltype = xltypeBool;
        x->val.xbool = o == pyapi._Py_TrueStruct;
        return 1;
    }
    if (type == pyapi.PyFloat_Type || type == pyapi.PyLong_Type) {
        double d = pyapi.PyFloat_AsDouble(o);
        if (d == -1.0 && pyapi.PyErr_Occurred()) {
            pyapi.PyErr_Clear();
            *why = "a number too large for a cell";
            return 0;
        }
        // Excel holds no NaN or infinity: the cell shows #NUM! as a
        // worksheet function's would.
        if (std::isnan(d) || std::isinf(d)) {
            x->xltype = xltypeErr;
            x->val.err = xlerrNum;
            return 1;
        }
        x->xltype = xltypeNum;
        x->val.num = d;
        return 1;
    }
    if (type == pyapi.PyUnicode_Type) {
        XCHAR *t = native_utf16(o, FUNC_TEXT_MAX_UNITS, nullptr);
        if (!t) {
            *why = "a text longer than a cell holds (32,767 characters)";
            return 0;
        }
        x->xltype = xltypeStr;
        x->val.str = t;
        return 1;
    }
    if (error_type && type == error_type) {
        PyObject *code = pyapi.PyObject_GetAttrString(o, "code");  // new reference
        long v = code ? pyapi.PyLong_AsLong(code) : -1;
        if (code) pyapi.Py_DecRef(code);
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
        if (v < 0 || v > 0xFFFF) {
            *why = "an XLError without a valid code";
            return 0;
        }
        x->xltype = xltypeErr;
        x->val.err = (int32_t)v;
        return 1;
    }
    *why = "a value that is not None, bool, int, float, str or XLError";
    return 0;
}

// WRITE's payload (values, rows, cols, XLError type): values is a list of
// rows * cols cells, row by row. Null when it is taken; otherwise the
// (kind, message) answer.
PyObject *native_take_block(excel_jobs_cells *c, PyObject *payload) {
    if (!payload || pyapi_type_of(payload) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(payload) != 4)
        return native_error("ValueError", "write takes (values, rows, cols, XLError)");
    PyObject *list = pyapi.PyTuple_GetItem(payload, 0);        // borrowed
    long rows = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(payload, 1));
    long cols = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(payload, 2));
    PyObject *error_type = pyapi.PyTuple_GetItem(payload, 3);  // borrowed
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (!list || pyapi_type_of(list) != pyapi.PyList_Type || rows < 1 || cols < 1)
        return native_error("ValueError", "write takes at least one row of at least one value");
    if (rows > EXCEL_JOBS_GRID_ROWS || cols > EXCEL_JOBS_GRID_COLS || (long long)rows * cols > EXCEL_JOBS_MAX_CELLS)
        return native_error("ValueError", "more than the 1,000,000 cells one request may write");
    if (pyapi.PyList_Size(list) != rows * cols) return native_error("ValueError", "values do not fill rows x cols");
    c->values = (XLOPER12 *)calloc((size_t)(rows * cols), sizeof(XLOPER12));
    if (!c->values) return native_error("RuntimeError", "out of memory");
    c->rows = rows;
    c->cols = cols;
    for (long i = 0; i < rows * cols; i++) {
        const char *why = nullptr;
        if (!native_cell(pyapi.PyList_GetItem(list, i), error_type, &c->values[i], &why)) {
            char message[160];
            snprintf(message, sizeof message, "row %ld, column %ld holds %s", i / cols + 1, i % cols + 1, why);
            return native_error("ValueError", message);
        }
    }
    return nullptr;
}

// excel_submit((op, ref, payload)) -> id | (kind, message).
PyObject *native_excel_submit(PyObject *, PyObject *arg) {
    if (!arg || pyapi_type_of(arg) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(arg) != 3)
        return native_error("ValueError", "excel_submit takes (op, ref, payload)");
    long op = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(arg, 0));
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (op < EXCEL_JOBS_READ || op >= EXCEL_JOBS_OP_END) return native_error("ValueError", "unknown request");
    excel_jobs_cells *c = excel_jobs_cells_new((int)op);
    if (!c) return native_error("RuntimeError", "out of memory");
    PyObject *refused = nullptr;
    PyObject *ref = pyapi.PyTuple_GetItem(arg, 1);  // borrowed
    if (op == EXCEL_JOBS_READ || op == EXCEL_JOBS_WRITE || op == EXCEL_JOBS_FORMULA) {
        if (!native_utf16(ref, EXCEL_JOBS_REF_UNITS, c->ref) || c->ref[0] == 0)
            refused = native_error("ValueError", "a reference is a text of 1 to 1,024 characters");
    }
    PyObject *payload = pyapi.PyTuple_GetItem(arg, 2);  // borrowed
    if (!refused && op == EXCEL_JOBS_WRITE) refused = native_take_block(c, payload);
    if (!refused && op == EXCEL_JOBS_FORMULA) {
        c->text = native_utf16(payload, EXCEL_JOBS_FORMULA_UNITS, nullptr);
        if (!c->text || !c->text[0])
            refused = native_error("ValueError", "a formula is a text of 1 to 8,192 characters");
    }
    if (refused) {
        excel_jobs_cells_free(c);
        return refused;
    }
    excel_jobs_task task = {excel_jobs_cells_run, excel_jobs_cells_free, c};
    long id = excel_jobs_submit(&task);
    if (id < 1) {
        excel_jobs_cells_free(c);
        return native_error("RuntimeError", excel_jobs_refusal_text(id));
    }
    return pyapi.PyLong_FromLong(id);
}

// One cell for Python: errors as the package's XLError values (`errors`
// lists one per code), everything else as a worksheet argument arrives.
PyObject *native_value(const XLOPER12 *x, PyObject *errors) {
    if ((x->xltype & 0x0FFF) == xltypeErr) {
        Py_ssize_t n = pyapi.PyList_Size(errors);
        long code = x->val.err;
        PyObject *e = code >= 0 && code < n ? pyapi.PyList_GetItem(errors, code) : nullptr;  // borrowed
        if (!e) {
            if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
            e = n > 0 ? pyapi.PyList_GetItem(errors, n - 1) : pyapi._Py_NoneStruct;
        }
        pyapi.Py_IncRef(e);
        return e;
    }
    // The conversion shares one text buffer: the GIL held here keeps the
    // slot call path out of it.
    return func_registry_xloper_to_py(x);
}

// The rows of a finished READ as a list of lists (new reference), or null.
PyObject *native_rows(const excel_jobs_cells *c, PyObject *errors) {
    PyObject *rows = pyapi.PyList_New(c->rows);  // new reference
    if (!rows) return nullptr;
    for (long r = 0; r < c->rows; r++) {
        PyObject *row = pyapi.PyList_New(c->cols);  // new reference
        if (!row) {
            pyapi.Py_DecRef(rows);
            return nullptr;
        }
        pyapi.PyList_SetItem(rows, r, row);  // stolen; `row` stays usable while `rows` lives
        for (long k = 0; k < c->cols; k++) {
            PyObject *v = native_value(&c->values[r * c->cols + k], errors);
            if (!v) {
                pyapi.Py_DecRef(rows);
                return nullptr;
            }
            pyapi.PyList_SetItem(row, k, v);  // stolen
        }
    }
    return rows;
}

// What a finished job answers: ("ok", value) or (kind, message).
PyObject *native_outcome(const excel_jobs_cells *c, PyObject *errors) {
    if (c->status == EXCEL_JOBS_BAD_INPUT) return native_error("ValueError", c->message);
    if (c->status != EXCEL_JOBS_DONE) return native_error("RuntimeError", c->message);
    switch (c->op) {
    case EXCEL_JOBS_READ: return native_answer("ok", native_rows(c, errors));
    case EXCEL_JOBS_WRITE:
    case EXCEL_JOBS_FORMULA: return native_answer("ok", pyapi.PyLong_FromLong(c->changed));
    case EXCEL_JOBS_SHEETS: {
        PyObject *names = pyapi.PyList_New(c->cols);  // new reference
        for (long k = 0; names && k < c->cols; k++) {
            PyObject *v = func_registry_xloper_to_py(&c->values[k]);
            if (!v) {
                pyapi.Py_DecRef(names);
                return nullptr;
            }
            pyapi.PyList_SetItem(names, k, v);  // stolen
        }
        return native_answer("ok", names);
    }
    case EXCEL_JOBS_SELECTION: return native_answer("ok", func_registry_xloper_to_py(&c->values[0]));
    default: return native_answer("ok", native_none());
    }
}

// excel_wait((id, ms, errors)) -> None while waiting | ("ok", value) | (kind, message).
PyObject *native_excel_wait(PyObject *, PyObject *arg) {
    if (!arg || pyapi_type_of(arg) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(arg) != 3)
        return native_error("ValueError", "excel_wait takes (id, ms, errors)");
    long id = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(arg, 0));
    long ms = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(arg, 1));
    PyObject *errors = pyapi.PyTuple_GetItem(arg, 2);  // borrowed
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (!errors || pyapi_type_of(errors) != pyapi.PyList_Type)
        return native_error("ValueError", "excel_wait takes a list of error values");
    if (ms < 0) ms = 0;
    if (ms > NATIVE_WAIT_MAX_MS) ms = NATIVE_WAIT_MAX_MS;
    void *context = nullptr;
    // Excel's main thread may need the GIL meanwhile (a slot call, the tick's
    // registrations): never wait on it while holding it.
    PyThreadState *state = pyapi.PyEval_SaveThread();
    int seen = excel_jobs_wait(id, (unsigned)ms, &context);
    pyapi.PyEval_RestoreThread(state);
    if (seen == EXCEL_JOBS_PENDING) return native_none();
    if (seen == EXCEL_JOBS_UNKNOWN) return native_error("RuntimeError", "no such request: answered or given up already");
    excel_jobs_cells *c = (excel_jobs_cells *)context;
    PyObject *answer =
        seen == EXCEL_JOBS_CLOSED
            ? native_error("RuntimeError", "the add-in closed before Excel ran the request; nothing was changed")
            : native_outcome(c, errors);
    excel_jobs_cells_free(c);
    return answer;
}

// excel_cancel(id) -> True when the job had started (it may take effect).
PyObject *native_excel_cancel(PyObject *, PyObject *arg) {
    long id = pyapi.PyLong_AsLong(arg);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return pyapi.PyBool_FromLong(excel_jobs_cancel(id));
}

// Live as long as the process: the function objects point at them.
PyMethodDef native_excel_methods[] = {
    {"excel_submit", native_excel_submit, PYAPI_METH_O,
     "Queues a request for Excel's main thread: (op, ref, payload) -> id or (kind, message)."},
    {"excel_wait", native_excel_wait, PYAPI_METH_O,
     "Waits up to ms without the GIL: (id, ms, errors) -> None, ('ok', value) or (kind, message)."},
    {"excel_cancel", native_excel_cancel, PYAPI_METH_O, "Gives up on a request; True when it had started."},
};

}  // namespace

int excel_jobs_install_native(PyObject *native) {
    int ok = 1;
    for (PyMethodDef &def : native_excel_methods) {
        PyObject *fn = pyapi.PyCFunction_NewEx(&def, nullptr, nullptr);  // new reference
        if (!fn || pyapi.PyObject_SetAttrString(native, def.ml_name, fn) != 0) ok = 0;
        if (fn) pyapi.Py_DecRef(fn);
    }
    if (!ok) {
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
        xll_log("excel_jobs: cannot install the cell functions into tindral_xl._native");
    }
    return ok;
}
