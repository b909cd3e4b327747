// The cost of a worksheet call through its exported slot, against the same
// Python call made directly through the C API (the baseline): taking the
// lock, building the argument tuple, calling, converting the result,
// releasing. Run from an optimised build:
//
//     cmake --preset release
//     cmake --build --preset release --target bench_slot_call && build/release/bench_slot_call
//
// The interpreter starts from the Python home assembled in the build tree
// ($TINDRAL_TEST_PYTHON_HOME overrides it).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "func_registry_internal.h"
#include "python_runtime.h"
#include "text_utf16.h"

namespace {

PyObject *add_fn;   // def add(a, b): return a + b
PyObject *text_fn;  // def text(): return a 20-character str

void bench_log(const char *) {}

bool bench_start_python() {
    const char *env = getenv("TINDRAL_TEST_PYTHON_HOME");
    std::string home = env && *env ? env : TINDRAL_BINARY_DIR "/python-home";
    char dir[] = "/tmp/tindral_bench_XXXXXX";
    if (!mkdtemp(dir)) return false;
    if (symlink(home.c_str(), (std::string(dir) + "/python").c_str()) != 0) return false;
    wchar_t wide[PLAT_MAX_PATH];
    mbstowcs(wide, dir, PLAT_MAX_PATH);
    python_runtime_set_xll_dir(wide);
    if (!python_runtime_init(bench_log)) return false;
    pyapi.PyRun_SimpleString("def add(a, b):\n    return a + b\n"
                             "def text():\n    return 'twenty characters!!'\n");
    PyObject *main = pyapi.PyImport_AddModule("__main__");  // borrowed
    add_fn = pyapi.PyObject_GetAttrString(main, "add");
    text_fn = pyapi.PyObject_GetAttrString(main, "text");
    func_slot *s = &func_registry.slots[0];
    strcpy(s->name, "add");
    s->arity = 2;
    s->callable = add_fn;
    pyapi.Py_IncRef(add_fn);
    s = &func_registry.slots[1];
    strcpy(s->name, "text");
    s->arity = 0;
    s->callable = text_fn;
    pyapi.Py_IncRef(text_fn);
    func_registry.slot_count = 2;
    // From here on every call takes and gives back the lock, as after xlAutoOpen.
    python_runtime_release_start_lock();
    return true;
}

XLOPER12 num(double v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeNum;
    x.val.num = v;
    return x;
}

void slot_add(benchmark::State &state) {
    XLOPER12 a = num(1.5), b = num(2.25), m;
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
