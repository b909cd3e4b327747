// The cells jobs: what a job does on Excel's main thread, inside the tick's
// command. References are A1 texts resolved by xlfTextref; values are read
// with xlCoerce and written with xlSet, formulas entered with xlcFormula.
// Every check happens before the one call that changes the workbook, so a
// refused job has changed nothing.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "excel_gateway.h"
#include "excel_jobs.h"
#include "xll_log.h"

namespace {

void cells_fail(excel_jobs_cells *c, int status, const char *format, ...) XLL_LOG_PRINTF(3, 4);
void cells_fail(excel_jobs_cells *c, int status, const char *format, ...) {
    c->status = status;
    va_list ap;
    va_start(ap, format);
    vsnprintf(c->message, sizeof c->message, format, ap);
    va_end(ap);
}

XLOPER12 cells_bool(int v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeBool;
    x.val.xbool = v;
    return x;
}

XLOPER12 cells_int(int v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeInt;
    x.val.w = v;
    return x;
}

XLOPER12 cells_text(XCHAR *counted) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeStr;
    x.val.str = counted;
    return x;
}

// Gives a result of Excel's back to it; values without memory need nothing.
void cells_xlfree(XLOPER12 *x) {
    DWORD_XL type = x->xltype & 0x0FFF;
    if (type == xltypeStr || type == xltypeMulti || type == xltypeRef) Excel12(xlFree, nullptr, 1, x);
    memset(x, 0, sizeof *x);
}

// A counted copy of `units` UTF-16 units (malloc), or null.
XCHAR *cells_text_copy(const XCHAR *units, int count) {
    XCHAR *t = (XCHAR *)malloc(((size_t)count + 2) * sizeof(XCHAR));
    if (!t) return nullptr;
    t[0] = (XCHAR)count;
    if (count) memcpy(t + 1, units, (size_t)count * sizeof(XCHAR));
    t[count + 1] = 0;
    return t;
}

// Skips a leading "[Book]" (or "'[Book]", keeping the quote): Excel's texts
// name the workbook, which an agent's references leave out.
int cells_skip_book(const XCHAR *s, int n, XCHAR *out) {
    int start = 0, quote = 0;
    if (n > 1 && s[0] == '\'' && s[1] == '[') {
        quote = 1;
        start = 1;
    }
    if (start < n && s[start] == '[') {
        int close = start;
        while (close < n && s[close] != ']') close++;
        if (close < n) start = close + 1;
    }
    int k = 0;
    if (quote) out[k++] = '\'';
    for (int i = start; i < n; i++) out[k++] = s[i];
    return k;
}

// One value of Excel's into a record the job owns. 0 when memory ran out.
int cells_copy_value(XLOPER12 *dst, const XLOPER12 *src) {
    memset(dst, 0, sizeof *dst);
    switch (src->xltype & 0x0FFF) {
    case xltypeNum:
    case xltypeBool:
    case xltypeErr:
        *dst = *src;
        dst->xltype &= 0x0FFF;
        return 1;
    case xltypeInt:
        dst->xltype = xltypeNum;
        dst->val.num = src->val.w;
        return 1;
    case xltypeStr: {
        int n = src->val.str ? (unsigned short)src->val.str[0] : 0;
        XCHAR *t = cells_text_copy(src->val.str ? src->val.str + 1 : nullptr, n);
        if (!t) return 0;
        *dst = cells_text(t);
        return 1;
    }
    default:
        dst->xltype = xltypeNil;
        return 1;
    }
}

// Takes `count` values (rows x cols) into c->values. 0 when memory ran out.
int cells_take_values(excel_jobs_cells *c, const XLOPER12 *src, long rows, long cols) {
    c->values = (XLOPER12 *)calloc((size_t)(rows * cols), sizeof(XLOPER12));
    if (!c->values) return 0;
    c->rows = rows;
    c->cols = cols;
    for (long i = 0; i < rows * cols; i++)
        if (!cells_copy_value(&c->values[i], &src[i])) return 0;
    return 1;
}

// ASCII letters without case, as Excel compares sheet names for our purpose.
int cells_same_name(const XCHAR *a, int an, const XCHAR *b, int bn) {
    if (an != bn) return 0;
    for (int i = 0; i < an; i++) {
        XCHAR x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = (XCHAR)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (XCHAR)(y - 'A' + 'a');
        if (x != y) return 0;
    }
    return 1;
}

// Whether the active workbook has a sheet named `name`: -1 when Excel would
// not say.
int cells_sheet_exists(const XCHAR *name, int n) {
    XLOPER12 which = cells_int(1), list;
    memset(&list, 0, sizeof list);
    if (Excel12(xlfGetWorkbook, &list, 1, &which) != xlretSuccess) return -1;
    int found = -1;
    if ((list.xltype & 0x0FFF) == xltypeMulti && list.val.array.lparray) {
        found = 0;
        long count = (long)list.val.array.rows * list.val.array.columns;
        for (long i = 0; i < count && !found; i++) {
            const XLOPER12 *e = &list.val.array.lparray[i];
            if ((e->xltype & 0x0FFF) != xltypeStr || !e->val.str) continue;
            XCHAR bare[256];
            int len = (unsigned short)e->val.str[0];
            if (len > 255) continue;
            int k = cells_skip_book(e->val.str + 1, len, bare);
            found = cells_same_name(bare, k, name, n);
        }
    }
    cells_xlfree(&list);
    return found;
}

// Says why xlfTextref did not answer a reference: an unknown sheet, or a
// text that is no reference.
void cells_explain_bad_ref(excel_jobs_cells *c) {
    const XCHAR *s = c->ref + 1;
    int n = c->ref[0];
    int bang = -1;
    for (int i = 0; i < n; i++)
        if (s[i] == '!') bang = i;
    if (bang > 0) {
        // The sheet part, without quotes ('' is one quote) or a workbook.
        XCHAR raw[EXCEL_JOBS_REF_UNITS], name[EXCEL_JOBS_REF_UNITS];
        int k = cells_skip_book(s, bang, raw), m = 0;
        int quoted = k >= 2 && raw[0] == '\'' && raw[k - 1] == '\'';
        for (int i = quoted; i < k - quoted; i++) {
            if (quoted && raw[i] == '\'' && i + 1 < k - quoted && raw[i + 1] == '\'') i++;
            name[m++] = raw[i];
        }
        if (cells_sheet_exists(name, m) == 0) {
            cells_fail(c, EXCEL_JOBS_BAD_INPUT, "no such sheet in the active workbook");
            return;
        }
    }
    cells_fail(c, EXCEL_JOBS_BAD_INPUT,
               "not a reference Excel understands (A1 style such as Sheet1!A1:C10, or a defined name)");
}

// The one rectangle of a reference, or null.
XLREF12 *cells_area(XLOPER12 *ref) {
    if ((ref->xltype & 0x0FFF) == xltypeSRef) return &ref->val.sref.ref;
    if ((ref->xltype & 0x0FFF) == xltypeRef && ref->val.mref.lpmref && ref->val.mref.lpmref->count == 1)
        return &ref->val.mref.lpmref->reftbl[0];
    return nullptr;
}

// Resolves c->ref into `ref` (Excel's; cells_xlfree it). 1 with one
// rectangle; 0 with the reason in `c`.
int cells_resolve(excel_jobs_cells *c, XLOPER12 *ref) {
    XLOPER12 text = cells_text(c->ref), a1 = cells_bool(1);
    memset(ref, 0, sizeof *ref);
    int rc = Excel12(xlfTextref, ref, 2, &text, &a1);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlfTextref (code %d)", rc);
        return 0;
    }
    DWORD_XL type = ref->xltype & 0x0FFF;
    if (type != xltypeRef && type != xltypeSRef) {
        cells_xlfree(ref);
        cells_explain_bad_ref(c);
        return 0;
    }
    if (!cells_area(ref)) {
        cells_xlfree(ref);
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "the reference has several areas; give one rectangle");
        return 0;
    }
    return 1;
}

long cells_rows(const XLREF12 *a) { return (long)a->rwLast - a->rwFirst + 1; }
long cells_cols(const XLREF12 *a) { return (long)a->colLast - a->colFirst + 1; }

void cells_read(excel_jobs_cells *c) {
    XLOPER12 ref;
    if (!cells_resolve(c, &ref)) return;
    XLREF12 *a = cells_area(&ref);
    long rows = cells_rows(a), cols = cells_cols(a);
    // A whole sheet is 2^34 cells: beyond a 32-bit long.
    long long cells = (long long)rows * cols;
    if (cells > EXCEL_JOBS_MAX_CELLS) {
        cells_xlfree(&ref);
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "%ld x %ld is %lld cells, more than the 1,000,000 one request may read",
                   rows, cols, cells);
        return;
    }
    XLOPER12 as_multi = cells_int((int)xltypeMulti), got;
    memset(&got, 0, sizeof got);
    int rc = Excel12(xlCoerce, &got, 2, &ref, &as_multi);
    cells_xlfree(&ref);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlCoerce (code %d)", rc);
        return;
    }
    int ok;
    if ((got.xltype & 0x0FFF) == xltypeMulti && got.val.array.lparray)
        ok = cells_take_values(c, got.val.array.lparray, got.val.array.rows, got.val.array.columns);
    else
        ok = cells_take_values(c, &got, 1, 1);
    cells_xlfree(&got);
    if (!ok) cells_fail(c, EXCEL_JOBS_REFUSED, "out of memory while copying the values");
}

void cells_write(excel_jobs_cells *c) {
    if (c->rows < 1 || c->cols < 1 || (long long)c->rows * c->cols > EXCEL_JOBS_MAX_CELLS || !c->values) {
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "between 1 and 1,000,000 values must be written");
        return;
    }
    XLOPER12 ref;
    if (!cells_resolve(c, &ref)) return;
    XLREF12 area = *cells_area(&ref);
    long rows = cells_rows(&area), cols = cells_cols(&area);
    if (rows == 1 && cols == 1 && (c->rows > 1 || c->cols > 1)) {
        // One cell names the top-left corner of the block.
        long last_row = (long)area.rwFirst + c->rows, last_col = (long)area.colFirst + c->cols;
        if (last_row > EXCEL_JOBS_GRID_ROWS || last_col > EXCEL_JOBS_GRID_COLS) {
            cells_xlfree(&ref);
            cells_fail(c, EXCEL_JOBS_BAD_INPUT,
                       "%ld x %ld values from row %ld, column %ld would end at row %ld, column %ld: beyond "
                       "Excel's grid of 1,048,576 rows x 16,384 columns",
                       c->rows, c->cols, (long)area.rwFirst + 1, (long)area.colFirst + 1, last_row, last_col);
            return;
        }
        area.rwLast = (RW)(last_row - 1);
        area.colLast = (COL)(last_col - 1);
    } else if (rows != c->rows || cols != c->cols) {
        cells_xlfree(&ref);
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "the reference is %ld x %ld cells but the values are %ld x %ld", rows,
                   cols, c->rows, c->cols);
        return;
    }
    // The target as our own record: Excel's is handed back first.
    XLMREF12 mref;
    XLOPER12 target;
    memset(&target, 0, sizeof target);
    if ((ref.xltype & 0x0FFF) == xltypeRef) {
        mref.count = 1;
        mref.reftbl[0] = area;
        target.xltype = xltypeRef;
        target.val.mref.lpmref = &mref;
        target.val.mref.idSheet = ref.val.mref.idSheet;
    } else {
        target.xltype = xltypeSRef;
        target.val.sref.count = 1;
        target.val.sref.ref = area;
    }
    cells_xlfree(&ref);
    XLOPER12 block, result;
    memset(&block, 0, sizeof block);
    block.xltype = xltypeMulti;
    block.val.array.lparray = c->values;
    block.val.array.rows = (RW)c->rows;
    block.val.array.columns = (COL)c->cols;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlSet, &result, 2, &target, &block);
    cells_xlfree(&result);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlSet (code %d)", rc);
        return;
    }
    c->changed = c->rows * c->cols;
}

void cells_formula(excel_jobs_cells *c) {
    if (!c->text) {
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "no formula text");
        return;
    }
    XLOPER12 ref;
    if (!cells_resolve(c, &ref)) return;
    XLREF12 *a = cells_area(&ref);
    if (cells_rows(a) != 1 || cells_cols(a) != 1) {
        cells_fail(c, EXCEL_JOBS_BAD_INPUT, "a formula goes into one cell; the reference is %ld x %ld cells",
                   cells_rows(a), cells_cols(a));
        cells_xlfree(&ref);
        return;
    }
    XLOPER12 text = cells_text(c->text), result;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlcFormula, &result, 2, &text, &ref);
    cells_xlfree(&ref);
    int refused = (result.xltype & 0x0FFF) == xltypeBool && !result.val.xbool;
    cells_xlfree(&result);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlcFormula (code %d)", rc);
        return;
    }
    if (refused) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel did not accept the formula");
        return;
    }
    c->changed = 1;
}

void cells_calculate(excel_jobs_cells *c) {
    XLOPER12 result;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlcCalculateNow, &result, 0);
    cells_xlfree(&result);
    if (rc != xlretSuccess) cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlcCalculateNow (code %d)", rc);
}

// A text of Excel's without its workbook part, as the job's 1 x 1 value.
int cells_take_bare_text(excel_jobs_cells *c, const XLOPER12 *s) {
    int n = s->val.str ? (unsigned short)s->val.str[0] : 0;
    XCHAR *bare = (XCHAR *)malloc(((size_t)n + 2) * sizeof(XCHAR));
    if (!bare) return 0;
    int k = s->val.str ? cells_skip_book(s->val.str + 1, n, bare + 1) : 0;
    bare[0] = (XCHAR)k;
    bare[k + 1] = 0;
    XLOPER12 v = cells_text(bare);
    c->values = (XLOPER12 *)malloc(sizeof(XLOPER12));
    if (!c->values) {
        free(bare);
        return 0;
    }
    c->values[0] = v;
    c->rows = c->cols = 1;
    return 1;
}

void cells_sheets(excel_jobs_cells *c) {
    XLOPER12 which = cells_int(1), list;
    memset(&list, 0, sizeof list);
    int rc = Excel12(xlfGetWorkbook, &list, 1, &which);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlfGetWorkbook (code %d)", rc);
        return;
    }
    DWORD_XL type = list.xltype & 0x0FFF;
    long count = type == xltypeMulti && list.val.array.lparray ? (long)list.val.array.rows * list.val.array.columns
                 : type == xltypeStr                           ? 1
                                                               : 0;
    if (!count) {
        cells_xlfree(&list);
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel answered xlfGetWorkbook without sheet names");
        return;
    }
    const XLOPER12 *names = type == xltypeMulti ? list.val.array.lparray : &list;
    c->values = (XLOPER12 *)calloc((size_t)count, sizeof(XLOPER12));
    int ok = c->values != nullptr;
    if (ok) {
        c->rows = 1;
        c->cols = count;
    }
    for (long i = 0; ok && i < count; i++) {
        if ((names[i].xltype & 0x0FFF) != xltypeStr || !names[i].val.str) {
            c->values[i].xltype = xltypeNil;
            continue;
        }
        int n = (unsigned short)names[i].val.str[0];
        XCHAR *bare = (XCHAR *)malloc(((size_t)n + 2) * sizeof(XCHAR));
        if (!bare) {
            ok = 0;
            break;
        }
        int k = cells_skip_book(names[i].val.str + 1, n, bare + 1);
        bare[0] = (XCHAR)k;
        bare[k + 1] = 0;
        c->values[i] = cells_text(bare);
    }
    cells_xlfree(&list);
    if (!ok) cells_fail(c, EXCEL_JOBS_REFUSED, "out of memory while copying the sheet names");
}

void cells_selection(excel_jobs_cells *c) {
    XLOPER12 sel, text, a1 = cells_bool(1);
    memset(&sel, 0, sizeof sel);
    int rc = Excel12(xlfSelection, &sel, 0);
    if (rc != xlretSuccess) {
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlfSelection (code %d)", rc);
        return;
    }
    DWORD_XL type = sel.xltype & 0x0FFF;
    if (type != xltypeRef && type != xltypeSRef) {
        cells_xlfree(&sel);
        cells_fail(c, EXCEL_JOBS_REFUSED, "the selection is not a range of cells (an object or chart is selected)");
        return;
    }
    memset(&text, 0, sizeof text);
    rc = Excel12(xlfReftext, &text, 2, &sel, &a1);
    cells_xlfree(&sel);
    if (rc != xlretSuccess || (text.xltype & 0x0FFF) != xltypeStr) {
        cells_xlfree(&text);
        cells_fail(c, EXCEL_JOBS_REFUSED, "Excel refused xlfReftext (code %d)", rc);
        return;
    }
    int ok = cells_take_bare_text(c, &text);
    cells_xlfree(&text);
    if (!ok) cells_fail(c, EXCEL_JOBS_REFUSED, "out of memory while copying the selection");
}

}  // namespace

excel_jobs_cells *excel_jobs_cells_new(int op) {
    excel_jobs_cells *c = (excel_jobs_cells *)calloc(1, sizeof(excel_jobs_cells));
    if (c) c->op = op;
    return c;
}

void excel_jobs_cells_free(void *cells) {
    excel_jobs_cells *c = (excel_jobs_cells *)cells;
    if (!c) return;
    if (c->values) {
        for (long i = 0; i < c->rows * c->cols; i++)
            if ((c->values[i].xltype & 0x0FFF) == xltypeStr) free(c->values[i].val.str);
        free(c->values);
    }
    free(c->text);
    free(c);
}

int excel_jobs_cells_run(void *cells) {
    excel_jobs_cells *c = (excel_jobs_cells *)cells;
    c->status = EXCEL_JOBS_DONE;
    c->message[0] = 0;
    switch (c->op) {
    case EXCEL_JOBS_READ: cells_read(c); break;
    case EXCEL_JOBS_WRITE: cells_write(c); break;
    case EXCEL_JOBS_FORMULA: cells_formula(c); break;
    case EXCEL_JOBS_CALCULATE: cells_calculate(c); break;
    case EXCEL_JOBS_SHEETS: cells_sheets(c); break;
    case EXCEL_JOBS_SELECTION: cells_selection(c); break;
    default: cells_fail(c, EXCEL_JOBS_BAD_INPUT, "unknown request %d", c->op);
    }
    return 1;
}
