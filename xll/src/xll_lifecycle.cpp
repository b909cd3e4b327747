#include "xll_lifecycle.h"

#include <cstdio>
#include <cwchar>

#include "excel_jobs.h"
#include "func_registry.h"
#include "http_server.h"
#include "platform/platform.h"
#include "python_runtime.h"
#include "pyapi.h"
#include "xll_log.h"
#include "xll_tick.h"

namespace {

struct xll_lifecycle_state {
    plat_module module;  // the add-in's own module, from the library entry point
};
xll_lifecycle_state lifecycle;

// Folder of the add-in file without its trailing separator, at most 259
// characters; the whole path when it has no separator (a drive root gives
// "C:").
void xll_derive_dir(wchar_t *xll_dir) {
    wchar_t path[PLAT_MAX_PATH];
    path[0] = 0;
    plat.module_file_name(lifecycle.module, path, PLAT_MAX_PATH);
    path[PLAT_MAX_PATH - 1] = 0;
    wchar_t *last = wcsrchr(path, PLAT_SEP);
    if (last) *last = 0;
    wcsncpy(xll_dir, path, PLAT_MAX_PATH - 1);
    xll_dir[PLAT_MAX_PATH - 1] = 0;
}

}  // namespace

#ifdef _WIN32
// DllMain, declared with the Win32 types' plain equivalents so that only the
// platform layer includes <windows.h>. Reason 1 is DLL_PROCESS_ATTACH; there
// is no work at any other reason, detach included.
extern "C" int __stdcall DllMain(void *instance, unsigned long reason, void *) {
    if (reason == 1) lifecycle.module = (plat_module)instance;
    return 1;
}
#else
// Stands in for DllMain's process attach: the loader runs it once at load.
__attribute__((constructor)) static void xll_process_attach(void) { lifecycle.module = plat_self_module(); }
#endif

namespace {

void xll_open(void) {
    // Code in the process that writes to a closed pipe gets an error, never
    // the end of Excel.
    plat.ignore_broken_pipe();
    xll_log("xlAutoOpen: TindralXL loaded");

    wchar_t xll_dir[PLAT_MAX_PATH];
    xll_derive_dir(xll_dir);

    if (!http_server_start(xll_dir))
        xll_log("xlAutoOpen: HTTP server failed to start \xE2\x80\x94 agent will not be able to communicate with the XLL.");

    python_runtime_set_xll_dir(xll_dir);
    if (!python_runtime_init(xll_log)) {
        char where[PLAT_MAX_PATH];
        xll_log_where(where, sizeof where);
        xll_logf(xll_log, 512, "xlAutoOpen: Python init failed \xE2\x80\x94 check %s for details. Stopping HTTP server.",
                 where);
        char record[PLAT_MAX_PATH + 64];
        snprintf(record, sizeof record, "Python failed to initialize \xE2\x80\x94 check %s", where);
        http_server_session_write_error(record);
        http_server_stop();
        return;
    }
    // Python is never finalized, and its tindral_xl._native module, the bound
    // API and the slot table point into this module: it stays loaded for the
    // life of the process, so that an unload by Excel (the user unticks the
    // add-in) and a later load find the same code and state.
    if (!plat.module_pin(lifecycle.module))
        xll_logf(xll_log, 160, "xlAutoOpen: cannot pin the add-in in memory (error %lu); unloading it would break Python",
                 plat.last_error());

    // Open before the modules load: an agent's request may run while they
    // import (the interpreter lets other threads in between), and it waits
    // for the first tick instead of being turned away.
    excel_jobs_open();
    func_registry_init(xll_dir, lifecycle.module, xll_log);
    func_registry_load_modules();
    func_registry_register_command();
    xll_tick_start();
    python_runtime_release_start_lock();
    xll_log("xlAutoOpen: complete");
}

void xll_close(void) {
    // Pending asynchronous calls end first, while Python is fully there, and
    // the event loop's thread is gone before Excel regains control.
    func_registry_async_close();
    // Waiters hear of the close before the server that answers them stops.
    excel_jobs_close();
    xll_tick_stop();
    http_server_stop();
    func_registry_release_objects();
    python_runtime_finalize(xll_log);
    xll_log("xlAutoClose: TindralXL unloaded");
}

}  // namespace

XLL_EXPORT int xlAutoOpen(void) {
    return xll_export_guard(
        "xlAutoOpen", "start abandoned",
        [] {
            xll_open();
            return 1;
        },
        [] {
            // A step that threw after Python started left the start-up
            // thread holding the interpreter lock; kept, it would block every
            // later agent request and worksheet call.
            python_runtime_release_start_lock();
            return 1;
        });
}

XLL_EXPORT int xlAutoClose(void) {
    return xll_export_guard(
        "xlAutoClose", "stop abandoned",
        [] {
            xll_close();
            return 1;
        },
        [] { return 1; });
}

XLL_EXPORT int xlAutoAdd(void) { return 1; }

// The user unticks the add-in in the Add-In Manager: the xlAutoClose that
// follows is an unload, after which Excel unregisters every name the add-in
// left registered. The add-in stays pinned with its state, and a tick of the
// add-in brings it back into the same registry: that must know Excel has
// none of its names any more.
XLL_EXPORT int xlAutoRemove(void) {
    return xll_export_guard(
        "xlAutoRemove", "abandoned",
        [] {
            func_registry_excel_closed();
            return 1;
        },
        [] { return 1; });
}
