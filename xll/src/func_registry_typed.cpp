// Typed worksheet functions on the slot call path: an argument converted in C
// by the kind its parameter's annotation asked for (decided once, when the
// pass binds the function), a result checked against its return annotation,
// and results that export a buffer of doubles spilled without a Python
// object per element.
//
// Ownership of an Array argument: one bytearray holds the doubles and a
// memoryview cast to 'd' and (rows, cols) is the only reference to it that
// the function gets; Python frees the bytearray when the last view of it
// goes, whether the function kept one or not.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "func_registry_internal.h"
#include "xll_log.h"

namespace {

constexpr DWORD_XL TYPED_FREE_BITS = xlbitXLFree | xlbitDLLFree;

// Excel's 1900 date system, as the date results use it: day 0 is 1899-12-30
// from serial 61 (1900-03-01) on, and the serials before it are one day
// later because Excel counts a 29 February 1900 (serial 60) that never was.
constexpr long TYPED_ORDINAL_OF_DAY_ZERO = 693594;  // date(1899, 12, 30).toordinal()
constexpr long TYPED_FIRST_TRUE_SERIAL = 61;
constexpr long TYPED_PHANTOM_SERIAL = 60;
constexpr long TYPED_LAST_SERIAL = 2958466;  // the first serial after 9999-12-31
constexpr long long TYPED_DAY_MICROSECONDS = 86400000000LL;

// The date types, fetched on the first date argument and kept for the
// process's life (the interpreter is never finalised). GIL held.
struct typed_dates_state {
    int fetched;
    PyObject *date;      // datetime.date, owned
    PyObject *datetime;  // datetime.datetime, owned
};
typed_dates_state typed_dates;

int typed_fetch_dates(void) {
    if (typed_dates.fetched) return typed_dates.date && typed_dates.datetime;
    typed_dates.fetched = 1;
    PyObject *module = pyapi.PyImport_ImportModule("datetime");  // new reference
    if (module) {
        typed_dates.date = pyapi.PyObject_GetAttrString(module, "date");          // new reference, kept
        typed_dates.datetime = pyapi.PyObject_GetAttrString(module, "datetime");  // new reference, kept
        pyapi.Py_DecRef(module);
    }
    if (typed_dates.date && typed_dates.datetime) return 1;
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    xll_logf(func_registry.log, 128, "func_registry: module datetime unavailable; date arguments are #VALUE!");
    return 0;
}

DWORD_XL typed_type(const XLOPER12 *x) { return x ? x->xltype & ~TYPED_FREE_BITS : xltypeMissing; }

bool typed_number(const XLOPER12 *x, double *d) {
    DWORD_XL type = typed_type(x);
    if (type == xltypeNum) *d = x->val.num;
    else if (type == xltypeInt) *d = x->val.w;
    else return false;
    return true;
}

PyObject *typed_none(void) {
    pyapi.Py_IncRef(pyapi._Py_NoneStruct);
    return pyapi._Py_NoneStruct;
}

const char *typed_error_text(int32_t err) {
    switch (err) {
    case xlerrNull: return "#NULL!";
    case xlerrDiv0: return "#DIV/0!";
    case xlerrValue: return "#VALUE!";
    case xlerrRef: return "#REF!";
    case xlerrName: return "#NAME?";
    case xlerrNum: return "#NUM!";
    case xlerrNA: return "#N/A";
    case xlerrGettingData: return "#GETTING_DATA";
    default: return "an error value";
    }
}

// What Excel passed, for the log: "text", "TRUE", "#N/A", "an empty cell".
const char *typed_describe(const XLOPER12 *x) {
    switch (typed_type(x)) {
    case xltypeStr: return "text";
    case xltypeBool: return x->val.xbool ? "TRUE" : "FALSE";
    case xltypeErr: return typed_error_text(x->val.err);
    case xltypeNil: return "an empty cell";
    case xltypeMissing: return "an omitted argument";
    case xltypeMulti: return "a range";
    default: return "a value of no known type";
    }
}

// A number as Excel turns one into text in general format: at most 15
// significant digits, no trailing zeros, and an exponent ("1.5E+20") where
// the digits would not fit; -0 is 0.
PyObject *typed_number_text(double d) {
    char text[40];
    snprintf(text, sizeof text, "%.15G", d == 0 ? 0.0 : d);
    return pyapi.PyUnicode_FromString(text);
}

// The proleptic Gregorian year, month and day of the day `days` after
// 1970-01-01 (days-from-civil inverted, exact for every date Excel has).
void typed_civil(long days, long *y, int *m, int *d) {
    long z = days + 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}
constexpr long TYPED_ORDINAL_OF_1970 = 719163;  // date(1970, 1, 1).toordinal()

// `type` called with the `n` whole numbers given. New reference or null with
// the error set.
PyObject *typed_call_with_longs(PyObject *type, const long *values, int n) {
    PyObject *argv[1 + 7];
    int made = 0;
    for (; made < n; made++) {
        argv[1 + made] = pyapi.PyLong_FromLong(values[made]);  // new reference
        if (!argv[1 + made]) break;
    }
    PyObject *r = made == n ? pyapi.PyObject_Vectorcall(type, argv + 1, (size_t)n | PYAPI_VECTORCALL_ARGUMENTS_OFFSET,
                                                        nullptr)
                            : nullptr;  // new reference
    while (made > 0) pyapi.Py_DecRef(argv[made--]);
    return r;
}

// The date (or, `with_time`, the datetime to the nearest microsecond) of an
// Excel serial: the inverse of a date result's serial.
PyObject *typed_date(double serial, bool with_time, char *why, size_t cap) {
    if (!typed_fetch_dates()) {
        snprintf(why, cap, "module datetime is unavailable");
        return nullptr;
    }
    if (!(serial >= 1 && serial < (double)TYPED_LAST_SERIAL)) {
        snprintf(why, cap, "%.15G is not a date serial (1 to 2958465)", serial);
        return nullptr;
    }
    long day = (long)std::floor(serial);
    long long micro = with_time ? std::llround((serial - (double)day) * (double)TYPED_DAY_MICROSECONDS) : 0;
    if (micro >= TYPED_DAY_MICROSECONDS) {  // rounds up to the next midnight
        day++;
        micro -= TYPED_DAY_MICROSECONDS;
    }
    if (day == TYPED_PHANTOM_SERIAL) {
        snprintf(why, cap, "serial %.15G is 29 February 1900, a day Excel counts that never was", serial);
        return nullptr;
    }
    if (day >= TYPED_LAST_SERIAL) {
        snprintf(why, cap, "%.15G is not a date serial (1 to 2958465)", serial);
        return nullptr;
    }
    long ordinal = day + TYPED_ORDINAL_OF_DAY_ZERO + (day < TYPED_FIRST_TRUE_SERIAL ? 1 : 0);
    long y;
    int m, d;
    typed_civil(ordinal - TYPED_ORDINAL_OF_1970, &y, &m, &d);
    if (!with_time) {
        long fields[3] = {y, m, d};
        return typed_call_with_longs(typed_dates.date, fields, 3);
    }
    long seconds = (long)(micro / 1000000);
    long fields[7] = {y, m, d, seconds / 3600, seconds / 60 % 60, seconds % 60, (long)(micro % 1000000)};
    return typed_call_with_longs(typed_dates.datetime, fields, 7);
}

// One value (never a range) as the base kind `base`.
PyObject *typed_scalar(unsigned base, const XLOPER12 *x, int *error, char *why, size_t cap) {
    double d = 0;
    bool number = typed_number(x, &d);
    switch (base) {
    case FUNC_KIND_FLOAT:
        if (number) return pyapi.PyFloat_FromDouble(d);
        snprintf(why, cap, "%s is not a number", typed_describe(x));
        return nullptr;
    case FUNC_KIND_INT:
        if (!number) {
            snprintf(why, cap, "%s is not a number", typed_describe(x));
            return nullptr;
        }
        // Python's int has no bound: every whole double converts (past 2^53
        // a double holds only whole numbers anyway).
        if (d != std::floor(d)) {
            *error = xlerrNum;
            snprintf(why, cap, "%.15G is not a whole number", d);
            return nullptr;
        }
        return pyapi.PyLong_FromDouble(d);
    case FUNC_KIND_BOOL:
        // As Excel's own logical arguments read a number: 0 is FALSE.
        if (typed_type(x) == xltypeBool) return pyapi.PyBool_FromLong(x->val.xbool);
        if (number) return pyapi.PyBool_FromLong(d != 0);
        snprintf(why, cap, "%s is not a boolean", typed_describe(x));
        return nullptr;
    case FUNC_KIND_STR:
        if (typed_type(x) == xltypeStr) return func_registry_xloper_to_py(x);
        if (number) return typed_number_text(d);
        if (typed_type(x) == xltypeBool) return pyapi.PyUnicode_FromString(x->val.xbool ? "TRUE" : "FALSE");
        snprintf(why, cap, "%s is not text", typed_describe(x));
        return nullptr;
    case FUNC_KIND_DATE:
    case FUNC_KIND_DATETIME:
        if (number) return typed_date(d, base == FUNC_KIND_DATETIME, why, cap);
        snprintf(why, cap, "%s is not a date serial", typed_describe(x));
        return nullptr;
    default:
        return func_registry_xloper_to_py(x);  // FUNC_KIND_ANY inside a list
    }
}

// The cells of `x`: a range's own, or `x` itself as a block of one.
bool typed_cells(const XLOPER12 *x, const XLOPER12 **cells, long *rows, long *cols, char *why, size_t cap) {
    if (typed_type(x) != xltypeMulti) {
        *cells = x;
        *rows = *cols = 1;
        return true;
    }
    *cells = x->val.array.lparray;
    *rows = x->val.array.rows;
    *cols = x->val.array.columns;
    if (*cells && *rows >= 1 && *cols >= 1 && *rows <= FUNC_ARRAY_MAX_ROWS && *cols <= FUNC_ARRAY_MAX_COLUMNS)
        return true;
    snprintf(why, cap, "a malformed range (%ld x %ld)", *rows, *cols);
    return false;
}

bool typed_empty(const XLOPER12 *e) {
    DWORD_XL type = typed_type(e);
    return type == xltypeNil || type == xltypeMissing;
}

// One element of a list argument; a range inside a range (Excel never makes
// one) is refused rather than followed.
PyObject *typed_element(unsigned kind, const XLOPER12 *e, long r, long c, int *error, char *why, size_t cap) {
    if ((kind & FUNC_KIND_ITEM_OPTIONAL) && typed_empty(e)) return typed_none();
    PyObject *v = typed_type(e) == xltypeMulti ? nullptr : typed_scalar(kind & FUNC_KIND_BASE, e, error, why, cap);
    if (!v && !pyapi.PyErr_Occurred()) {
        char inner[160];
        snprintf(inner, sizeof inner, "%s", typed_type(e) == xltypeMulti ? "a range inside a range" : why);
        snprintf(why, cap, "element at row %ld, column %ld: %s", r + 1, c + 1, inner);
    }
    return v;
}

// list[T] (one row or column, flattened) or list[list[T]] (rows).
PyObject *typed_list(unsigned kind, const XLOPER12 *x, int *error, char *why, size_t cap) {
    const XLOPER12 *cells;
    long rows, cols;
    if (!typed_cells(x, &cells, &rows, &cols, why, cap)) return nullptr;
    bool flat = (kind & FUNC_KIND_LIST1) != 0;
    if (flat && rows > 1 && cols > 1) {
        snprintf(why, cap, "a range of %ld x %ld is not one row or column", rows, cols);
        return nullptr;
    }
    // As for untyped ranges: nothing made here forms a cycle, so the
    // collector rests while the young lists pile up.
    int collector_was_on = pyapi.PyGC_Disable();
    PyObject *table = pyapi.PyList_New(flat ? rows * cols : rows);  // new reference
    for (long r = 0; table && r < rows; r++) {
        PyObject *row = table;
        if (!flat) {
            row = pyapi.PyList_New(cols);  // new reference
            if (row) pyapi.PyList_SetItem(table, r, row);  // stolen
        }
        for (long c = 0; row && c < cols; c++) {
            PyObject *v = typed_element(kind, cells + (size_t)r * (size_t)cols + c, r, c, error, why, cap);  // new reference
            if (v) pyapi.PyList_SetItem(row, flat ? r * cols + c : c, v);  // stolen
            else row = nullptr;
        }
        if (!row) {
            pyapi.Py_DecRef(table);
            table = nullptr;
        }
    }
    if (collector_was_on) pyapi.PyGC_Enable();
    return table;
}

// A range as one buffer of doubles: numbers as they are, anything else NaN.
PyObject *typed_array(const XLOPER12 *x, char *why, size_t cap) {
    const XLOPER12 *cells;
    long rows, cols;
    if (!typed_cells(x, &cells, &rows, &cols, why, cap)) return nullptr;
    size_t n = (size_t)rows * (size_t)cols;
    PyObject *bytes = pyapi.PyByteArray_FromStringAndSize(nullptr, (Py_ssize_t)(n * sizeof(double)));  // new reference
    if (!bytes) return nullptr;
    double *out = reinterpret_cast<double *>(pyapi.PyByteArray_AsString(bytes));
    for (size_t i = 0; i < n; i++) {
        const XLOPER12 *e = cells + i;
        DWORD_XL type = e->xltype & ~TYPED_FREE_BITS;
        out[i] = type == xltypeNum ? e->val.num : type == xltypeInt ? (double)e->val.w : NAN;
    }
    PyObject *view = pyapi.PyMemoryView_FromObject(bytes);  // new reference, holds the bytearray
    pyapi.Py_DecRef(bytes);
    if (!view) return nullptr;
    PyObject *shaped = pyapi.PyObject_CallMethod(view, "cast", "s(nn)", "d", (Py_ssize_t)rows,
                                                 (Py_ssize_t)cols);  // new reference, holds the view's bytearray
    pyapi.Py_DecRef(view);
    return shaped;
}

// The name of `o`'s type, for the log.
void typed_type_name(PyObject *o, char *out, size_t cap) {
    snprintf(out, cap, "an object");
    PyObject *name = pyapi.PyObject_GetAttrString(pyapi_type_of(o), "__name__");  // new reference
    const char *utf8 = name ? pyapi.PyUnicode_AsUTF8(name) : nullptr;
    if (utf8) snprintf(out, cap, "%s", utf8);
    if (name) pyapi.Py_DecRef(name);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

const char *typed_kind_name(unsigned base) {
    switch (base) {
    case FUNC_KIND_FLOAT: return "float";
    case FUNC_KIND_INT: return "int";
    case FUNC_KIND_BOOL: return "bool";
    case FUNC_KIND_STR: return "str";
    case FUNC_KIND_DATE: return "datetime.date";
    case FUNC_KIND_DATETIME: return "datetime.datetime";
    default: return "the annotated type";
    }
}

bool typed_is(PyObject *type, PyObject *wanted) { return type == wanted || pyapi.PyType_IsSubtype(type, wanted); }

// The format of a buffer of native doubles: "d", or "d" with a prefix that
// names the native order and size ('@', '=' and, on these little-endian
// machines, '<').
bool typed_double_format(const char *format) {
    if (!format) return false;  // null means unsigned bytes
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') format++;
    return format[0] == 'd' && format[1] == 0;
}

}  // namespace

PyObject *func_registry_typed_arg(unsigned kind, const XLOPER12 *x, PyObject *omitted, int *error, char *why,
                                  size_t cap) {
    *error = xlerrValue;
    why[0] = 0;
    if (typed_empty(x)) {
        if (!(kind & FUNC_KIND_OPTIONAL)) {
            snprintf(why, cap, "%s where a value is needed (annotate it Optional or give it a default)",
                     typed_describe(x));
            return nullptr;
        }
        PyObject *v = omitted ? omitted : pyapi._Py_NoneStruct;
        pyapi.Py_IncRef(v);
        return v;
    }
    if (kind & (FUNC_KIND_LIST1 | FUNC_KIND_LIST2)) return typed_list(kind, x, error, why, cap);
    unsigned base = kind & FUNC_KIND_BASE;
    if (base == FUNC_KIND_ARRAY) return typed_array(x, why, cap);
    if (typed_type(x) == xltypeMulti) {
        // A one-cell range is its value; a larger one is no single value.
        const XLOPER12 *cells;
        long rows, cols;
        if (!typed_cells(x, &cells, &rows, &cols, why, cap)) return nullptr;
        if (rows == 1 && cols == 1 && typed_type(cells) != xltypeMulti)
            return func_registry_typed_arg(kind, cells, omitted, error, why, cap);
        snprintf(why, cap, "a range of %ld x %ld is not one value", rows, cols);
        return nullptr;
    }
    return typed_scalar(base, x, error, why, cap);
}

PyObject *func_registry_typed_result(unsigned kind, PyObject *result, char *why, size_t cap) {
    unsigned base = kind & FUNC_KIND_BASE;
    PyObject *type = pyapi_type_of(result);
    if (result == pyapi._Py_NoneStruct) {
        if (kind & FUNC_KIND_OPTIONAL) return typed_none();
    } else if (base == FUNC_KIND_FLOAT) {
        if (type == pyapi.PyFloat_Type) {
            pyapi.Py_IncRef(result);
            return result;
        }
        if (type == pyapi.PyLong_Type) {
            double d = pyapi.PyFloat_AsDouble(result);
            if (d == -1.0 && pyapi.PyErr_Occurred()) return nullptr;
            return pyapi.PyFloat_FromDouble(d);
        }
    } else if (base == FUNC_KIND_INT) {
        if (type == pyapi.PyLong_Type) {
            pyapi.Py_IncRef(result);
            return result;
        }
        if (type == pyapi.PyFloat_Type) {
            double d = pyapi.PyFloat_AsDouble(result);
            if (std::isfinite(d) && d == std::floor(d)) return pyapi.PyLong_FromDouble(d);
            snprintf(why, cap, "returned %.17g, not a whole number", d);
            return nullptr;
        }
    } else if (base == FUNC_KIND_BOOL) {
        if (type == pyapi.PyBool_Type) {
            pyapi.Py_IncRef(result);
            return result;
        }
    } else if (base == FUNC_KIND_STR) {
        if (typed_is(type, pyapi.PyUnicode_Type)) {
            pyapi.Py_IncRef(result);
            return result;
        }
    } else if (base == FUNC_KIND_DATE || base == FUNC_KIND_DATETIME) {
        if (typed_fetch_dates() && typed_is(type, typed_dates.date)) {
            // A datetime for a date drops its time of day; a date for a
            // datetime is its midnight, which the serial already is.
            if (base == FUNC_KIND_DATE && typed_is(type, typed_dates.datetime))
                return pyapi.PyObject_CallMethod(result, "date", nullptr);
            pyapi.Py_IncRef(result);
            return result;
        }
    } else {
        pyapi.Py_IncRef(result);
        return result;
    }
    char got[64];
    typed_type_name(result, got, sizeof got);
    snprintf(why, cap, "returned %s, not %s", got, typed_kind_name(base));
    return nullptr;
}

int func_registry_buffer_result(PyObject *o, XLOPER12 *out) {
    Py_buffer view;
    memset(&view, 0, sizeof view);
    if (pyapi.PyObject_GetBuffer(o, &view, PYAPI_BUF_RECORDS_RO) != 0) {
        pyapi.PyErr_Clear();  // no buffer, or none of this form: not ours to convert
        return -1;
    }
    // From here on every path releases the view exactly once.
    if (view.itemsize != (Py_ssize_t)sizeof(double) || !typed_double_format(view.format) ||
        (view.ndim != 1 && view.ndim != 2) || !view.shape) {
        pyapi.PyBuffer_Release(&view);
        return -1;
    }
    Py_ssize_t rows = view.ndim == 2 ? view.shape[0] : 1;
    Py_ssize_t cols = view.ndim == 2 ? view.shape[1] : view.shape[0];
    // Without strides the exporter's memory is C-contiguous.
    Py_ssize_t row_step = view.strides && view.ndim == 2 ? view.strides[0] : cols * (Py_ssize_t)sizeof(double);
    Py_ssize_t col_step = view.strides ? view.strides[view.ndim - 1] : (Py_ssize_t)sizeof(double);
    int ok = 1;
    memset(out, 0, sizeof *out);
    if (rows == 0 || cols == 0) {  // as an empty list
        out->xltype = xltypeErr;
        out->val.err = xlerrNA;
    } else if (rows > FUNC_ARRAY_MAX_ROWS || cols > FUNC_ARRAY_MAX_COLUMNS || rows * cols > FUNC_ARRAY_MAX_ELEMENTS) {
        xll_logf(func_registry.log, 256,
                 "func_registry: array result of %zd x %zd is beyond Excel's limits (%ld rows, %ld columns, %ld "
                 "elements): #NUM!",
                 rows, cols, FUNC_ARRAY_MAX_ROWS, FUNC_ARRAY_MAX_COLUMNS, FUNC_ARRAY_MAX_ELEMENTS);
        out->xltype = xltypeErr;
        out->val.err = xlerrNum;
    } else {
        XLOPER12 *cells = static_cast<XLOPER12 *>(malloc((size_t)(rows * cols) * sizeof(XLOPER12)));
        if (!cells) {
            xll_logf(func_registry.log, 128, "func_registry: no memory for an array result of %zd x %zd", rows,
                     cols);
            out->xltype = xltypeErr;
            out->val.err = xlerrValue;
            ok = 0;
        } else {
            const char *base = static_cast<const char *>(view.buf);
            XLOPER12 *cell = cells;
            for (Py_ssize_t r = 0; r < rows; r++) {
                const char *at = base + r * row_step;
                for (Py_ssize_t c = 0; c < cols; c++, cell++, at += col_step) {
                    double d;
                    memcpy(&d, at, sizeof d);  // a strided view need not be aligned
                    memset(cell, 0, sizeof *cell);
                    if (std::isfinite(d)) {
                        cell->xltype = xltypeNum;
                        cell->val.num = d;
                    } else {  // Excel holds no NaN or infinity
                        cell->xltype = xltypeErr;
                        cell->val.err = xlerrNum;
                    }
                }
            }
            out->xltype = xltypeMulti | xlbitDLLFree;
            out->val.array.lparray = cells;
            out->val.array.rows = (RW)rows;
            out->val.array.columns = (COL)cols;
        }
    }
    pyapi.PyBuffer_Release(&view);
    return ok;
}

void func_registry_take_kinds(int slot, PyObject *kinds) {
    func_slot *s = &func_registry.slots[slot];
    s->typed = 0;
    s->result_kind = FUNC_KIND_ANY;
    memset(s->kinds, 0, sizeof s->kinds);
    for (int i = 0; i < FUNC_MAX_ARGS; i++) s->params[i][0] = 0;
    if (!kinds || pyapi_type_of(kinds) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(kinds) < 1) return;
    // A number outside the known kinds (a package of another version) keeps
    // the untyped rules for that value.
    auto valid = [](long k) { return k >= 0 && k <= 0xFF && (k & FUNC_KIND_BASE) <= FUNC_KIND_ARRAY ? (unsigned)k : 0u; };
    long result = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(kinds, 0));
    s->result_kind = (unsigned char)valid(result);
    Py_ssize_t n = pyapi.PyTuple_Size(kinds) - 1;
    for (Py_ssize_t i = 0; i < n && i < FUNC_MAX_ARGS; i++) {
        PyObject *pair = pyapi.PyTuple_GetItem(kinds, i + 1);  // borrowed
        if (!pair || pyapi_type_of(pair) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(pair) != 2) continue;
        long kind = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(pair, 0));
        const char *name = pyapi.PyUnicode_AsUTF8(pyapi.PyTuple_GetItem(pair, 1));
        s->kinds[i] = (unsigned char)valid(kind);
        snprintf(s->params[i], FUNC_PARAM_CAP, "%s", name ? name : "?");
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    }
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    s->typed = s->result_kind != FUNC_KIND_ANY;
    for (int i = 0; i < FUNC_MAX_ARGS; i++)
        if (s->kinds[i] != FUNC_KIND_ANY) s->typed = 1;
}
