// Compiles only when the add-in's PyConfig offsets are those of Python 3.12's
// own header for the target being built. Part of both builds: the cross build
// compiles the header for Windows (LLP64, MS_WINDOWS), where `hash_seed`
// shrinks and `legacy_windows_stdio` appears, exactly as a Windows Python's
// headers would lay the record out.
#include "pyconfig_shim.h"
#include "python_runtime_internal.h"

static_assert(offsetof(PyConfig, use_environment) == PYCONFIG_USE_ENVIRONMENT, "use_environment");
static_assert(offsetof(PyConfig, install_signal_handlers) == PYCONFIG_INSTALL_SIGNAL_HANDLERS, "install_signal_handlers");
static_assert(offsetof(PyConfig, site_import) == PYCONFIG_SITE_IMPORT, "site_import");
static_assert(offsetof(PyConfig, home) == PYCONFIG_HOME, "home");
static_assert(offsetof(PyConfig, module_search_paths_set) == PYCONFIG_MODULE_SEARCH_PATHS_SET, "module_search_paths_set");
static_assert(offsetof(PyConfig, module_search_paths) == PYCONFIG_MODULE_SEARCH_PATHS, "module_search_paths");
static_assert(sizeof(PyConfig) <= PYCONFIG_BUFFER_SIZE, "the stack buffer must hold the record");
static_assert(alignof(PyConfig) <= PYCONFIG_ALIGN, "the stack buffer must be aligned for the record");
static_assert(sizeof(PyStatus) == 32 && offsetof(PyStatus, err_msg) == 16, "PyStatus as pyapi.h declares it");
static_assert(sizeof(PyWideStringList) == 16, "PyWideStringList as pyapi.h declares it");
