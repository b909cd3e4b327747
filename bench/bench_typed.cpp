// Typed arguments on the slot call path, and the ratios they are held to,
// each read from two benchmarks of the same run and printed at the end:
//
//   convert/list_of_rows  / convert/array      a 100,000-cell numeric column
//       converted to today's list of rows, against converting it to an
//       Array argument (one buffer of doubles behind a memoryview): >= 100;
//   convert/array         / convert/c_copy     the Array conversion against a
//       plain C copy of the same doubles into a fresh buffer: <= 2;
//   sum_column/scalar_calls / sum_column/array 100,000 slot calls of an
//       unannotated one-argument function, against one slot call summing the
//       column given as an Array (sum(x.cast('B').cast('d'))): >= 8;
//   block/slot            / block/c_copy       a 1,000 x 100 range in as an
//       Array and straight back out as a buffer result (through the slot
//       entry point, the result handed back with xlAutoFree12), against a
//       plain C copy in and out of the same doubles: <= 2;
//   scalars/typed         / scalars/untyped    a slot call with a float, an
//       int and a str parameter annotated, against the same unannotated
//       function: <= 1.1.
//
// The ratios use CPU time (see bench_ratio_reporter). Run from an optimised
// build:
//
//     cmake --preset release
//     cmake --build --preset release --target bench_typed
//     build/release/bench_typed --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// (with repetitions, the ratios are of the medians; interleaving spreads the
// machine's other load over all benchmarks alike).
//
// The interpreter starts from $TINDRAL_TEST_PYTHON_HOME, else the Python home
// assembled in the build tree (scripts/make_python_home.py --out DIR).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_python.h"
#include "func_registry_internal.h"
#include "python_runtime.h"

namespace {

constexpr long COLUMN_CELLS = 100000;
constexpr long GRID_ROWS = 1000, GRID_COLS = 100;

enum bench_slot { SLOT_TOTAL, SLOT_SAME, SLOT_IDENT, SLOT_TYPED3, SLOT_UNTYPED3 };

// Kinds as the pass stores them for an annotated function.
void bench_kinds(int slot, std::initializer_list<unsigned> kinds) {
    func_slot *s = &func_registry.slots[slot];
    int i = 0;
    for (unsigned k : kinds) s->kinds[i++] = (unsigned char)k;
    s->typed = 1;
}

bool bench_start_python() {
    if (!bench_python_start("def total(x):\n"
                            "    return sum(x.cast('B').cast('d'))\n"
                            "def same(x):\n"
                            "    return x\n"
                            "def ident(x):\n"
                            "    return x\n"
                            "def typed3(a, b, c):\n"
                            "    return a\n"
                            "def untyped3(a, b, c):\n"
                            "    return a\n"))
        return false;
    bool ok = bench_python_bind(SLOT_TOTAL, "total", 1) && bench_python_bind(SLOT_SAME, "same", 1) &&
              bench_python_bind(SLOT_IDENT, "ident", 1) && bench_python_bind(SLOT_TYPED3, "typed3", 3) &&
              bench_python_bind(SLOT_UNTYPED3, "untyped3", 3);
    bench_kinds(SLOT_TOTAL, {FUNC_KIND_ARRAY});
    bench_kinds(SLOT_SAME, {FUNC_KIND_ARRAY});
    bench_kinds(SLOT_TYPED3, {FUNC_KIND_FLOAT, FUNC_KIND_INT, FUNC_KIND_STR});
    python_runtime_release_start_lock();
    return ok;
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

XLOPER12 missing() {
    XLOPER12 m;
    memset(&m, 0, sizeof m);
    m.xltype = xltypeMissing;
    return m;
}

LPXLOPER12 call1(int slot, XLOPER12 *a) {
    XLOPER12 m = missing();
    return func_registry_slot_entries[slot](a, &m, &m, &m, &m, &m, &m, &m, &m, &m);
}

// What every buffer conversion at least does: read each record's number
// into a fresh buffer of doubles.
double *c_copy_in(const std::vector<XLOPER12> &cells) {
    double *d = static_cast<double *>(malloc(cells.size() * sizeof(double)));
    for (size_t i = 0; i < cells.size(); i++) d[i] = cells[i].xltype == xltypeNum ? cells[i].val.num : NAN;
    return d;
}

void convert_list_of_rows(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 column = multi(cells, COLUMN_CELLS, 1);
    for (auto _ : state) {
        pyapi_gil gil;
        PyObject *rows = func_registry_xloper_to_py(&column);  // new reference
        benchmark::DoNotOptimize(rows);
        pyapi.Py_DecRef(rows);
    }
}

void convert_array(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 column = multi(cells, COLUMN_CELLS, 1);
    char why[200];
    int error;
    for (auto _ : state) {
        pyapi_gil gil;
        PyObject *view = func_registry_typed_arg(FUNC_KIND_ARRAY, &column, nullptr, &error, why, sizeof why);  // new reference
        benchmark::DoNotOptimize(view);
        pyapi.Py_DecRef(view);
    }
}

void convert_c_copy(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, COLUMN_CELLS, 1);
    for (auto _ : state) {
        double *d = c_copy_in(cells);
        benchmark::DoNotOptimize(d);
        benchmark::ClobberMemory();
        free(d);
    }
}

void sum_column_array(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 column = multi(cells, COLUMN_CELLS, 1);
    for (auto _ : state) benchmark::DoNotOptimize(call1(SLOT_TOTAL, &column)->val.num);
}

void sum_column_scalar_calls(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, COLUMN_CELLS, 1);
    for (auto _ : state) {
        double sum = 0;
        for (XLOPER12 &cell : cells) sum += call1(SLOT_IDENT, &cell)->val.num;
        benchmark::DoNotOptimize(sum);
    }
}

void block_slot(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    XLOPER12 grid = multi(cells, GRID_ROWS, GRID_COLS);
    for (auto _ : state) {
        LPXLOPER12 r = call1(SLOT_SAME, &grid);
        benchmark::DoNotOptimize(r->val.array.lparray);
        xlAutoFree12(r);  // as Excel hands the spilled block back
    }
}

void block_c_copy(benchmark::State &state) {
    std::vector<XLOPER12> cells;
    multi(cells, GRID_ROWS, GRID_COLS);
    for (auto _ : state) {
        double *d = c_copy_in(cells);
        XLOPER12 *out = static_cast<XLOPER12 *>(malloc(cells.size() * sizeof(XLOPER12)));
        for (size_t i = 0; i < cells.size(); i++) {
            memset(&out[i], 0, sizeof out[i]);
            out[i].xltype = xltypeNum;
            out[i].val.num = d[i];
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        free(out);
        free(d);
    }
}

struct three_args {
    XLOPER12 a, b, c, m;
    XCHAR text[6] = {4, 'a', 'b', 'c', 'd', 0};
    three_args() : a(bench_num(2.5)), b(bench_num(3)), c(missing()), m(missing()) {
        c.xltype = xltypeStr;
        c.val.str = text;
    }
};

void scalars_typed(benchmark::State &state) {
    three_args x;
    for (auto _ : state) {
        LPXLOPER12 r = func_registry_slot_entries[SLOT_TYPED3](&x.a, &x.b, &x.c, &x.m, &x.m, &x.m, &x.m, &x.m, &x.m, &x.m);
        benchmark::DoNotOptimize(r->val.num);
    }
}

void scalars_untyped(benchmark::State &state) {
    three_args x;
    for (auto _ : state) {
        LPXLOPER12 r = func_registry_slot_entries[SLOT_UNTYPED3](&x.a, &x.b, &x.c, &x.m, &x.m, &x.m, &x.m, &x.m, &x.m, &x.m);
        benchmark::DoNotOptimize(r->val.num);
    }
}

BENCHMARK(convert_list_of_rows)->Name("convert/list_of_rows")->Unit(benchmark::kMillisecond);
BENCHMARK(convert_array)->Name("convert/array")->Unit(benchmark::kMillisecond);
BENCHMARK(convert_c_copy)->Name("convert/c_copy")->Unit(benchmark::kMillisecond);
BENCHMARK(sum_column_scalar_calls)->Name("sum_column/scalar_calls")->Unit(benchmark::kMillisecond);
BENCHMARK(sum_column_array)->Name("sum_column/array")->Unit(benchmark::kMillisecond);
BENCHMARK(block_slot)->Name("block/slot")->Unit(benchmark::kMillisecond);
BENCHMARK(block_c_copy)->Name("block/c_copy")->Unit(benchmark::kMillisecond);
BENCHMARK(scalars_typed)->Name("scalars/typed")->Unit(benchmark::kNanosecond);
BENCHMARK(scalars_untyped)->Name("scalars/untyped")->Unit(benchmark::kNanosecond);

// The console report, with each benchmark's CPU time per iteration kept for
// the ratios: on a shared machine the wall clock also counts other
// processes' turns, the CPU time only this thread's work.
class bench_ratio_reporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    std::map<std::string, bool> from_median;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            std::string name = run.run_name.str();
            // With --benchmark_repetitions the median of the repetitions
            // stands; otherwise the one run.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds[name] = run.GetAdjustedCPUTime();
                from_median[name] = true;
            } else if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !from_median[name]) {
                seconds[name] = run.cpu_accumulated_time / (double)run.iterations;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void bench_print_ratio(const bench_ratio_reporter &r, const char *num, const char *den, const char *bound) {
    auto a = r.seconds.find(num), b = r.seconds.find(den);
    if (a == r.seconds.end() || b == r.seconds.end() || b->second <= 0) return;
    printf("%-24s / %-20s %8.2f   (%s)\n", num, den, a->second / b->second, bound);
}

}  // namespace

int main(int argc, char **argv) {
    if (!bench_start_python()) {
        fprintf(stderr, "bench_typed: cannot start Python (is the python-home assembled?)\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    bench_ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nratios of this run (CPU time):\n");
    bench_print_ratio(reporter, "convert/list_of_rows", "convert/array", "at least 100");
    bench_print_ratio(reporter, "convert/array", "convert/c_copy", "at most 2");
    bench_print_ratio(reporter, "sum_column/scalar_calls", "sum_column/array", "at least 8");
    bench_print_ratio(reporter, "block/slot", "block/c_copy", "at most 2");
    bench_print_ratio(reporter, "scalars/typed", "scalars/untyped", "at most 1.1");
    return 0;
}
