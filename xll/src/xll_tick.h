// The main-thread tick: Excel runs the add-in's command xll_register_pending
// through xlcOnTime about once a second while the add-in is open. Excel
// serves most of its C API (registration, and reading or writing cells) only
// on its main thread, inside a command; the tick is where work handed over
// by other threads gets done there. Everything here runs on Excel's main
// thread and takes no lock.
#pragma once

// Work run by every tick, after the registry's own step. Returns 1 when it
// has more to do soon: the next tick is then scheduled 50 ms ahead instead of
// a second (never sooner, so that a busy add-in does not spin Excel's main
// thread).
typedef int (*xll_tick_hook)(void);

// Adds a hook (at most 8, each once). 1 when it was added.
int xll_tick_add_hook(xll_tick_hook hook);

// xlAutoOpen: schedules the first run about one second ahead. Logs a refusal.
void xll_tick_start(void);

// xlAutoClose: cancels the pending run and stops re-scheduling.
void xll_tick_stop(void);

// Called first by the command. 1 when this run is the scheduled one (its time
// has come), 0 when something else ran the command; either way the pending
// schedule is consumed or cancelled, so exactly one stays after xll_tick_end.
int xll_tick_begin(void);

// Called last by the command: runs the hooks and, while open, schedules the
// next run.
void xll_tick_end(void);

// The command's firewall, after a C++ exception ended a run before
// xll_tick_end: while open and with no run pending, schedules the next one at
// the normal pace, so that the tick never stops for good. Runs no hook.
void xll_tick_rearm(void);
