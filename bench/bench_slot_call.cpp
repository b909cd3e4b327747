// The cost of a worksheet call through its exported slot, against the same
// Python call made directly through the C API (the baseline): taking the
// lock, building the argument tuple, calling, converting the result,
// releasing; and against the same call with its arguments in an array
// (direct_add_vectorcall), as the slot makes it. Run from an optimised build:
//
//     cmake --preset release
//     cmake --build --preset release --target bench_slot_call && build/release/bench_slot_call
//
// Text and dates at the conversion alone, the lock held across the loop:
// a text argument of N characters from Excel's UTF-16 (text_arg) against
// PyUnicode_DecodeUTF16 of the same units; a text result (text_result)
// against copying the str's own storage into an owned counted text; a
// datetime result (date_result) against reading its fields and computing
// the serial inline. The texts are Latin-1 but not ASCII, the storage most
// worksheet text has.
//
// While an error is kept for some cell, every success asks Excel for its
// own cell, to clear a record there: slot_add_while_an_error_is_kept is
// slot_add with one record kept elsewhere, against an in-process Excel that
// answers xlfCaller and xlSheetNm at once (a real Excel's callbacks cost
// more: this is the add-in's own share).
//
// The interpreter starts from the Python home assembled in the build tree
// ($TINDRAL_TEST_PYTHON_HOME overrides it).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench_python.h"
#include "func_registry_internal.h"
#include "python_runtime.h"
#include "text_utf16.h"

namespace {

PyObject *add_fn;   // def add(a, b): return a + b
PyObject *text_fn;  // def text(): return a 20-character str

// The in-process Excel: xlfCaller is the cell B3 of sheet 1, xlSheetNm its
// name, xlFree gives nothing back (the answers are static).
XLMREF12 bench_caller_area = {1, {{2, 2, 1, 1}}};
XCHAR bench_sheet_name[] = {13, '[', 'B', 'o', 'o', 'k', '1', ']', 'S', 'h', 'e', 'e', 't', '1', 0};

int bench_excel(int xlfn, int, LPXLOPER12 *, LPXLOPER12 result) {
    if (!result) return xlretSuccess;
    memset(result, 0, sizeof *result);
    if (xlfn == xlfCaller) {
        result->xltype = xltypeRef;
        result->val.mref.lpmref = &bench_caller_area;
        result->val.mref.idSheet = 1;
    } else if (xlfn == xlSheetNm) {
        result->xltype = xltypeStr;
        result->val.str = bench_sheet_name;
    }
    return xlretSuccess;
}

void *bench_symbol(plat_module module, const char *name) {
    if (strcmp(name, "MdCallBack12") == 0) return (void *)&bench_excel;
    return plat_defaults.library_symbol(module, name);
}

bool bench_start_python() {
    plat.library_symbol = bench_symbol;
    if (!bench_python_start("def add(a, b):\n    return a + b\n"
                            "def text():\n    return 'twenty characters!!'\n"))
        return false;
    add_fn = bench_python_bind(0, "add", 2);
    text_fn = bench_python_bind(1, "text", 0);
    // From here on every call takes and gives back the lock, as after xlAutoOpen.
    python_runtime_release_start_lock();
    return add_fn && text_fn;
}

void slot_add(benchmark::State &state) {
    XLOPER12 a = bench_num(1.5), b = bench_num(2.25), m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    for (auto _ : state) {
        XLOPER12 *r = func_registry_slot_entries[0](&a, &b, &m, &m, &m, &m, &m, &m, &m, &m);
        benchmark::DoNotOptimize(r->val.num);
    }
}

// A success while another cell's error is kept: one xlfCaller, one
// xlSheetNm and a lookup in the add-in's index of cells with records; Python
// is not entered for it.
void slot_add_while_an_error_is_kept(benchmark::State &state) {
    XLOPER12 a = bench_num(1.5), b = bench_num(2.25), m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    func_registry_error_cells_add("[Book1]Sheet1!$Z$99");
    func_registry_error_cells_total(1);
    for (auto _ : state) {
        XLOPER12 *r = func_registry_slot_entries[0](&a, &b, &m, &m, &m, &m, &m, &m, &m, &m);
        benchmark::DoNotOptimize(r->val.num);
    }
    func_registry_error_cells_total(0);
}

void direct_add(benchmark::State &state) {
    XLOPER12 out;
    for (auto _ : state) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        PyObject *args = pyapi.PyTuple_New(2);
        pyapi.PyTuple_SetItem(args, 0, pyapi.PyFloat_FromDouble(1.5));
        pyapi.PyTuple_SetItem(args, 1, pyapi.PyFloat_FromDouble(2.25));
        PyObject *res = pyapi.PyObject_Call(add_fn, args, nullptr);
        pyapi.Py_DecRef(args);
        out.xltype = xltypeNum;
        out.val.num = pyapi.PyFloat_AsDouble(res);
        pyapi.Py_DecRef(res);
        pyapi.PyGILState_Release(g);
        benchmark::DoNotOptimize(out.val.num);
    }
}

// The cheapest direct call there is: the arguments as an array, no tuple.
// The slot calls this way too, so slot_add over this is what the slot adds.
void direct_add_vectorcall(benchmark::State &state) {
    XLOPER12 out;
    for (auto _ : state) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        PyObject *argv[3] = {nullptr, pyapi.PyFloat_FromDouble(1.5), pyapi.PyFloat_FromDouble(2.25)};
        PyObject *res = pyapi.PyObject_Vectorcall(add_fn, argv + 1, 2 | PYAPI_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        pyapi.Py_DecRef(argv[1]);
        pyapi.Py_DecRef(argv[2]);
        out.xltype = xltypeNum;
        out.val.num = pyapi.PyFloat_AsDouble(res);
        pyapi.Py_DecRef(res);
        pyapi.PyGILState_Release(g);
        benchmark::DoNotOptimize(out.val.num);
    }
}

void slot_text(benchmark::State &state) {
    XLOPER12 m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    for (auto _ : state) {
        XLOPER12 *r = func_registry_slot_entries[1](&m, &m, &m, &m, &m, &m, &m, &m, &m, &m);
        benchmark::DoNotOptimize(r->val.str);
        xlAutoFree12(r);  // Excel hands each text back
    }
}

void direct_text(benchmark::State &state) {
    for (auto _ : state) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        PyObject *args = pyapi.PyTuple_New(0);
        PyObject *res = pyapi.PyObject_Call(text_fn, args, nullptr);
        pyapi.Py_DecRef(args);
        Py_ssize_t n = 0;
        wchar_t *w = pyapi.PyUnicode_AsWideCharString(res, &n);
        XCHAR *buf = (XCHAR *)malloc((size_t)(n + 2) * sizeof(XCHAR));
        buf[0] = (XCHAR)text_utf16_from_wide(w, (size_t)n, buf + 1, (int)n);
        pyapi.PyMem_Free(w);
        pyapi.Py_DecRef(res);
        pyapi.PyGILState_Release(g);
        benchmark::DoNotOptimize(buf);
        free(buf);
    }
}

// N characters of worksheet-like Latin-1 text (one byte a character in Python).
std::u16string latin_text(size_t n) {
    const char16_t pattern[] = u"Gr\u00fc\u00dfe aus K\u00f6ln, 12,50 \u00e0 la carte; ";
    std::u16string t;
    while (t.size() < n) t += pattern;
    t.resize(n);
    return t;
}

// The lock for one benchmark's whole loop.
struct bench_gil {
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    ~bench_gil() { pyapi.PyGILState_Release(g); }
};

void text_arg_slot(benchmark::State &state) {
    std::u16string units = u" " + latin_text((size_t)state.range(0));
    units[0] = (char16_t)(units.size() - 1);
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeStr;
    x.val.str = (XCHAR *)units.data();
    bench_gil gil;
    for (auto _ : state) {
        PyObject *s = func_registry_xloper_to_py(&x);
        benchmark::DoNotOptimize(s);
        pyapi.Py_DecRef(s);
    }
}

void text_arg_direct(benchmark::State &state) {
    std::u16string units = latin_text((size_t)state.range(0));
    bench_gil gil;
    for (auto _ : state) {
        int order = -1;
        PyObject *s = pyapi.PyUnicode_DecodeUTF16((const char *)units.data(), (Py_ssize_t)units.size() * 2,
                                                 nullptr, &order);
        benchmark::DoNotOptimize(s);
        pyapi.Py_DecRef(s);
    }
}

// A str made from `units`; new reference.
PyObject *bench_str(const std::u16string &units) {
    int order = -1;
    return pyapi.PyUnicode_DecodeUTF16((const char *)units.data(), (Py_ssize_t)units.size() * 2, nullptr, &order);
}

void text_result_slot(benchmark::State &state) {
    bench_gil gil;
    PyObject *s = bench_str(latin_text((size_t)state.range(0)));
    XLOPER12 r;
    for (auto _ : state) {
        func_registry_py_to_xloper(s, &r);
        benchmark::DoNotOptimize(r.val.str);
        func_registry_release_result(&r);
    }
    pyapi.Py_DecRef(s);
}

// The floor: the characters where the str keeps them (a compact non-ASCII
// str's one-byte characters begin 56 bytes in, as PyUnicode_DATA finds
// them), widened into a fresh counted text.
void text_result_direct(benchmark::State &state) {
    bench_gil gil;
    size_t n = (size_t)state.range(0);
    PyObject *s = bench_str(latin_text(n));
    const unsigned char *data = reinterpret_cast<const unsigned char *>(s) + 56;
    for (auto _ : state) {
        XCHAR *buf = (XCHAR *)malloc((n + 2) * sizeof(XCHAR));
        for (size_t i = 0; i < n; i++) buf[i + 1] = data[i];
        buf[0] = (XCHAR)n;
        buf[n + 1] = 0;
        benchmark::DoNotOptimize(buf);
        free(buf);
    }
    pyapi.Py_DecRef(s);
}

PyObject *bench_datetime(void) {
    PyObject *module = pyapi.PyImport_ImportModule("datetime");
    PyObject *cls = pyapi.PyObject_GetAttrString(module, "datetime");
    PyObject *args = pyapi.PyTuple_New(7);
    const long fields[7] = {2024, 1, 15, 18, 30, 15, 250001};
    for (int i = 0; i < 7; i++) pyapi.PyTuple_SetItem(args, i, pyapi.PyLong_FromLong(fields[i]));
    PyObject *d = pyapi.PyObject_Call(cls, args, nullptr);
    pyapi.Py_DecRef(args);
    pyapi.Py_DecRef(cls);
    pyapi.Py_DecRef(module);
    return d;
}

void date_result_slot(benchmark::State &state) {
    bench_gil gil;
    PyObject *d = bench_datetime();
    XLOPER12 r;
    for (auto _ : state) {
        func_registry_py_to_xloper(d, &r);
        benchmark::DoNotOptimize(r.val.num);
    }
    pyapi.Py_DecRef(d);
}

// The floor: the fields where the object keeps them (PyDateTime_GET_YEAR and
// the others read 25 bytes in) and the serial computed from them.
void date_result_direct(benchmark::State &state) {
    bench_gil gil;
    PyObject *d = bench_datetime();
    const unsigned char *f = reinterpret_cast<const unsigned char *>(d) + 25;
    static constexpr int before_month[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    for (auto _ : state) {
        benchmark::DoNotOptimize(f);
        long y = (f[0] << 8 | f[1]) - 1;
        int m = f[2];
        long days = y * 365 + y / 4 - y / 100 + y / 400 + before_month[m] + f[3];
        if (m > 2 && (y + 1) % 4 == 0 && ((y + 1) % 100 != 0 || (y + 1) % 400 == 0)) days++;
        double v = (double)(days - 693594) +
                   ((double)(f[4] * 3600 + f[5] * 60 + f[6]) + (double)(f[7] << 16 | f[8] << 8 | f[9]) / 1e6) / 86400.0;
        benchmark::DoNotOptimize(v);
    }
    pyapi.Py_DecRef(d);
}

BENCHMARK(direct_add);
BENCHMARK(direct_add_vectorcall);
BENCHMARK(slot_add);
BENCHMARK(slot_add_while_an_error_is_kept);
BENCHMARK(direct_text);
BENCHMARK(slot_text);
BENCHMARK(text_arg_direct)->Arg(1000)->Arg(32767);
BENCHMARK(text_arg_slot)->Arg(1000)->Arg(32767);
BENCHMARK(text_result_direct)->Arg(1000)->Arg(32767);
BENCHMARK(text_result_slot)->Arg(1000)->Arg(32767);
BENCHMARK(date_result_direct);
BENCHMARK(date_result_slot);

}  // namespace

int main(int argc, char **argv) {
    if (!bench_start_python()) {
        fprintf(stderr, "bench_slot_call: cannot start Python (is the python-home assembled?)\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
