// Arrays on the slot call path. Two comparisons, each read as a ratio of two
// benchmarks of the same run:
//
//   sum_column/array  vs  sum_column/scalar_calls
//       one slot call summing a 100,000-cell column, against 100,000 slot
//       calls of the same function with one cell each;
//   sum_column/array  vs  sum_column/direct
//       the same array call, against building the same list of one-element
//       rows directly against the C API and calling the function: the floor
//       for any conversion that hands Python a column as a list of rows, and
//       so the best ratio to the scalar calls such a conversion can reach;
//   array_in_out/slot vs  array_in_out/direct
//       a 1,000 x 100 numeric range converted to a list of rows and a list of
//       rows converted back to an array result, against the same two
//       conversions written directly against the C API (PyList_New and
//       PyFloat_FromDouble; PyList_GetItem and PyFloat_AsDouble into a
//       preallocated XLOPER12 array).
//
// Run from an optimised build:
//
//     cmake --preset release
//     cmake --build --preset release --target bench_arrays && build/release/bench_arrays
//
// The interpreter starts from $TINDRAL_TEST_PYTHON_HOME, else the Python home
// assembled in the build tree (scripts/make_python_home.py --out DIR).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_python.h"
#include "func_registry_internal.h"
#include "python_runtime.h"

namespace {

constexpr long COLUMN_CELLS = 100000;
constexpr long GRID_ROWS = 1000, GRID_COLS = 100;

bool bench_start_python() {
    // One function for both ways of calling: a range is summed, a number
    // comes back as it is (the sheet would add up the 100,000 cells).
    if (!bench_python_start("from itertools import chain\n"
                            "def total(r):\n"
                            "    if type(r) is list:\n"
                            "        return sum(chain.from_iterable(r))\n"
                            "    return r\n"))
        return false;
    PyObject *total = bench_python_bind(0, "total", 1);
    python_runtime_release_start_lock();
    return total != nullptr;
}

XLOPER12 multi(std::vector<XLOPER12> &cells, long rows, long cols) {
    cells.resize((size_t)(rows * cols));
    for (size_t i = 0; i < cells.size(); i++) cells[i] = bench_num((double)(i % 1000) * 0.5);
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeMulti;
    x.val.array.lparray = cells.data();
    x.val.array.rows = (RW)rows;
    x.val.array.columns = (COL)cols;
    return x;
}

void sum_column_array(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 column = multi(cells, COLUMN_CELLS, 1), m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    for (auto _ : state) {
        XLOPER12 *r = func_registry_slot_entries[0](&column, &m, &m, &m, &m, &m, &m, &m, &m, &m);
        benchmark::DoNotOptimize(r->val.num);
    }
}

void sum_column_scalar_calls(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, COLUMN_CELLS, 1);
    XLOPER12 m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    for (auto _ : state) {
        double sum = 0;
        for (XLOPER12 &cell : cells)
            sum += func_registry_slot_entries[0](&cell, &m, &m, &m, &m, &m, &m, &m, &m, &m)->val.num;
        benchmark::DoNotOptimize(sum);
    }
}

void sum_column_direct(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, COLUMN_CELLS, 1);
    PyGILState_STATE g = pyapi.PyGILState_Ensure();
    PyObject *total = pyapi.PyObject_GetAttrString(pyapi.PyImport_AddModule("__main__"), "total");  // new ref
    pyapi.PyGILState_Release(g);
    for (auto _ : state) {
        g = pyapi.PyGILState_Ensure();
        int was_on = pyapi.PyGC_Disable();  // as the conversion does: no collection mid-build
        PyObject *rows = pyapi.PyList_New(COLUMN_CELLS);
        for (long r = 0; r < COLUMN_CELLS; r++) {
            PyObject *row = pyapi.PyList_New(1);
            pyapi.PyList_SetItem(row, 0, pyapi.PyFloat_FromDouble(cells[(size_t)r].val.num));
            pyapi.PyList_SetItem(rows, r, row);
        }
        if (was_on) pyapi.PyGC_Enable();
        PyObject *args = pyapi.PyTuple_New(1);
        pyapi.PyTuple_SetItem(args, 0, rows);
        PyObject *sum = pyapi.PyObject_Call(total, args, nullptr);
        benchmark::DoNotOptimize(pyapi.PyFloat_AsDouble(sum));
        pyapi.Py_DecRef(sum);
        pyapi.Py_DecRef(args);
        pyapi.PyGILState_Release(g);
    }
    g = pyapi.PyGILState_Ensure();
    pyapi.Py_DecRef(total);
    pyapi.PyGILState_Release(g);
}

void array_in_out_slot(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 grid = multi(cells, GRID_ROWS, GRID_COLS);
    for (auto _ : state) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        PyObject *rows = func_registry_xloper_to_py(&grid);  // new ref
        XLOPER12 out;
        func_registry_py_to_xloper(rows, &out);
        benchmark::DoNotOptimize(out.val.array.lparray);
        func_registry_release_result(&out);
        pyapi.Py_DecRef(rows);
        pyapi.PyGILState_Release(g);
    }
}

void array_in_out_direct(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, GRID_ROWS, GRID_COLS);
    for (auto _ : state) {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        PyObject *rows = pyapi.PyList_New(GRID_ROWS);
        for (long r = 0; r < GRID_ROWS; r++) {
            PyObject *row = pyapi.PyList_New(GRID_COLS);
            for (long c = 0; c < GRID_COLS; c++)
                pyapi.PyList_SetItem(row, c, pyapi.PyFloat_FromDouble(cells[(size_t)(r * GRID_COLS + c)].val.num));
            pyapi.PyList_SetItem(rows, r, row);
        }
        XLOPER12 *out = (XLOPER12 *)malloc((size_t)(GRID_ROWS * GRID_COLS) * sizeof(XLOPER12));
        for (long r = 0; r < GRID_ROWS; r++) {
            PyObject *row = pyapi.PyList_GetItem(rows, r);
            for (long c = 0; c < GRID_COLS; c++) {
                XLOPER12 *x = &out[r * GRID_COLS + c];
                x->xltype = xltypeNum;
                x->val.num = pyapi.PyFloat_AsDouble(pyapi.PyList_GetItem(row, c));
            }
        }
        benchmark::DoNotOptimize(out);
        free(out);
        pyapi.Py_DecRef(rows);
        pyapi.PyGILState_Release(g);
    }
}

BENCHMARK(sum_column_array)->Name("sum_column/array")->Unit(benchmark::kMillisecond);
BENCHMARK(sum_column_direct)->Name("sum_column/direct")->Unit(benchmark::kMillisecond);
BENCHMARK(sum_column_scalar_calls)->Name("sum_column/scalar_calls")->Unit(benchmark::kMillisecond);
BENCHMARK(array_in_out_direct)->Name("array_in_out/direct")->Unit(benchmark::kMillisecond);
BENCHMARK(array_in_out_slot)->Name("array_in_out/slot")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    if (!bench_start_python()) {
        fprintf(stderr, "bench_arrays: cannot start Python (is the python-home assembled?)\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
