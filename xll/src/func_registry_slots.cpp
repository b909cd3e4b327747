// The slot call path: the 64 entry points, their common body, the value
// conversions between XLOPER12 and Python, and xlAutoFree12.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "excel_gateway.h"
#include "func_registry_internal.h"
#include "http_server.h"
#include "python_runtime.h"
#include "text_utf16.h"
#include "xll_export.h"

namespace {

constexpr DWORD_XL XL_FREE_BITS = xlbitXLFree | xlbitDLLFree;

// Where wchar_t has 16 bits, Excel's UTF-16 text is already wide text.
constexpr bool SLOT_WIDE_IS_UTF16 = sizeof(wchar_t) == 2;

PyObject *py_none(void) {
    pyapi.Py_IncRef(pyapi._Py_NoneStruct);
    return pyapi._Py_NoneStruct;
}

void xloper_set_error(XLOPER12 *x, int32_t err) {
    memset(x, 0, sizeof *x);
    x->xltype = xltypeErr;
    x->val.err = err;
}

// Python 3.12's str as its headers publish it (PyASCIIObject and
// PyCompactUnicodeObject, what PyUnicode_KIND and PyUnicode_DATA read): the
// length in the third word, the state bits after the hash (kind in bits 2-4,
// compact bit 5, ascii bit 6), the characters right after the header, 40
// bytes for an ASCII str and 56 for any other compact one. Read in place, a
// result's text costs one pass and no copy made by Python.
static_assert(sizeof(void *) == 8, "the str layout below is the 64-bit one");
constexpr size_t STR_LENGTH_AT = 16;
constexpr size_t STR_STATE_AT = 32;
constexpr size_t STR_ASCII_DATA_AT = 40;
constexpr size_t STR_COMPACT_DATA_AT = 56;

// The characters of `s` as stored: 1, 2 or 4 bytes each. False for a str not
// stored compact (only a subclass's instances are so), which the caller
// converts through the C API instead.
bool text_storage(PyObject *s, const unsigned char **data, size_t *length, int *kind) {
    const unsigned char *base = reinterpret_cast<const unsigned char *>(s);
    uint32_t state;
    memcpy(&state, base + STR_STATE_AT, sizeof state);
    if (!((state >> 5) & 1)) return false;
    Py_ssize_t n;
    memcpy(&n, base + STR_LENGTH_AT, sizeof n);
    *kind = (int)((state >> 2) & 7);
    *length = (size_t)n;
    *data = base + (((state >> 6) & 1) ? STR_ASCII_DATA_AT : STR_COMPACT_DATA_AT);
    return *kind == 1 || *kind == 2 || *kind == 4;
}

constexpr bool text_high_half(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool text_low_half(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The stored characters as UTF-16 into out, at most `cap` units, never
// splitting a pair: neither one a character beyond U+FFFF becomes, nor two
// surrogates the str holds side by side (which Excel reads as one
// character). A lone surrogate travels as itself. Returns the units written.
int text_units_of_storage(const unsigned char *data, size_t length, int kind, XCHAR *out, int cap) {
    size_t most = length < (size_t)cap ? length : (size_t)cap;
    if (kind == 1) {
        for (size_t i = 0; i < most; i++) out[i] = data[i];
        return (int)most;
    }
    if (kind == 2) {
        const uint16_t *units = reinterpret_cast<const uint16_t *>(data);
        if (most < length && most > 0 && text_high_half(units[most - 1]) && text_low_half(units[most])) most--;
        memcpy(out, units, most * sizeof(XCHAR));
        return (int)most;
    }
    const uint32_t *chars = reinterpret_cast<const uint32_t *>(data);
    int n = 0;
    for (size_t i = 0; i < length; i++) {
        uint32_t c = chars[i];
        if (c > 0xFFFF) {
            if (n + 2 > cap) break;
            c -= 0x10000;
            out[n++] = (XCHAR)(0xD800 + (c >> 10));
            out[n++] = (XCHAR)(0xDC00 + (c & 0x3FF));
            continue;
        }
        if (n + 1 > cap) break;
        if (text_high_half(c) && n + 2 > cap && i + 1 < length && text_low_half(chars[i + 1])) break;
        out[n++] = (XCHAR)c;
    }
    return n;
}

// The old way, through the C API: for a str not stored compact.
int text_units_by_api(PyObject *s, XCHAR **buf) {
    Py_ssize_t n = 0;
    wchar_t *wide = pyapi.PyUnicode_AsWideCharString(s, &n);  // PyMem_Free it
    if (!wide) return -1;
    size_t most = (size_t)n * (sizeof(wchar_t) / sizeof(XCHAR));
    if (most > (size_t)FUNC_TEXT_MAX_UNITS) most = FUNC_TEXT_MAX_UNITS;
    *buf = (XCHAR *)malloc((most + 2) * sizeof(XCHAR));
    int units = *buf ? text_utf16_from_wide(wide, (size_t)n, *buf + 1, (int)most) : 0;
    // Released here, with the GIL still held: Python's allocator needs it.
    pyapi.PyMem_Free(wide);
    return units;
}

// A str as an owned counted text (xltypeStr | xlbitDLLFree). 1 on success;
// 0 with `out` at #VALUE! otherwise, the Python error (if any) left set.
int text_result(PyObject *s, XLOPER12 *out) {
    const unsigned char *data;
    size_t length;
    int kind;
    XCHAR *buf = nullptr;
    int units;
    if (text_storage(s, &data, &length, &kind)) {
        // Room for the count, the characters cut to Excel's limit and a zero.
        size_t most = length * (kind == 4 ? 2 : 1);
        if (most > (size_t)FUNC_TEXT_MAX_UNITS) most = FUNC_TEXT_MAX_UNITS;
        buf = (XCHAR *)malloc((most + 2) * sizeof(XCHAR));
        units = buf ? text_units_of_storage(data, length, kind, buf + 1, (int)most) : 0;
    } else {
        units = text_units_by_api(s, &buf);
    }
    if (units < 0 || !buf) {
        xloper_set_error(out, xlerrValue);
        return 0;
    }
    buf[0] = (XCHAR)units;
    buf[units + 1] = 0;
    memset(out, 0, sizeof *out);
    out->xltype = xltypeStr | xlbitDLLFree;
    out->val.str = buf;
    return 1;
}

constexpr int SLOT_CELL_CAP = FUNC_CELL_CAP;

// "$B$3" for row 2, column 1 (both from 0), cut to `cap`.
void slot_cell_a1(long row, long col, char *out, size_t cap) {
    char letters[8];
    int n = 0;
    for (long c = col + 1; c > 0 && n < 7; c = (c - 1) / 26) letters[n++] = (char)('A' + (c - 1) % 26);
    char column[8];
    for (int i = 0; i < n; i++) column[i] = letters[n - 1 - i];
    column[n] = 0;
    snprintf(out, cap, "$%s$%ld", column, row + 1);
}

// The cells `ref` names (an xltypeRef or xltypeSRef; the first area of
// several) as "[Book1]Sheet1!$B$3", or "...!$B$3:$C$4" for a range, in
// `out`. 0 when `ref` is no reference.
int slot_reference_text(const XLOPER12 *ref, char *out, size_t cap) {
    const XLREF12 *area = nullptr;
    DWORD_XL type = ref->xltype & ~XL_FREE_BITS;
    if (type == xltypeRef && ref->val.mref.lpmref && ref->val.mref.lpmref->count >= 1)
        area = &ref->val.mref.lpmref->reftbl[0];
    else if (type == xltypeSRef)
        area = &ref->val.sref.ref;
    if (!area) return 0;
    // The sheet's name: xlSheetNm, like xlfCaller, may be called from a
    // worksheet function (xlfReftext may not). For an xltypeSRef it answers
    // the current sheet, the one being computed.
    char sheet[SLOT_CELL_CAP / 2] = "";
    XLOPER12 name;
    memset(&name, 0, sizeof name);
    if (Excel12(xlSheetNm, &name, 1, const_cast<XLOPER12 *>(ref)) == xlretSuccess) {
        if ((name.xltype & ~XL_FREE_BITS) == xltypeStr && name.val.str) {
            size_t units = (uint16_t)name.val.str[0], at = 0;
            int used = 0, replaced = 0;
            while (at < units && used + 4 < (int)sizeof sheet) {
                unsigned long c = text_utf16_next(name.val.str + 1, units, &at);
                used += text_utf16_put_utf8(c, sheet + used, &replaced);
            }
            sheet[used] = 0;
        }
        Excel12(xlFree, nullptr, 1, &name);
    }
    char first[32], last[32];
    slot_cell_a1(area->rwFirst, area->colFirst, first, sizeof first);
    slot_cell_a1(area->rwLast, area->colLast, last, sizeof last);
    bool single = area->rwFirst == area->rwLast && area->colFirst == area->colLast;
    snprintf(out, cap, single ? "%s!%s" : "%s!%s:%s", sheet, first, last);
    return 1;
}

// The cell Excel is computing, as slot_reference_text writes it (a range
// for an array formula). 0 when Excel names none: a call that does not come
// from a cell answers #REF! (or an id, or text), which records nothing.
int slot_caller_text(char *out, size_t cap) {
    XLOPER12 caller;
    memset(&caller, 0, sizeof caller);
    if (Excel12(xlfCaller, &caller, 0) != xlretSuccess) return 0;
    int ok = slot_reference_text(&caller, out, cap);
    Excel12(xlFree, nullptr, 1, &caller);
    return ok;
}

// Calls tindral_xl._errors.FUNCTION with `args` (a new tuple, stolen here)
// and keeps the store's answer, how many records it holds. With no Python
// error pending; leaves none.
void slot_error_store(int slot, const char *function, PyObject *args) {
    PyObject *module = args ? pyapi.PyImport_ImportModule("tindral_xl._errors") : nullptr;  // new reference
    PyObject *call = module ? pyapi.PyObject_GetAttrString(module, function) : nullptr;  // new reference
    PyObject *count = call ? pyapi.PyObject_Call(call, args, nullptr) : nullptr;  // new reference
    if (count) {
        long held = pyapi.PyLong_AsLong(count);
        if (!(held == -1 && pyapi.PyErr_Occurred())) func_registry_error_cells_total(held);
    } else {
        xll_logf(func_registry.log, 512, "func_registry: the error store's %s failed for %s", function,
                 func_registry.slots[slot].name);
    }
    if (count) pyapi.Py_DecRef(count);
    if (call) pyapi.Py_DecRef(call);
    if (module) pyapi.Py_DecRef(module);
    if (args) pyapi.Py_DecRef(args);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// A tuple of the n texts and objects given (borrowed; each NULL stands for
// None), a new reference; NULL when it cannot be built.
PyObject *slot_tuple(PyObject **items, int n) {
    PyObject *t = pyapi.PyTuple_New(n);  // new reference
    if (!t) return nullptr;
    for (int i = 0; i < n; i++) {
        PyObject *v = items[i] ? items[i] : pyapi._Py_NoneStruct;
        pyapi.Py_IncRef(v);
        pyapi.PyTuple_SetItem(t, i, v);  // steals v
    }
    return t;
}

// Consumes the pending Python error of slot `slot`'s call, logs its message
// and hands it, with the call's `n` arguments (borrowed), to the error store
// under the calling cell. Whatever fails on the way leaves no error behind.
void slot_report_error(int slot, PyObject **args, int n) {
    PyObject *taken[3];  // type, value, traceback: new references
    func_registry_take_call_error(slot, taken);
    PyObject *type = taken[0], *value = taken[1], *traceback = taken[2];
    // Only here, on the error path, is Excel asked for the cell.
    char cell[SLOT_CELL_CAP];
    if (value && slot_caller_text(cell, sizeof cell)) {
        PyObject *cell_text = pyapi.PyUnicode_FromString(cell);                         // new reference
        PyObject *name = pyapi.PyUnicode_FromString(func_registry.slots[slot].name);    // new reference
        PyObject *call_args = slot_tuple(args, n);                                      // new reference
        PyObject *items[6] = {cell_text, name, call_args, type, value, traceback};
        PyObject *all = cell_text && name && call_args ? slot_tuple(items, 6) : nullptr;  // new reference
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
        // Indexed before the store is asked: a cell too many in the index
        // costs one call into the store, one too few would keep a stale record.
        func_registry_error_cells_add(cell);
        slot_error_store(slot, "record", all);
        if (call_args) pyapi.Py_DecRef(call_args);
        if (name) pyapi.Py_DecRef(name);
        if (cell_text) pyapi.Py_DecRef(cell_text);
    }
    if (type) pyapi.Py_DecRef(type);
    if (value) pyapi.Py_DecRef(value);
    if (traceback) pyapi.Py_DecRef(traceback);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

// A success of slot `slot`'s function while the store holds records: the
// calling cell's record goes, whichever function failed there (the cell's
// formula may have changed since).
void slot_forget_error(int slot) {
    char cell[SLOT_CELL_CAP];
    if (!slot_caller_text(cell, sizeof cell) || !func_registry_error_cells_has(cell)) return;
    PyObject *cell_text = pyapi.PyUnicode_FromString(cell);  // new reference
    PyObject *items[1] = {cell_text};
    PyObject *all = cell_text ? slot_tuple(items, 1) : nullptr;  // new reference
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    func_registry_error_cells_remove(cell);
    slot_error_store(slot, "forget", all);
    if (cell_text) pyapi.Py_DecRef(cell_text);
}

// 1 when Excel passed a reference (a "U" argument naming cells).
bool slot_arg_is_reference(const XLOPER12 *x) {
    if (!x) return false;
    DWORD_XL type = x->xltype & ~XL_FREE_BITS;
    return (type == xltypeRef && x->val.mref.lpmref && x->val.mref.lpmref->count >= 1) || type == xltypeSRef;
}

// A reference argument of a function that takes cells, as its address text.
// New reference; null with the error set.
PyObject *slot_reference_arg(const XLOPER12 *x) {
    char cell[SLOT_CELL_CAP] = "";
    slot_reference_text(x, cell, sizeof cell);
    return pyapi.PyUnicode_FromString(cell);
}

// 1 when Excel left the argument out or gave an empty cell.
bool slot_arg_omitted(const XLOPER12 *x) {
    if (!x) return true;
    DWORD_XL type = x->xltype & ~XL_FREE_BITS;
    return type == xltypeMissing || type == xltypeNil;
}

// A wait for the GIL this long is logged: Excel stood still meanwhile.
constexpr std::chrono::seconds SLOT_LOCK_WAIT_LOGGED{1};

// Logs that slot `slot`'s call waited `waited` for the GIL, naming the agent
// requests in Python (code holding the lock in one long C call, which no
// interrupt reaches, is the usual cause). With the GIL held.
void slot_log_lock_wait(int slot, std::chrono::steady_clock::duration waited) {
    char holders[400];
    http_server_agent_describe(holders, sizeof holders);
    xll_logf(func_registry.log, 640, "func_registry: the call to %s waited %.1f s for the Python lock; agent requests in Python: %s",
             func_registry.slots[slot].name, std::chrono::duration<double>(waited).count(), holders);
}

// The GIL for one slot call, given back however the call ends. The wait is
// timed only while an agent request is in Python (one atomic read
// otherwise), so the common call pays for no clock.
struct slot_gil {
    PyGILState_STATE state;
    explicit slot_gil(int slot) {
        if (!http_server_agent_in_python()) {
            state = pyapi.PyGILState_Ensure();
            return;
        }
        std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
        state = pyapi.PyGILState_Ensure();
        std::chrono::steady_clock::duration waited = std::chrono::steady_clock::now() - t0;
        if (waited >= SLOT_LOCK_WAIT_LOGGED) slot_log_lock_wait(slot, waited);
    }
    slot_gil(const slot_gil &) = delete;
    slot_gil &operator=(const slot_gil &) = delete;
    ~slot_gil() { pyapi.PyGILState_Release(state); }
};

// Argument `i` of slot `slot` by its kind. New reference; null when Excel's
// value has no such meaning: `r` then holds the cell's error and the log
// names the argument, the function and why (or a Python error is left set).
PyObject *slot_typed_arg(int slot, int i, const XLOPER12 *x, PyObject *omitted, XLOPER12 *r) {
    const func_slot *s = &func_registry.slots[slot];
    int error = xlerrValue;
    char why[200];
    PyObject *v = func_registry_typed_arg(s->kinds[i], x, omitted, &error, why, sizeof why);  // new reference
    if (v || pyapi.PyErr_Occurred()) return v;
    xloper_set_error(r, error);
    xll_logf(func_registry.log, 512, "func_registry: argument %d (%s) of %s: %s", i + 1, s->params[i], s->name, why);
    return nullptr;
}

// `result` (a new reference, stolen here) checked against slot `slot`'s
// return annotation. New reference, or null when it is of the wrong type: the
// log then says why and the cell shows #VALUE! (unless a Python error is set).
PyObject *slot_typed_result(int slot, PyObject *result) {
    char why[200];
    why[0] = 0;
    PyObject *checked = func_registry_typed_result(func_registry.slots[slot].result_kind, result, why,
                                                   sizeof why);  // new reference
    pyapi.Py_DecRef(result);
    if (!checked && !pyapi.PyErr_Occurred())
        xll_logf(func_registry.log, 512, "func_registry: result of %s: %s", func_registry.slots[slot].name, why);
    return checked;
}

// Calls the slot's function with the GIL held; fills r or leaves #VALUE!.
void slot_call(int slot, LPXLOPER12 *args, XLOPER12 *r) {
    PyObject *callable = func_registry.slots[slot].callable;  // read only now, under the GIL
    // 0 to 10: the pass binds no other count, so the ten pointers always suffice.
    int arity = func_registry.slots[slot].arity;
    if (!callable) {
        // A name a reload dropped: the cell shows what Excel shows for an
        // unknown name.
        if (func_registry.slots[slot].removed != FUNC_SLOT_BOUND) xloper_set_error(r, xlerrName);
        return;
    }
    pyapi.Py_IncRef(callable);  // a rebinding pass must not free it mid-call
    int done = 0;
    bool kept = false;  // the result went into the object store
    // The arguments as an array after one spare slot, which the callee may
    // borrow (a bound method puts its self there instead of copying).
    PyObject *argv[1 + FUNC_MAX_ARGS];
    bool refused = false;  // a conversion refused an argument: the cell's error is set and logged
    int filled = func_registry_slot_arguments(slot, args, argv + 1, r, &refused);
    if (filled == arity) {
        PyObject *result = pyapi.PyObject_Vectorcall(
            callable, argv + 1, (size_t)arity | PYAPI_VECTORCALL_ARGUMENTS_OFFSET, nullptr);  // new reference
        if (result && func_registry.slots[slot].result_kind != FUNC_KIND_ANY)
            result = slot_typed_result(slot, result);  // the checked result replaces the one given
        if (result) {
            // Only a result with no cell value pays for the object store; one
            // that exports a buffer of doubles spills its numbers instead.
            kept = !func_registry_has_cell_value(result);
            int spilled = kept ? func_registry_buffer_result(result, r) : -1;
            if (spilled >= 0) {
                kept = false;
                done = spilled;
            } else {
                done = kept ? func_registry_object_result(slot, result, r) : func_registry_py_to_xloper(result, r);
            }
            pyapi.Py_DecRef(result);
        }
    }
    // Only a failed step can have left an error; a success never looks, and
    // asks for its cell only while the store holds any record. A refused
    // argument already set the cell's error and logged why.
    if (!refused && !done && pyapi.PyErr_Occurred()) slot_report_error(slot, argv + 1, filled);
    else if (!refused && done && func_registry_error_cells_any()) slot_forget_error(slot);
    // A cell that made an object before and none now lets the old one go;
    // asked only while the store keeps objects of this function's cells.
    if (!kept && func_registry.slots[slot].objects_held > 0) func_registry_object_release_cell(slot);
    while (filled > 0) pyapi.Py_DecRef(argv[filled--]);
    pyapi.Py_DecRef(callable);
}

}  // namespace

int func_registry_caller_text(char *out, size_t cap) { return slot_caller_text(out, cap); }

int func_registry_slot_arguments(int slot, LPXLOPER12 *args, PyObject **argv, XLOPER12 *err, bool *refused) {
    // A function that applies parameter defaults gets the package's marker
    // for an omitted or empty argument, told apart from an error value (None
    // for every function): a default never stands in for an error.
    PyObject *omitted = func_registry.slots[slot].omitted;
    int by_reference = func_registry.slots[slot].by_reference;
    int arity = func_registry.slots[slot].arity;
    // Kinds the annotations decided at bind time; null for an untyped
    // function, which keeps the path it always had.
    const unsigned char *kinds = func_registry.slots[slot].typed ? func_registry.slots[slot].kinds : nullptr;
    *refused = false;
    int filled = 0;
    while (filled < arity) {
        PyObject *v;  // new reference
        if (by_reference && slot_arg_is_reference(args[filled])) {
            v = slot_reference_arg(args[filled]);
        } else if (kinds && kinds[filled] != FUNC_KIND_ANY) {
            v = slot_typed_arg(slot, filled, args[filled], omitted, err);
            *refused = !v && !pyapi.PyErr_Occurred();
        } else if (omitted && slot_arg_omitted(args[filled])) {
            pyapi.Py_IncRef(omitted);
            v = omitted;
        } else if (func_registry_handle_shaped(args[filled])) {
            int error = 0;
            v = func_registry_handle_argument(slot, filled, args[filled], &error);
            if (!v && error) xloper_set_error(err, error);
        } else {
            v = func_registry_xloper_to_py(args[filled]);
        }
        if (!v) break;
        argv[filled++] = v;
    }
    return filled;
}

PyObject *func_registry_xloper_to_py(const XLOPER12 *x) {
    if (!x) return py_none();
    switch (x->xltype & ~XL_FREE_BITS) {
    case xltypeNum:
        return pyapi.PyFloat_FromDouble(x->val.num);
    case xltypeStr: {
        if (!x->val.str) return py_none();
        int count = (uint16_t)x->val.str[0];
        if constexpr (SLOT_WIDE_IS_UTF16)
            return pyapi.PyUnicode_FromWideChar(reinterpret_cast<const wchar_t *>(x->val.str + 1), count);
        // Decoded once, straight from Excel's units. A lone surrogate passes
        // as itself, as wide text carries it; a leading U+FEFF is a character,
        // not a byte order mark.
        int little_endian = -1;
        return pyapi.PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(x->val.str + 1), (Py_ssize_t)count * 2,
                                           "surrogatepass", &little_endian);
    }
    case xltypeBool:
        return pyapi.PyBool_FromLong(x->val.xbool);
    case xltypeInt:
        return pyapi.PyLong_FromLong(x->val.w);
    case xltypeMulti:
        return func_registry_array_to_py(x);
    default:
        // Errors, missing and empty arguments alike.
        return py_none();
    }
}

int func_registry_py_to_xloper(PyObject *o, XLOPER12 *out) {
    memset(out, 0, sizeof *out);
    if (!o || o == pyapi._Py_NoneStruct) {
        out->xltype = xltypeNil;
        return 1;
    }
    PyObject *type = pyapi_type_of(o);
    if (type == pyapi.PyBool_Type) {
        out->xltype = xltypeBool;
        out->val.xbool = o == pyapi._Py_TrueStruct ? 1 : 0;
        return 1;
    }
    if (type == pyapi.PyFloat_Type) {
        out->xltype = xltypeNum;
        out->val.num = pyapi.PyFloat_AsDouble(o);
        if (!std::isfinite(out->val.num)) xloper_set_error(out, xlerrNum);  // Excel holds no NaN or infinity
        return 1;
    }
    if (type == pyapi.PyLong_Type) {
        // PyFloat_AsDouble converts an int to the nearest double (exact up to
        // 2^53) on every platform, where PyLong_AsLong stops at 32 bits on
        // Windows. An int beyond a double's range overflows: #NUM!.
        double d = pyapi.PyFloat_AsDouble(o);
        if (d == -1.0 && pyapi.PyErr_Occurred()) {
            pyapi.PyErr_Clear();
            xloper_set_error(out, xlerrNum);
            return 1;
        }
        out->xltype = xltypeNum;
        out->val.num = d;
        return 1;
    }
    if (type == pyapi.PyUnicode_Type) return text_result(o, out);
    if (type == pyapi.PyList_Type || type == pyapi.PyTuple_Type) return func_registry_array_result(o, out);
    int dated = func_registry_date_result(o, type, out);
    if (dated >= 0) return dated;
    // An object exporting a buffer of doubles (memoryview, array.array('d'),
    // a numpy float64 array) spills its numbers.
    int spilled = func_registry_buffer_result(o, out);
    if (spilled >= 0) return spilled;
    // Everything else, subclasses of the types above included, shows its repr.
    PyObject *repr = pyapi.PyObject_Repr(o);  // new reference
    if (!repr) {
        xloper_set_error(out, xlerrValue);
        return 0;
    }
    int ok = text_result(repr, out);
    pyapi.Py_DecRef(repr);
    return ok;
}

void func_registry_take_call_error(int slot, PyObject *taken[3]) {
    taken[0] = taken[1] = taken[2] = nullptr;
    pyapi.PyErr_Fetch(&taken[0], &taken[1], &taken[2]);
    pyapi.PyErr_NormalizeException(&taken[0], &taken[1], &taken[2]);
    PyObject *text = taken[1] ? pyapi.PyObject_Str(taken[1]) : nullptr;  // new reference
    const char *utf8 = text ? pyapi.PyUnicode_AsUTF8(text) : nullptr;
    if (utf8) xll_logf(func_registry.log, 512, "Python error in %s: %s", func_registry.slots[slot].name, utf8);
    if (text) pyapi.Py_DecRef(text);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

LPXLOPER12 func_registry_slot_failed(int slot) {
    XLOPER12 *r = &func_registry.slots[slot].result;
    // The previous call's text or array, if Excel has not handed it back.
    if (r->xltype & xlbitDLLFree) func_registry_release_result(r);
    xloper_set_error(r, xlerrValue);
    return r;
}

LPXLOPER12 func_registry_slot_dispatch(int slot, LPXLOPER12 *args) {
    // Registered as ">...X": Excel ignores what the entry point returns and
    // waits for xlAsyncReturn. Excel's own record of the registration, read
    // on the only thread that writes it.
    if (func_registry.slots[slot].excel_async) {
        func_registry_async_call(slot, args);
        return &func_registry.slots[slot].result;
    }
    XLOPER12 *r = func_registry_slot_failed(slot);
    // No running interpreter (never started, or its start failed after the
    // library was bound), no GIL to take: the slot stays #VALUE!.
    if (!python_runtime_ready()) return r;
    slot_gil gil(slot);
    slot_call(slot, args, r);
    return r;
}

// Excel hands back every result that carries xlbitDLLFree.
XLL_EXPORT void xlAutoFree12(LPXLOPER12 p) {
    xll_export_guard(
        "xlAutoFree12", "result not released",
        [p] {
            if (!p || !(p->xltype & xlbitDLLFree)) return;
            func_registry_release_result(p);
            // Type 0 keeps the slot's next call from freeing the block again.
            p->xltype = 0;
        },
        [] {});
}

// The entry points themselves, one per slot, generated from FUNC_SLOT_COUNT.
#define XLL_SLOT(n)                                                                                            \
    XLL_EXPORT LPXLOPER12 xll_slot_##n(LPXLOPER12 a0, LPXLOPER12 a1, LPXLOPER12 a2, LPXLOPER12 a3,           \
                                       LPXLOPER12 a4, LPXLOPER12 a5, LPXLOPER12 a6, LPXLOPER12 a7,           \
                                       LPXLOPER12 a8, LPXLOPER12 a9) {                                       \
        LPXLOPER12 args[FUNC_MAX_ARGS] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};                            \
        return xll_export_guard(                                                                             \
            "xll_slot_" #n, "#VALUE!", [&args] { return func_registry_slot_dispatch(n, args); },             \
            [] { return func_registry_slot_failed(n); });                                                    \
    }
#include "func_registry_slot_list.inc"
#undef XLL_SLOT

#define XLL_SLOT(n) xll_slot_##n,
const func_registry_slot_fn func_registry_slot_entries[] = {
#include "func_registry_slot_list.inc"
};
#undef XLL_SLOT
static_assert(sizeof func_registry_slot_entries / sizeof func_registry_slot_entries[0] == FUNC_SLOT_COUNT,
              "the generated slot list must hold FUNC_SLOT_COUNT entry points");
