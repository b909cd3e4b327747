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
// A parameter name kept for the log, cut to this many bytes.
constexpr int FUNC_PARAM_CAP = 48;
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
    // 1 when the function takes cells, not their values (it carries
    // _tindral_reference): registered with "U" arguments, and a reference
    // arrives as its address text. Set while Excel holds no registration.
    int by_reference;
    int removed;               // a func_slot_removal
    double register_id;        // Excel's id of the accepted registration, for xlfUnregister
    int refusal;               // Excel's code of the last refused registration; 0 after a success
    int unregister_failures;   // refused xlfUnregister calls since the slot was removed
    // Objects the package's object store keeps for cells of this slot's
    // function, as the store last said; while above 0 a result that is no
    // object asks Excel for its cell to release the cell's previous one.
    // Slot call path only.
    int objects_held;
    // What the bound function's annotations asked for: a func_kind per
    // argument (FUNC_KIND_ANY keeps the untyped rules) and one for the
    // result; `typed` is 1 when any of them is not FUNC_KIND_ANY. Written by
    // the pass with the function, under the GIL.
    int typed;
    unsigned char kinds[FUNC_MAX_ARGS];
    unsigned char result_kind;
    char params[FUNC_MAX_ARGS][FUNC_PARAM_CAP];  // parameter names, for the log
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

// 1 when `entry` (borrowed) has a _registry entry's shape: a tuple of
// (name, function, count), or of four with the kinds tuple its annotations
// asked for last. GIL held.
int func_registry_is_entry(PyObject *entry);

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

// --- Function-wizard texts (func_registry_help.cpp) ----------------------------------

// What a slot's registration passes beyond its first four texts: the argument
// text, the category, the function help, then one help per argument.
constexpr int FUNC_HELP_TEXTS = 3 + FUNC_MAX_ARGS;
struct func_help {
    int count;                                 // texts held: 0, or 3 + the slot's arity
    char text[FUNC_HELP_TEXTS][FUNC_NAME_CAP];  // UTF-8; Excel's 255 units applied when widened
};

// The wizard texts of `function`, registered as `name` with `arity`
// arguments, from tindral_xl._wizard.texts. 1 when `help` holds them; 0 (and
// help->count 0) when the package has no _wizard (silent) or its answer is
// unusable (logged). GIL held.
int func_registry_help_read(const char *name, PyObject *function, int arity, func_help *help);

// --- Cells with an error record (func_registry_error_cells.cpp) ------------------------

// The slot call path's index of the cells ("[Book1]Sheet1!$B$3") the
// package's error store holds a record for, so that a success in such a cell
// clears it whichever function failed there, while a success elsewhere costs
// one xlfCaller and a lookup, and none at all while the store is empty.
// Main thread, GIL held (the slot call path).

// 1 while the store holds any record, as it last answered.
int func_registry_error_cells_any(void);
// The store's answer after a record or a forget: how many records it holds.
void func_registry_error_cells_total(long total);
// 1 when `cell` may hold a record (a miss is certain, a hit is checked by the store).
int func_registry_error_cells_has(const char *cell);
void func_registry_error_cells_add(const char *cell);
void func_registry_error_cells_remove(const char *cell);

// Fills argv[0..arity) with slot `slot`'s arguments as its function takes
// them (new references). Returns how many it filled: fewer than the arity
// when a conversion failed, either with a Python error set or, with
// *refused true or no error set, with `err` holding the cell's error (a
// refused typed argument, a gone handle) and the reason logged. GIL held.
int func_registry_slot_arguments(int slot, LPXLOPER12 *args, PyObject **argv, XLOPER12 *err, bool *refused);

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

// A date or datetime `o` (of `type`, a subclass included) as its Excel serial
// number: 1900 date system, 1900-01-01 is 1 and 1900-03-01 is 61; the
// wall-clock time is the fraction. Before 1900 it is #NUM!. Returns as
// func_registry_py_to_xloper does, or -1 (`out` untouched) when `o` is no
// date. The types are fetched on the first call. GIL held.
int func_registry_date_result(PyObject *o, PyObject *type, XLOPER12 *out);

// Takes the pending Python error of slot `slot`'s call, normalised, into
// `taken` (type, value, traceback: new references, each possibly null) and
// logs "Python error in NAME: message". No error is left pending. GIL held.
void func_registry_take_call_error(int slot, PyObject *taken[3]);

// Frees what a result record carrying xlbitDLLFree owns (a text buffer, or an
// array's block) and nulls the pointer; the caller clears or rebuilds the
// type. Call once per result.
void func_registry_release_result(XLOPER12 *x);

// --- Objects in cells (func_registry_objects.cpp) ----------------------------------

// The longest cell text asked of Excel: a workbook and sheet name ("[Book1]Sheet1",
// Excel allows 218 + 31 characters, 3 bytes each in UTF-8) and a range.
constexpr int FUNC_CELL_CAP = 1024;

// The cell Excel is computing, as "[Book1]Sheet1!$B$3" (a range for an array
// formula). 0 when Excel names none. Slot call path.
int func_registry_caller_text(char *out, size_t cap);

// 1 when `x` is a text shaped like an object handle: "<", a name, " #", a
// number without a leading zero, ">". No Python: the cheap test every text
// argument passes before the store is asked.
int func_registry_handle_shaped(const XLOPER12 *x);

// The argument `index` (from 0) of slot `slot`, a handle-shaped text: the
// live object it names, or the text itself when the package has no store.
// New reference; null with *error at xlerrRef (the object is gone) or
// xlerrValue (the parameter's class annotation refuses it, or the store
// failed), the reason logged. GIL held.
PyObject *func_registry_handle_argument(int slot, int index, const XLOPER12 *x, int *error);

// 1 when the result `o` converts to a cell value (None, bool, a number, text,
// a list or tuple, a date, or an instance of a subclass of those); 0 for an
// object the store keeps. GIL held.
int func_registry_has_cell_value(PyObject *o);

// Stores `o`, the result of slot `slot`'s function, for the calling cell
// (releasing the cell's previous object) and fills `out` with its handle
// text. 1 when done; 0 with `out` at #VALUE! and the reason logged, no
// Python error left. GIL held.
int func_registry_object_result(int slot, PyObject *o, XLOPER12 *out);

// Slot `slot`'s call in a cell made no object: the object the cell made
// before, if any, is released. GIL held.
void func_registry_object_release_cell(int slot);

// --- Typed arguments and results (func_registry_typed.cpp) ------------------------

// How an annotated parameter or result converts. The package's _typed module
// writes the same numbers. The low four bits name the value kind; the flags
// above them shape it.
enum func_kind : unsigned {
    FUNC_KIND_ANY = 0,       // unannotated: the untyped rules
    FUNC_KIND_FLOAT = 1,
    FUNC_KIND_INT = 2,       // a whole number; any other number is #NUM!
    FUNC_KIND_BOOL = 3,
    FUNC_KIND_STR = 4,       // a number as Excel's general format shows it
    FUNC_KIND_DATE = 5,      // datetime.date of the serial
    FUNC_KIND_DATETIME = 6,  // datetime.datetime of the serial
    FUNC_KIND_ARRAY = 7,     // a memoryview of doubles shaped (rows, cols)
    FUNC_KIND_BASE = 0x0F,
    FUNC_KIND_OPTIONAL = 0x10,       // omitted or empty: None, or the default
    FUNC_KIND_LIST1 = 0x20,          // list[T]: one row or column, flattened
    FUNC_KIND_LIST2 = 0x40,          // list[list[T]]: rows
    FUNC_KIND_ITEM_OPTIONAL = 0x80,  // list of Optional[T]: an empty element is None
};

// The Python argument of kind `kind` (not FUNC_KIND_ANY) for Excel's `x` (may
// be null). `omitted` is the slot's marker or null. New reference; null when
// `x` cannot be converted: `*error` is then the cell's error (xlerrValue or
// xlerrNum) and `why` says why; a Python error may be left set. GIL held.
PyObject *func_registry_typed_arg(unsigned kind, const XLOPER12 *x, PyObject *omitted, int *error, char *why,
                                  size_t cap);

// `result` checked and converted for the result kind `kind` (not
// FUNC_KIND_ANY). New reference; null with `why` filled when it is of the
// wrong type (a Python error may be left set). GIL held.
PyObject *func_registry_typed_result(unsigned kind, PyObject *result, char *why, size_t cap);

// Fills `out` with an array of numbers when `o` exports a buffer of doubles
// of one dimension (one row) or two (rows), with no Python object per
// element: NaN and infinity are #NUM!. 1 or 0 as func_registry_py_to_xloper
// returns; -1 when `o` exports no such buffer (`out` untouched, no error
// left). The buffer is released once before returning. GIL held.
int func_registry_buffer_result(PyObject *o, XLOPER12 *out);

// Reads the kinds tuple of a _registry entry (result kind, then one
// (kind, name) pair per argument) into slot `slot`; null `kinds` resets the
// slot to untyped. Never leaves a Python error. GIL held.
void func_registry_take_kinds(int slot, PyObject *kinds);
