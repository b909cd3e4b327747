// Arrays and dates on the slot call path: a range argument (xltypeMulti) as a
// Python list of rows, a list or tuple result as an array Excel spills, a
// date result as its serial number, and the release of what a result owns.
//
// Ownership of an array result: one malloc'd block holds the element records
// followed by the units of every text element; the top record carries
// xltypeMulti | xlbitDLLFree and points at the block, the elements carry no
// flag bits. func_registry_release_result frees the block once, called by
// xlAutoFree12 or, when Excel never hands the record back, by the slot's next
// call.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "func_registry_internal.h"
#include "text_utf16.h"
#include "xll_log.h"

namespace {

constexpr DWORD_XL ARRAY_FREE_BITS = xlbitXLFree | xlbitDLLFree;

// Excel's day 0 is 1899-12-30 for every date from 1 March 1900 on; before it,
// Excel counts a 29 February 1900 that never was, so those serials are one less.
constexpr long ARRAY_ORDINAL_OF_DAY_ZERO = 693594;  // date(1899, 12, 30).toordinal()
constexpr long ARRAY_FIRST_TRUE_SERIAL = 61;        // 1900-03-01

// The date types, fetched from the datetime module on the first result that
// is not a plain scalar, list or tuple, and kept for the process's life (the
// interpreter is never finalised). Touched with the GIL held only.
struct array_dates_state {
    int fetched;         // 1 once the fetch was tried, whether or not it worked
    PyObject *date;      // datetime.date, owned; null when unavailable
    PyObject *datetime;  // datetime.datetime, owned; null when unavailable
};
array_dates_state array_dates;

void array_fetch_dates(void) {
    array_dates.fetched = 1;
    PyObject *module = pyapi.PyImport_ImportModule("datetime");  // new ref
    if (module) {
        array_dates.date = pyapi.PyObject_GetAttrString(module, "date");          // new ref, kept
        array_dates.datetime = pyapi.PyObject_GetAttrString(module, "datetime");  // new ref, kept
        pyapi.Py_DecRef(module);
    }
    if (array_dates.date && array_dates.datetime) return;
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (array_dates.date) pyapi.Py_DecRef(array_dates.date);
    if (array_dates.datetime) pyapi.Py_DecRef(array_dates.datetime);
    array_dates.date = array_dates.datetime = nullptr;
    xll_logf(func_registry.log, 128, "func_registry: module datetime unavailable; dates show their repr");
}

// An integer attribute of `o` into `*v`. 1 on success; 0 with the error set.
int array_long_attr(PyObject *o, const char *name, long *v) {
    PyObject *a = pyapi.PyObject_GetAttrString(o, name);  // new ref
    if (!a) return 0;
    *v = pyapi.PyLong_AsLong(a);
    pyapi.Py_DecRef(a);
    return !(*v == -1 && pyapi.PyErr_Occurred());
}

// datetime's date and datetime objects as its header publishes them
// (PyDateTime_Date, PyDateTime_DateTime: what PyDateTime_GET_YEAR and the
// other field macros read): after the object header, the cached hash and the
// one byte that says whether a tzinfo follows, the fields packed big-endian:
// year (two bytes), month, day, then for a datetime hour, minute, second and
// microsecond (three bytes). Read only for the exact types, whose methods no
// subclass can have replaced.
static_assert(sizeof(void *) == 8, "the field offset below is the 64-bit one");
constexpr size_t ARRAY_DATE_FIELDS_AT = 25;

// The proleptic Gregorian ordinal datetime.date.toordinal gives (1 for
// 0001-01-01), from the fields. Unsigned: a year is 1 to 9999, and the
// divisions need no sign fix-ups.
long array_ordinal(unsigned y, unsigned m, unsigned d) {
    static constexpr unsigned before_month[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    unsigned y1 = y - 1;
    unsigned days = y1 * 365 + y1 / 4 - y1 / 100 + y1 / 400 + before_month[m] + d;
    if (m > 2 && y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) days++;
    return (long)days;
}

void array_set_error(XLOPER12 *x, int32_t err) {
    memset(x, 0, sizeof *x);
    x->xltype = xltypeErr;
    x->val.err = err;
}

// The serial of the day with proleptic ordinal `ordinal` (and `seconds` into
// it): 1900 date system, the wall-clock time as given (Excel keeps no time
// zone). Before 1900 it is #NUM!. Returns 1.
int array_set_date_serial(long ordinal, bool with_time, double seconds, XLOPER12 *out) {
    long serial = ordinal - ARRAY_ORDINAL_OF_DAY_ZERO;
    if (serial < ARRAY_FIRST_TRUE_SERIAL) serial -= 1;
    if (serial < 1) {  // no serial Excel shows as a date
        array_set_error(out, xlerrNum);
        return 1;
    }
    out->xltype = xltypeNum;
    out->val.num = with_time ? (double)serial + seconds / 86400.0 : (double)serial;
    return 1;
}

// An exact date (seconds 0) or datetime, read from the object's fields.
inline int array_exact_date_result(PyObject *o, bool with_time, XLOPER12 *out) {
    const unsigned char *f = reinterpret_cast<const unsigned char *>(o) + ARRAY_DATE_FIELDS_AT;
    unsigned month = f[2] >= 1 && f[2] <= 12 ? f[2] : 1;  // always so; guards the table read
    long ordinal = array_ordinal((unsigned)(f[0] << 8 | f[1]), month, f[3]);
    double seconds =
        with_time ? (double)(f[4] * 3600 + f[5] * 60 + f[6]) + (double)(f[7] << 16 | f[8] << 8 | f[9]) / 1e6 : 0.0;
    return array_set_date_serial(ordinal, with_time, seconds, out);
}

// A subclass of date, or -1 when `type` is none; the first call fetches the
// types. Kept out of line so that the exact types' path saves no registers
// for it.
[[gnu::noinline]] int array_subclass_date_result(PyObject *o, PyObject *type, XLOPER12 *out) {
    if (!array_dates.fetched) {
        array_fetch_dates();
        if (type == array_dates.datetime) return array_exact_date_result(o, true, out);
        if (type == array_dates.date) return array_exact_date_result(o, false, out);
    }
    if (!array_dates.date || !pyapi.PyType_IsSubtype(type, array_dates.date)) return -1;
    bool with_time = pyapi.PyType_IsSubtype(type, array_dates.datetime);
    // It may answer for itself: asked through its methods. #VALUE! unless a
    // number replaces it below.
    array_set_error(out, xlerrValue);
    PyObject *ordinal = pyapi.PyObject_CallMethod(o, "toordinal", nullptr);  // new ref
    if (!ordinal) return 0;
    long days = pyapi.PyLong_AsLong(ordinal);
    pyapi.Py_DecRef(ordinal);
    if (days == -1 && pyapi.PyErr_Occurred()) return 0;
    double seconds = 0;
    if (with_time) {
        long h = 0, m = 0, s = 0, us = 0;
        if (!array_long_attr(o, "hour", &h) || !array_long_attr(o, "minute", &m) ||
            !array_long_attr(o, "second", &s) || !array_long_attr(o, "microsecond", &us))
            return 0;
        seconds = (double)(h * 3600 + m * 60 + s) + (double)us / 1e6;
    }
    return array_set_date_serial(days, with_time, seconds, out);
}

// --- arguments ------------------------------------------------------------------

// One element of a range by the scalar rules. New reference, or null with the
// error set.
PyObject *array_element_to_py(const XLOPER12 *e) {
    DWORD_XL type = e->xltype & ~ARRAY_FREE_BITS;
    if (type == xltypeNum) return pyapi.PyFloat_FromDouble(e->val.num);
    if (type == xltypeMulti) {  // Excel never nests arrays; never recurse on one
        pyapi.Py_IncRef(pyapi._Py_NoneStruct);
        return pyapi._Py_NoneStruct;
    }
    return func_registry_xloper_to_py(e);
}

// --- results ----------------------------------------------------------------------

// The block of one array result while it is built. Text elements hold the
// byte offset of their units in `val.str` until array_block_finish turns the
// offsets into addresses: the block moves when it grows.
struct array_block {
    unsigned char *base;  // malloc'd: `count` records, then text units
    size_t count;         // element records
    size_t used;          // bytes in use, the records included
    size_t cap;           // bytes allocated
    size_t texts;         // text elements written
    int too_large;        // 1 when the texts outgrew FUNC_ARRAY_MAX_BYTES
};

XLOPER12 *array_record(array_block *b, size_t i) { return reinterpret_cast<XLOPER12 *>(b->base) + i; }

// Room for `bytes` more at the end. 1 on success; 0 when the result would
// outgrow its cap (`too_large` set) or memory ran out.
int array_block_reserve(array_block *b, size_t bytes) {
    if (b->used + bytes <= b->cap) return 1;
    // One text is at most 65,538 bytes, so the block never exceeds the cap
    // by more than that before array_element_text sees it is too large.
    if (b->used > FUNC_ARRAY_MAX_BYTES) {
        b->too_large = 1;
        return 0;
    }
    size_t want = b->cap * 2 > b->used + bytes ? b->cap * 2 : b->used + bytes;
    size_t most = FUNC_ARRAY_MAX_BYTES + (size_t)(FUNC_TEXT_MAX_UNITS + 2) * sizeof(XCHAR);
    if (want > most) want = most;
    if (want < b->used + bytes) {
        b->too_large = 1;
        return 0;
    }
    unsigned char *grown = static_cast<unsigned char *>(realloc(b->base, want));
    if (!grown) return 0;
    b->base = grown;
    b->cap = want;
    return 1;
}

// Writes the str `s` as element `i`, cut as a scalar text is. 1 on success;
// 0 on a Python error (left set), a full block or no memory.
int array_element_text(array_block *b, size_t i, PyObject *s) {
    Py_ssize_t n = 0;
    wchar_t *wide = pyapi.PyUnicode_AsWideCharString(s, &n);  // PyMem_Free it
    if (!wide) return 0;
    size_t most = (size_t)n * (sizeof(wchar_t) / sizeof(XCHAR));
    if (most > (size_t)FUNC_TEXT_MAX_UNITS) most = FUNC_TEXT_MAX_UNITS;
    if (!array_block_reserve(b, (most + 2) * sizeof(XCHAR))) {
        pyapi.PyMem_Free(wide);
        return 0;
    }
    size_t offset = b->used;
    XCHAR *units = reinterpret_cast<XCHAR *>(b->base + offset);
    int written = text_utf16_from_wide(wide, (size_t)n, units + 1, (int)most);
    pyapi.PyMem_Free(wide);  // with the GIL still held: Python's allocator needs it
    units[0] = (XCHAR)written;
    units[written + 1] = 0;
    b->used += (size_t)(written + 2) * sizeof(XCHAR);
    if (b->used > FUNC_ARRAY_MAX_BYTES) {
        b->too_large = 1;
        return 0;
    }
    XLOPER12 *x = array_record(b, i);
    x->xltype = xltypeStr;
    x->val.str = reinterpret_cast<XCHAR *>(static_cast<uintptr_t>(offset));
    b->texts++;
    return 1;
}

// Element `i` from `item` by the scalar rules; a list, tuple or anything else
// without a scalar meaning shows its repr. 1 on success, 0 on failure (see
// array_element_text). The caller holds `item`.
int array_element_held(array_block *b, size_t i, PyObject *item) {
    XLOPER12 *x = array_record(b, i);
    PyObject *type = pyapi_type_of(item);
    if (type == pyapi.PyFloat_Type) {
        double d = pyapi.PyFloat_AsDouble(item);
        if (std::isfinite(d)) {
            x->xltype = xltypeNum;
            x->val.num = d;
        } else {
            array_set_error(x, xlerrNum);
        }
        return 1;
    }
    if (item == pyapi._Py_NoneStruct || type == pyapi.PyBool_Type || type == pyapi.PyLong_Type)
        return func_registry_py_to_xloper(item, x);  // no text, nothing of its own to free
    if (type == pyapi.PyUnicode_Type) return array_element_text(b, i, item);
    if (type != pyapi.PyList_Type && type != pyapi.PyTuple_Type) {
        int dated = func_registry_date_result(item, type, x);
        if (dated >= 0) return dated;
    }
    PyObject *repr = pyapi.PyObject_Repr(item);  // new ref
    int ok = repr ? array_element_text(b, i, repr) : 0;
    if (repr) pyapi.Py_DecRef(repr);
    return ok;
}

// array_element_held for a borrowed `item`. Reading an element may run its
// code (repr, a date's toordinal or attribute reads), which may drop it from
// its row; the reference taken here keeps it alive until it is read whole.
int array_element(array_block *b, size_t i, PyObject *item) {
    pyapi.Py_IncRef(item);
    int ok = array_element_held(b, i, item);
    pyapi.Py_DecRef(item);
    return ok;
}

bool array_is_row(PyObject *o) {
    PyObject *type = pyapi_type_of(o);
    return type == pyapi.PyList_Type || type == pyapi.PyTuple_Type;
}

Py_ssize_t array_size(PyObject *seq) {
    return pyapi_type_of(seq) == pyapi.PyList_Type ? pyapi.PyList_Size(seq) : pyapi.PyTuple_Size(seq);
}

// Borrowed; null (with IndexError set) past the end.
PyObject *array_item(PyObject *seq, Py_ssize_t i) {
    return pyapi_type_of(seq) == pyapi.PyList_Type ? pyapi.PyList_GetItem(seq, i) : pyapi.PyTuple_GetItem(seq, i);
}

// Fills row `r` of the block (`cols` wide) from `row`, #N/A past its end.
// The row is read again at each element: a repr may have shortened it.
int array_fill_row(array_block *b, size_t r, size_t cols, PyObject *row) {
    for (size_t c = 0; c < cols; c++) {
        size_t i = r * cols + c;
        if ((Py_ssize_t)c >= array_size(row)) {
            array_set_error(array_record(b, i), xlerrNA);
            continue;
        }
        PyObject *item = array_item(row, (Py_ssize_t)c);  // borrowed
        if (!item || !array_element(b, i, item)) return 0;
    }
    return 1;
}

}  // namespace

PyObject *func_registry_array_to_py(const XLOPER12 *x) {
    long rows = x->val.array.rows, cols = x->val.array.columns;
    const XLOPER12 *cells = x->val.array.lparray;
    if (!cells || rows < 1 || cols < 1 || rows > FUNC_ARRAY_MAX_ROWS || cols > FUNC_ARRAY_MAX_COLUMNS) {
        xll_logf(func_registry.log, 128, "func_registry: malformed array argument (%ld x %ld) passed as None", rows,
                 cols);
        pyapi.Py_IncRef(pyapi._Py_NoneStruct);
        return pyapi._Py_NoneStruct;
    }
    // A tall range makes one list per row. With the collector on, those young
    // lists would set off a collection every few hundred rows, each older one
    // scanning all rows made so far: most of the cost of a column. Nothing
    // made here can form a cycle, so the collector rests until the table is
    // whole (and stays off if the user had turned it off).
    int collector_was_on = pyapi.PyGC_Disable();
    PyObject *table = pyapi.PyList_New(rows);  // new ref
    for (long r = 0; table && r < rows; r++) {
        PyObject *row = pyapi.PyList_New(cols);  // new ref
        if (row) pyapi.PyList_SetItem(table, r, row);  // stolen
        const XLOPER12 *cell = cells + (size_t)r * (size_t)cols;
        for (long c = 0; row && c < cols; c++) {
            PyObject *v = array_element_to_py(cell + c);  // new ref
            if (v) pyapi.PyList_SetItem(row, c, v);  // stolen
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

int func_registry_array_result(PyObject *o, XLOPER12 *out) {
    // The shape: a table when every item is a row, otherwise one row. Nothing
    // here runs Python code, so the sizes hold until the first repr.
    Py_ssize_t n = array_size(o);
    bool table = n > 0;
    size_t rows = 1, cols = (size_t)n;
    for (Py_ssize_t i = 0; i < n && table; i++) table = array_is_row(array_item(o, i));
    if (table) {
        rows = (size_t)n;
        cols = 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            size_t len = (size_t)array_size(array_item(o, i));
            if (len > cols) cols = len;
        }
    }
    if (cols == 0) {  // [], or only empty rows
        array_set_error(out, xlerrNA);
        return 1;
    }
    if (rows > (size_t)FUNC_ARRAY_MAX_ROWS || cols > (size_t)FUNC_ARRAY_MAX_COLUMNS ||
        rows * cols > (size_t)FUNC_ARRAY_MAX_ELEMENTS) {
        xll_logf(func_registry.log, 256,
                 "func_registry: array result of %zu x %zu is beyond Excel's limits (%ld rows, %ld columns, %ld "
                 "elements): #NUM!",
                 rows, cols, FUNC_ARRAY_MAX_ROWS, FUNC_ARRAY_MAX_COLUMNS, FUNC_ARRAY_MAX_ELEMENTS);
        array_set_error(out, xlerrNum);
        return 1;
    }

    array_block b{};
    b.count = rows * cols;
    b.used = b.cap = b.count * sizeof(XLOPER12);
    b.base = static_cast<unsigned char *>(malloc(b.cap));
    if (!b.base) {
        xll_logf(func_registry.log, 128, "func_registry: no memory for an array result of %zu x %zu", rows, cols);
        array_set_error(out, xlerrValue);
        return 0;
    }
    memset(b.base, 0, b.cap);
    int ok = 1;
    pyapi.Py_IncRef(o);  // a repr may drop the last other reference to the result's rows
    if (!table) {
        ok = array_fill_row(&b, 0, cols, o);
    } else {
        for (size_t r = 0; r < rows && ok; r++) {
            if ((Py_ssize_t)r >= array_size(o)) {  // shortened by a repr
                for (size_t c = 0; c < cols; c++) array_set_error(array_record(&b, r * cols + c), xlerrNA);
                continue;
            }
            PyObject *row = array_item(o, (Py_ssize_t)r);  // borrowed
            if (!row) {
                ok = 0;
                break;
            }
            pyapi.Py_IncRef(row);
            if (array_is_row(row)) {
                ok = array_fill_row(&b, r, cols, row);
            } else {  // replaced by a scalar meanwhile: a row of one
                ok = array_element(&b, r * cols, row);
                for (size_t c = 1; c < cols && ok; c++) array_set_error(array_record(&b, r * cols + c), xlerrNA);
            }
            pyapi.Py_DecRef(row);
        }
    }
    pyapi.Py_DecRef(o);
    if (!ok) {
        free(b.base);
        if (b.too_large) {
            xll_logf(func_registry.log, 256,
                     "func_registry: array result of %zu x %zu with its texts exceeds %zu MiB: #NUM!", rows, cols,
                     FUNC_ARRAY_MAX_BYTES >> 20);
            array_set_error(out, xlerrNum);
            return 1;
        }
        if (!pyapi.PyErr_Occurred())
            xll_logf(func_registry.log, 128,
                     "func_registry: no memory for the texts of an array result of %zu x %zu", rows, cols);
        array_set_error(out, xlerrValue);
        return 0;
    }
    if (b.texts) {
        if (b.used < b.cap) {  // give back the growth slack; a shrink keeps the contents
            unsigned char *fit = static_cast<unsigned char *>(realloc(b.base, b.used));
            if (fit) b.base = fit;
        }
        for (size_t i = 0; i < b.count; i++) {
            XLOPER12 *x = array_record(&b, i);
            if (x->xltype == xltypeStr)
                x->val.str = reinterpret_cast<XCHAR *>(b.base + reinterpret_cast<uintptr_t>(x->val.str));
        }
    }
    memset(out, 0, sizeof *out);
    out->xltype = xltypeMulti | xlbitDLLFree;
    out->val.array.lparray = reinterpret_cast<XLOPER12 *>(b.base);
    out->val.array.rows = (RW)rows;
    out->val.array.columns = (COL)cols;
    return 1;
}

int func_registry_is_date(PyObject *type) {
    if (!array_dates.fetched) array_fetch_dates();
    if (!array_dates.date) return 0;
    return type == array_dates.date || type == array_dates.datetime ||
           pyapi.PyType_IsSubtype(type, array_dates.date);
}

int func_registry_date_result(PyObject *o, PyObject *type, XLOPER12 *out) {
    // The exact types straight through: a date result costs little more than
    // reading its fields. Until the types are fetched both are null, which no
    // type is.
    if (type == array_dates.datetime) return array_exact_date_result(o, true, out);
    if (type == array_dates.date) return array_exact_date_result(o, false, out);
    return array_subclass_date_result(o, type, out);
}

void func_registry_release_result(XLOPER12 *x) {
    DWORD_XL type = x->xltype & ~ARRAY_FREE_BITS;
    if (type == xltypeStr) {
        free(x->val.str);
        x->val.str = nullptr;
    } else if (type == xltypeMulti) {
        free(x->val.array.lparray);  // the records and every text: one block
        x->val.array.lparray = nullptr;
    }
}
