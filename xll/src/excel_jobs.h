// excel_jobs: work that other threads hand to Excel's main thread.
//
// Excel serves its C API on its main thread only, and reading or writing
// cells only inside a command. An agent's code runs on another thread: it
// submits a job here and waits for it; the main-thread tick (xll_tick) drains
// the queue inside its command, at most EXCEL_JOBS_TICK_BUDGET_MS per run,
// and while jobs wait it asks for the tick's busy pace (a run every 50 ms).
// xlAutoClose fails every job that has not run; nothing waits past it.
//
// The cells jobs (read, write, formula, calculate, sheets, selection) are C
// only and never touch Python; the package reaches them through the native
// functions that excel_jobs_install_native puts into tindral_xl._native.
#pragma once

#include <cstddef>

#include "xlcall.h"

// --- the queue ------------------------------------------------------------------

// Time one tick may spend on jobs before it leaves the rest to the next run.
constexpr unsigned EXCEL_JOBS_TICK_BUDGET_MS = 100;
// Jobs that may wait or run at once; a submit beyond it is refused.
constexpr int EXCEL_JOBS_MAX = 32;

// Why a submit was refused (a submit's result below 1).
constexpr long EXCEL_JOBS_ON_MAIN_THREAD = -1;  // the caller is Excel's main thread: it would wait on itself
constexpr long EXCEL_JOBS_NOT_OPEN = -2;        // the add-in is not open (closed, or Python never started)
constexpr long EXCEL_JOBS_FULL = -3;            // EXCEL_JOBS_MAX jobs already wait

// What excel_jobs_wait saw.
constexpr int EXCEL_JOBS_PENDING = 0;  // not finished within the wait; still the caller's
constexpr int EXCEL_JOBS_RAN = 1;      // the job ran; its context is the caller's again
constexpr int EXCEL_JOBS_CLOSED = 2;   // the add-in closed before it ran; its context is the caller's again
constexpr int EXCEL_JOBS_UNKNOWN = 3;  // no such job (never submitted, already taken or cancelled)

// A job: `run` is called once on Excel's main thread, in command context,
// with `context`; `release` frees `context` when the waiter gave up on it.
struct excel_jobs_task {
    int (*run)(void *context);
    void (*release)(void *context);
    void *context;
};

// xlAutoOpen, on Excel's main thread, once Python runs: opens the queue,
// remembers the main thread and hooks the drain into the tick.
void excel_jobs_open(void);

// xlAutoClose, main thread: closes the queue; every job that has not run ends
// as EXCEL_JOBS_CLOSED and its waiter wakes.
void excel_jobs_close(void);

// Any thread: queues `task`. Returns the job's id (1 or more), or one of the
// refusals above; after a refusal the context stays the caller's. Never
// blocks on Excel.
long excel_jobs_submit(const excel_jobs_task *task);

// Any thread but the main one: waits at most `ms` for job `id` to end. On
// EXCEL_JOBS_RAN and EXCEL_JOBS_CLOSED the job is gone and `*context` is the
// caller's to read and release. The caller must not hold the GIL.
int excel_jobs_wait(long id, unsigned ms, void **context);

// Any thread: gives up on job `id`. A job that has not started never runs;
// one that runs is released when it ends. Returns 1 when the job had already
// started (its effect may happen or have happened), 0 otherwise.
int excel_jobs_cancel(long id);

// Main thread, inside a command: runs waiting jobs in order of submission
// until none is left or `budget_ms` has passed (the first always runs).
// Returns 1 when jobs still wait.
int excel_jobs_drain(unsigned budget_ms);

// The text of a refusal code of excel_jobs_submit.
const char *excel_jobs_refusal_text(long code);

// --- the cells jobs ---------------------------------------------------------------

// Excel's grid and the most cells one job may read or write.
constexpr long EXCEL_JOBS_GRID_ROWS = 1048576;
constexpr long EXCEL_JOBS_GRID_COLS = 16384;
constexpr long EXCEL_JOBS_MAX_CELLS = 1000000;
// The longest reference text a job takes (a defined name may have 255).
constexpr int EXCEL_JOBS_REF_UNITS = 1024;
// Excel keeps a formula of at most this many characters.
constexpr int EXCEL_JOBS_FORMULA_UNITS = 8192;

enum excel_jobs_op {
    EXCEL_JOBS_READ = 1,    // ref -> values (rows x cols)
    EXCEL_JOBS_WRITE,       // values (rows x cols) -> ref; a one-cell ref is the top-left corner
    EXCEL_JOBS_FORMULA,     // text -> the one cell of ref
    EXCEL_JOBS_CALCULATE,   // recalculates every open workbook
    EXCEL_JOBS_SHEETS,      // -> the active workbook's sheet names (1 x n texts)
    EXCEL_JOBS_SELECTION,   // -> the selection as A1 text (1 x 1 text)
    EXCEL_JOBS_OP_END
};

// How a cells job ended.
enum excel_jobs_status {
    EXCEL_JOBS_DONE = 0,       // done as asked
    EXCEL_JOBS_BAD_INPUT = 1,  // refused for its input (reference, shape, limits); nothing changed
    EXCEL_JOBS_REFUSED = 2     // Excel refused a call; `message` names it
};

// One cells job and its outcome. Every pointer is owned by the record.
struct excel_jobs_cells {
    int op;                               // an excel_jobs_op
    XCHAR ref[EXCEL_JOBS_REF_UNITS + 2];  // counted A1 reference text: ref[0] units, then a zero
    XCHAR *text;                          // FORMULA: counted text (malloc), else null
    XLOPER12 *values;                     // WRITE: in; READ, SHEETS, SELECTION: out (malloc, row by row)
    long rows, cols;                      // shape of `values`
    long changed;                         // cells written or set
    int status;                           // an excel_jobs_status
    char message[256];                    // why, when status is not EXCEL_JOBS_DONE (UTF-8)
};

// A zeroed record for `op` (calloc), or null when memory ran out.
excel_jobs_cells *excel_jobs_cells_new(int op);

// Frees the record and everything it owns; `cells` may be null. Usable as a
// task's release.
void excel_jobs_cells_free(void *cells);

// A task's run for a cells record: main thread, in a command. Always 1; the
// outcome is in the record.
int excel_jobs_cells_run(void *cells);

// Puts the package's side of the queue (excel_submit, excel_wait,
// excel_cancel) into the module `native`. 1 when done. GIL held.
struct _object;
int excel_jobs_install_native(struct _object *native);
