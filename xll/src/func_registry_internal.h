// Private to the func_registry module: the registry's state and the steps its
// files share (loader, pass, Excel registration, slot call path). Unit tests
// include it to drive those steps one by one.
#pragma once

#include "func_registry.h"
#include "pyapi.h"
#include "xlcall.h"
#include "xll_export.h"

// Names stored in a slot: at most 127 UTF-8 bytes and a terminator.
constexpr int FUNC_NAME_CAP = 128;
// Excel accepts function names of at most this many characters.
constexpr int FUNC_EXCEL_NAME_MAX = 255;
// A slot entry point receives exactly this many argument pointers.
constexpr int FUNC_MAX_ARGS = 10;
// Excel keeps a text's length in one 16-bit unit and allows this many.
constexpr int FUNC_TEXT_MAX_UNITS = 32767;

struct func_slot {
    char name[FUNC_NAME_CAP];  // name as listed in _registry, cut to 127 bytes
    int arity;                 // argument count registered with Excel; never changes
    PyObject *callable;        // owned reference; null only in a free slot
    int registered;            // 1 once Excel accepted the slot; 0 while pending
    XLOPER12 result;           // the slot's answer, rebuilt by each of its calls
};

// The registry's process-wide record. Written on Excel's main thread only;
// the Python references in `slots` are touched only with the GIL held.
struct func_registry_state {
    func_slot slots[FUNC_SLOT_COUNT];        // the slot table, func_slots
    int slot_count;                          // slots in use, func_slot_count
    wchar_t xll_dir[PLAT_MAX_PATH];          // registry's copy of the add-in folder
    log_fn log;                              // func_registry_log; null means silence
    plat_module module;                      // the add-in module every registration names; from init
};
extern func_registry_state func_registry;

// The registration pass over tindral_xl._registry. 1 when the pass ran, 0 when
// it could not start (interpreter down, package or list missing). GIL held.
int func_registry_register_all(void);

// Registers slot `slot` with Excel under `name`. 1 when Excel accepted (the
// slot's flag is then 1), 0 otherwise; logs either way. Main thread.
int func_registry_register_slot(int slot, const char *name, int arity, const char *procedure);

// Exports Excel calls: the retry command (registered as "A#"; 1, or 0 when a
// C++ exception ended it) and the release of a result that carries
// xlbitDLLFree. Main thread.
XLL_EXPORT int xll_register_pending(void);
XLL_EXPORT void xlAutoFree12(LPXLOPER12 p);

// A slot entry point, and all of them in slot order (for tests and benchmarks
// that call a slot the way Excel does).
typedef LPXLOPER12 (*func_registry_slot_fn)(LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12,
                                  LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12);
extern const func_registry_slot_fn func_registry_slot_entries[];

// The body of every xll_slot_N: calls slot `slot` (0 to 63) with the first
// `arity` of its ten arguments. Never null; takes and releases the GIL itself,
// also when a C++ exception passes through.
LPXLOPER12 func_registry_slot_dispatch(int slot, LPXLOPER12 *args);

// The slot's result record reset to #VALUE! (a text Excel did not hand back
// is freed first): the answer of an entry point whose call threw.
LPXLOPER12 func_registry_slot_failed(int slot);

// An Excel argument as a Python object; `x` may be null. New reference, or
// null only when Python could not make the object (error indicator set).
// GIL held.
PyObject *func_registry_xloper_to_py(const XLOPER12 *x);

// Fills `out` from `o` (may be null). 1 when `out` holds the value; 0 when a
// Python error occurred while converting (indicator left set for the caller,
// `out` is #VALUE!). Never leaves an error of its own making behind on 1.
// A text or array result owns malloc'd memory and carries xlbitDLLFree; give
// it back with func_registry_release_result. GIL held.
int func_registry_py_to_xloper(PyObject *o, XLOPER12 *out);

// --- Arrays and dates (func_registry_arrays.cpp) -------------------------------------

// Excel's grid, and the element cap that keeps one array result's block (its
// records and texts) within FUNC_ARRAY_MAX_BYTES: beyond any of them, #NUM!.
constexpr long FUNC_ARRAY_MAX_ROWS = 1048576;
constexpr long FUNC_ARRAY_MAX_COLUMNS = 16384;
constexpr size_t FUNC_ARRAY_MAX_BYTES = (size_t)64 << 20;
constexpr long FUNC_ARRAY_MAX_ELEMENTS = (long)(FUNC_ARRAY_MAX_BYTES / sizeof(XLOPER12));

// An xltypeMulti argument as a list of rows, each a list of elements by the
// scalar rules (a malformed record, logged, is None). New reference, or null
// with the error set. GIL held.
PyObject *func_registry_array_to_py(const XLOPER12 *x);

// A list or tuple result `o` as xltypeMulti | xlbitDLLFree: a table when every
// item is a list or tuple (short rows padded with #N/A), otherwise one row;
// #N/A when empty; #NUM! (logged) beyond the limits above. The records and
// every text element live in one malloc'd block at `lparray`. Returns as
// func_registry_py_to_xloper does. GIL held.
int func_registry_array_result(PyObject *o, XLOPER12 *out);

// 1 when objects of `type` are datetime.date or datetime.datetime (or of a
// subclass). The types are fetched on the first call. GIL held.
int func_registry_is_date(PyObject *type);

// A date or datetime `o` (of `type`) as its Excel serial number: 1900 date
// system, 1900-01-01 is 1 and 1900-03-01 is 61; the wall-clock time is the
// fraction. Before 1900 it is #NUM!. Returns as func_registry_py_to_xloper does. GIL held.
int func_registry_date_result(PyObject *o, PyObject *type, XLOPER12 *out);

// Frees what a result record carrying xlbitDLLFree owns (a text buffer, or an
// array's block) and nulls the pointer; the caller clears or rebuilds the
// type. Call once per result.
void func_registry_release_result(XLOPER12 *x);
