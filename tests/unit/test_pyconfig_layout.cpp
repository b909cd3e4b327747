// The add-in writes PyConfig through fixed offsets; these must be Python
// 3.12's own, read here from its real headers (Linux layout; the cross build
// checks the Windows layout when it compiles tests/standin).
#include <Python.h>

#include <gtest/gtest.h>

#include "python_runtime_internal.h"

TEST(PyconfigLayout, offsets_match_python_312_headers) {
    static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 12, "headers of Python 3.12 expected");
    EXPECT_EQ(offsetof(PyConfig, use_environment), PYCONFIG_USE_ENVIRONMENT);
    EXPECT_EQ(offsetof(PyConfig, install_signal_handlers), PYCONFIG_INSTALL_SIGNAL_HANDLERS);
    EXPECT_EQ(offsetof(PyConfig, site_import), PYCONFIG_SITE_IMPORT);
    EXPECT_EQ(offsetof(PyConfig, home), PYCONFIG_HOME);
    EXPECT_EQ(offsetof(PyConfig, module_search_paths_set), PYCONFIG_MODULE_SEARCH_PATHS_SET);
    EXPECT_EQ(offsetof(PyConfig, module_search_paths), PYCONFIG_MODULE_SEARCH_PATHS);
    EXPECT_LE(sizeof(PyConfig), PYCONFIG_BUFFER_SIZE);
    EXPECT_LE(alignof(PyConfig), PYCONFIG_ALIGN);
}
