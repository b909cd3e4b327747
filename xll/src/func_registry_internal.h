// Private to the func_registry module: the registry's state and the steps its
// files share (loader, pass, Excel registration, slot call path). Unit tests
// include it to drive those steps one by one.
#pragma once

#include <atomic>

#include "func_registry.h"
#include "pyapi.h"
#include "xlcall.h"
#include "xll_export.h"

// Excel accepts function names of at most this many characters (UTF-16
// units, the length Excel counts); the package and the pass hold every name
// to it.
constexpr int FUNC_EXCEL_NAME_MAX = 255;
// Names stored in a slot, UTF-8: every name the pass admits (a character of
// one unit takes at most 3 bytes, a pair of units 4), so that the retry
// registers the very text the first pass did.
constexpr int FUNC_NAME_CAP = 3 * FUNC_EXCEL_NAME_MAX + 1;
// A slot entry point receives exactly this many argument pointers.
constexpr int FUNC_MAX_ARGS = 10;
// Excel keeps a text's length in one 16-bit unit and allows this many.
constexpr int FUNC_TEXT_MAX_UNITS = 32767;

// What became of a slot whose name a reload dropped.
enum func_slot_removal {
    FUNC_SLOT_BOUND = 0,   // bound to a function
    FUNC_SLOT_REMOVED = 1  // answers #NAME?; while `registered`, each tick tries xlfUnregister again
};

struct func_slot {
    char name[FUNC_NAME_CAP];  // name as listed in _registry
    int arity;                 // argument count Excel passes: registered, or to register
    PyObject *callable;        // owned reference; null in a free or removed slot
    // Owned reference to the package's marker for an omitted or empty
    // argument, passed in its place when the bound function carries it (as
    // _tindral_omitted: it applies parameter defaults); null otherwise.
    PyObject *omitted;
    int registered;            // 1 once Excel accepted the slot; 0 while pending
    int removed;               // a func_slot_removal
    double register_id;        // Excel's id of the accepted registration, for xlfUnregister
    int refusal;               // Excel's code of the last refused registration; 0 after a success
    int unregister_failures;   // refused xlfUnregister calls since the slot was removed
    // Cells the package's error store holds a record of for this slot's
    // function, as the store last said; while above 0 a success asks Excel
    // for its cell to clear that cell's record. Slot call path only.
    int errors_held;
    int is_async;              // 1 when the bound function is an `async def`: its calls return later
    int excel_async;           // 1 when Excel has the slot registered as asynchronous (">...X")
    XLOPER12 result;           // the slot's answer, rebuilt by each of its calls
};

// The registry's process-wide record, written by two threads: Excel's main
// thread (the first pass at xlAutoOpen, the tick's registrations) and any
// thread that runs the package's tindral_xl._native.sync() (a reload on the
// server's thread). The GIL guards every field of `slots` (but `result`, which
// only its slot's call path touches), `slot_count`, `outcomes` and `syncing`:
// each writer holds it, the slot call path and the native readers take it.
// Without a running interpreter only the main thread touches the table.
// xlfRegister and xlfUnregister are called on the main thread only: a sync
// binds and leaves the registration to the next tick.
struct func_registry_state {
    func_slot slots[FUNC_SLOT_COUNT];        // the slot table, func_slots
    int slot_count;                          // slots in use, func_slot_count
    wchar_t xll_dir[PLAT_MAX_PATH];          // registry's copy of the add-in folder
    log_fn log;                              // func_registry_log; null means silence
    plat_module module;                      // the add-in module every registration names; from init
    PyObject *outcomes;                      // list a running sync reports into; null otherwise
    int syncing;                             // 1 while a sync's pass runs: new names wait for the tick
    // 1 when the tick may find work in the table (a sync ran, Excel refused
    // a registration). Read by the tick without the GIL.
    std::atomic<int> tick_work;
    // 1 once the calculation events' handlers are registered: at the first
    // asynchronous function's registration, so that a workbook without one
    // pays nothing at each calculation's end. Main thread only.
    int events_registered;
};
extern func_registry_state func_registry;

// The registration pass over tindral_xl._registry. 1 when the pass ran, 0 when
// it could not start (interpreter down, package or list missing). GIL held.
int func_registry_register_all(void);

// Excel's length of the UTF-8 text `name`: its UTF-16 units.
size_t func_registry_name_units(const char *name);

// Registers slot `slot` with Excel under `name` (UTF-8, sent as UTF-16). 1
// when Excel accepted (the slot's flag is then 1), 0 otherwise; logs either
// way (a refusal with the code of the slot's previous refusal only once).
// Main thread.
int func_registry_register_slot(int slot, const char *name, int arity, const char *procedure);

// Registers the handlers of Excel's calculation-ended and calculation-
// cancelled events (two commands, named to xlEventRegister) unless done.
// Main thread.
void func_registry_register_events(void);

// Withdraws slot `slot`'s accepted registration with xlfUnregister. 1 when
// Excel did (the flag is then 0); logs a success, and the first refusal of
// a run of refusals (the tick retries every second). Main thread.
int func_registry_unregister_slot(int slot);

// The pass run for a reload, from any thread holding the GIL: binds and
// rebinds like the first pass but leaves new names pending for the tick,
// then marks every bound slot whose name left _registry removed. Reports one
// dict per name into `outcomes` (a list): name, slot (None when none), state
// ("rebound", "pending", "removed" or "refused") and, when there is one,
// why. 1 when the pass ran, 0 when it could not start or one is running.
int func_registry_sync(PyObject *outcomes);

// The registry's step of each tick: unregisters slots a reload removed and
// registers pending ones (new names, refused ones). `by_name`: the command
// was run by name rather than by its schedule; it then logs its opening line
// even with nothing to do. Main thread; takes the GIL when Python runs.
void func_registry_process_pending(int by_name);

// What Excel has for slot `slot`: "accepted", "pending" (not yet
// registered), "removing" (dropped by a reload, Excel still has the name
// until an xlfUnregister succeeds) or "removed". GIL held when Python runs.
const char *func_registry_slot_state(int slot);

// Adds one outcome to the running sync's list (nothing when none runs): `slot`
// -1 for no slot, `why` may be null. GIL held.
void func_registry_report(const char *name, int slot, const char *state, const char *why);

// Puts tindral_xl._native (sync, slots, log) into the package. 1 when done.
// GIL held.
int func_registry_install_native(void);

// Exports Excel calls: the tick command (registered as "A#"; 1, or 0 when a
// C++ exception ended it) and the release of a result that carries
// xlbitDLLFree. Main thread.
XLL_EXPORT int xll_register_pending(void);
XLL_EXPORT void xlAutoFree12(LPXLOPER12 p);
// The handlers of Excel's calculation events, registered as commands ("A#")
// and named to xlEventRegister: pending asynchronous calls are cancelled when
// the user interrupts a calculation, and forgotten when one ends without
// them. 1, or 0 when a C++ exception ended them. Main thread.
XLL_EXPORT int xll_calc_cancelled(void);
XLL_EXPORT int xll_calc_ended(void);

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

// Fills argv[0..arity) with slot `slot`'s arguments as its function takes
// them (new references). Returns how many it filled: fewer than the arity
// when a conversion failed (error set). GIL held.
int func_registry_slot_arguments(int slot, LPXLOPER12 *args, PyObject **argv);

// --- Asynchronous functions (func_registry_async.cpp) ---------------------------------

// An asynchronous function's arguments: Excel's handle takes the last of the
// ten positions an entry point receives.
constexpr int FUNC_ASYNC_MAX_ARGS = FUNC_MAX_ARGS - 1;

// 1 when `function` is an `async def` (its code carries the coroutine flag).
// Looking may run the object's code; any error is dropped. GIL held.
int func_registry_is_async(PyObject *function);

// The call of a slot Excel registered as asynchronous: converts the arguments
// here, on Excel's thread, hands the coroutine to the event loop's thread and
// returns at once; the result reaches Excel through xlAsyncReturn. `args`
// holds the function's arguments and then Excel's handle. Never throws; takes
// the GIL itself. Excel's thread.
void func_registry_async_call(int slot, LPXLOPER12 *args);

// Puts async_return (the loop's way back to Excel) into tindral_xl._native.
// 1 when done. GIL held.
int func_registry_async_install(PyObject *native);

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
