// Worksheet functions: the module loader, the slot table and registration
// pass, the Excel registration, and the 64 slot entry points with their value
// conversion. They share the registry's state, kept in this module.
#pragma once

#include "platform/platform.h"
#include "xll_log.h"

// Number of exported slot entry points xll_slot_0 .. xll_slot_63. Must match
// the export list; the build checks it.
constexpr int FUNC_SLOT_COUNT = 64;

// Keeps the registry's copy of the add-in folder (at most 259 characters), the
// add-in module that every registration with Excel names, and the log
// callback. Start-up thread, after python_runtime_init succeeded.
void func_registry_init(const wchar_t *xll_dir, plat_module xll_module, log_fn log);

// Imports tindral_xl and every modules/*.py, then runs the registration pass.
// 0 when the interpreter is not running, 1 otherwise. Needs the GIL held.
int func_registry_load_modules(void);

// Registers the command xll_register_pending with Excel.
void func_registry_register_command(void);

// The user deactivated the add-in (xlAutoRemove): after the xlAutoClose that
// follows, Excel unregisters every function and command the add-in left
// registered. Marks the table so: each bound name is pending again (the tick
// after the next open registers it), a removed one needs no xlfUnregister any
// more. Without this, an add-in unloaded and loaded again in the same process
// (its state kept: the module stays pinned) would believe Excel still had its
// names. Main thread; takes the GIL when Python runs.
void func_registry_excel_closed(void);

// The add-in closes: every object the object store keeps is released (their
// finalizers run now, not never: the interpreter is not finalized). Main
// thread; takes the GIL when Python runs.
void func_registry_release_objects(void);

// The close of the asynchronous functions: every pending call is forgotten
// (Excel never hears of it again), their coroutines are cancelled and the
// event loop's thread has ended (or is logged as stuck) when this returns.
// Excel's main thread, without the GIL.
void func_registry_async_close(void);

// Pending asynchronous calls (for tests and the log).
int func_registry_async_pending(void);
