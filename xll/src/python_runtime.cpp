// PLACEHOLDER: replaced by the runtime bootstrap work.
#include "python_runtime.h"
void python_runtime_set_xll_dir(const wchar_t *) {}
int python_runtime_init(log_fn) { return 0; }
void python_runtime_release_start_lock(void) {}
void python_runtime_finalize(log_fn log) { if (log) log("Python finalize: skipped (intentional)"); }
int python_runtime_ready(void) { return 0; }
