// The cost of a worksheet call through its exported slot, against the same
// Python call made directly through the C API (the baseline): taking the
// lock, building the argument tuple, calling, converting the result,
// releasing; and against the same call with its arguments in an array
// (direct_add_vectorcall), as the slot makes it. Run from an optimised build:
//
//     cmake --preset release
//     cmake --build --preset release --target bench_slot_call && build/release/bench_slot_call
//
// The interpreter starts from the Python home assembled in the build tree
// ($TINDRAL_TEST_PYTHON_HOME overrides it).
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_python.h"
#include "func_registry_internal.h"
#include "python_runtime.h"
#include "text_utf16.h"

namespace {

PyObject *add_fn;   // def add(a, b): return a + b
PyObject *text_fn;  // def text(): return a 20-character str

bool bench_start_python() {
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

BENCHMARK(direct_add);
BENCHMARK(direct_add_vectorcall);
BENCHMARK(slot_add);
BENCHMARK(direct_text);
BENCHMARK(slot_text);

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
