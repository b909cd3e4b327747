// Add-in lifecycle: the library entry point and the four exports that Excel
// calls at load and unload. Each export runs on Excel's main thread and
// always answers 1; what went wrong is only in the log.
#pragma once

#include "xll_export.h"

XLL_EXPORT int xlAutoOpen(void);
XLL_EXPORT int xlAutoClose(void);
XLL_EXPORT int xlAutoAdd(void);
XLL_EXPORT int xlAutoRemove(void);
