// Runtime bootstrap internals shared with its tests: where Python 3.12 keeps
// the few PyConfig fields the add-in writes, and how the home is chosen.
#pragma once

#include <cstddef>

#include "xll_log.h"

// Python 3.12's PyConfig, x64. The record is opaque to the add-in: Python fills
// and clears it, and the add-in writes only these fields. Windows is LLP64, so
// `unsigned long hash_seed` is 4 bytes there and moves everything up to
// `site_import`; the Windows-only `legacy_windows_stdio` then brings the later
// fields back to the Linux offsets. The tests check every offset against the
// real header, compiled for each target.
#ifdef _WIN32
constexpr std::size_t PYCONFIG_USE_ENVIRONMENT = 8;
constexpr std::size_t PYCONFIG_INSTALL_SIGNAL_HANDLERS = 16;
constexpr std::size_t PYCONFIG_SITE_IMPORT = 168;
constexpr std::size_t PYCONFIG_HOME = 288;
constexpr std::size_t PYCONFIG_MODULE_SEARCH_PATHS_SET = 304;
constexpr std::size_t PYCONFIG_MODULE_SEARCH_PATHS = 312;
#else
constexpr std::size_t PYCONFIG_USE_ENVIRONMENT = 8;
constexpr std::size_t PYCONFIG_INSTALL_SIGNAL_HANDLERS = 16;
constexpr std::size_t PYCONFIG_SITE_IMPORT = 176;
constexpr std::size_t PYCONFIG_HOME = 288;
constexpr std::size_t PYCONFIG_MODULE_SEARCH_PATHS_SET = 304;
constexpr std::size_t PYCONFIG_MODULE_SEARCH_PATHS = 312;
#endif

// The stack buffer that holds the record: the real one is 432 bytes on both
// targets; the margin absorbs a patch release that appends private fields.
constexpr std::size_t PYCONFIG_BUFFER_SIZE = 1024;
constexpr std::size_t PYCONFIG_ALIGN = 16;

// Chooses the Python home: "{xll_dir}<sep>python", or ".<sep>python" while the
// add-in folder is unknown, cut at 259 characters, into `home` (PLAT_MAX_PATH
// wide characters), and logs it through `log` when not null. 1 when it fitted,
// 0 when it was cut (also logged, as a warning).
int python_runtime_detect_home(wchar_t *home, log_fn log);
