// Runtime bootstrap: starts the embedded interpreter from the `python` folder
// beside the add-in, with its own home, search paths and sys.path.
#pragma once

#include "xll_log.h"

// Keeps at most 259 characters of the add-in folder. Start-up thread only.
void python_runtime_set_xll_dir(const wchar_t *xll_dir);

// Binds the library when needed and starts the interpreter. 1 when it runs
// (started now or already running), 0 when loading or starting failed. On 1
// the calling thread holds the interpreter lock, on a fresh start and on a
// repeated one alike, until python_runtime_release_start_lock.
int python_runtime_init(log_fn log);

// Gives back the interpreter lock that python_runtime_init left held, the way
// it was taken (fresh start: PyEval_SaveThread; repeated start: the matching
// PyGILState_Release). Start-up thread only.
void python_runtime_release_start_lock(void);

// Logs that the interpreter is deliberately left running.
void python_runtime_finalize(log_fn log);

// 1 once an init has succeeded in this process (the table is bound and the
// interpreter runs); any thread may ask. Callers that may run before or
// without a successful start test it before touching pyapi.
int python_runtime_ready(void);
