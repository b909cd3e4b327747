// Binding Python's API by name: all-or-nothing, every failure named, nothing
// left behind. Runs against the stand-in libraries built beside the tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "pyapi.h"

namespace {

std::vector<std::string> logged;
void capture(const char *line) { logged.push_back(line); }

std::wstring widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

std::wstring standin(const char *variant) {
    return widen(std::string(TINDRAL_BINARY_DIR) + "/standin/" + variant + "/libpython3.12.so");
}

bool table_empty() {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&pyapi);
    for (std::size_t i = 0; i < sizeof pyapi; i++)
        if (bytes[i]) return false;
    return true;
}

int entries_bound() {
    void *entries[PYAPI_ENTRY_COUNT];
    std::memcpy(entries, &pyapi, sizeof entries);
    int n = 0;
    for (void *e : entries) n += e != nullptr;
    return n;
}

// Counts FreeLibrary calls and remembers the handle they got.
int frees;
plat_module freed;
void counting_free(plat_module m) {
    frees++;
    freed = m;
    plat_defaults.library_free(m);
}

const std::string count_tail = " symbol(s) failed to load \xE2\x80\x94 Python will not work";

class PyapiTest : public ::testing::Test {
protected:
    void SetUp() override {
        logged.clear();
        frees = 0;
        freed = nullptr;
        plat.library_free = counting_free;
    }
    void TearDown() override { plat_reset(); }
};

TEST_F(PyapiTest, complete_library_binds_every_entry_and_keeps_the_handle) {
    ASSERT_EQ(pyapi_load(standin("complete").c_str(), capture), 1);
    EXPECT_EQ(logged, std::vector<std::string>{"pyapi: all symbols loaded"});
    EXPECT_EQ(entries_bound(), PYAPI_ENTRY_COUNT);
    EXPECT_NE(pyapi.handle, nullptr);
    EXPECT_EQ(frees, 0);
    // A data entry is the exported object itself, not a pointer read from it.
    EXPECT_EQ((void *)pyapi.PyList_Type, plat.library_symbol(pyapi.handle, "PyList_Type"));
    EXPECT_EQ((void *)pyapi.PyRun_SimpleString, plat.library_symbol(pyapi.handle, "PyRun_SimpleString"));
}

TEST_F(PyapiTest, missing_unused_symbol_still_fails_and_releases_the_library) {
    EXPECT_EQ(pyapi_load(standin("missing_one").c_str(), capture), 0);
    EXPECT_EQ(logged, (std::vector<std::string>{"pyapi: GetProcAddress failed for PyRun_SimpleString",
                                                "pyapi: 1" + count_tail}));
    EXPECT_TRUE(table_empty());
    EXPECT_EQ(frees, 1);
    EXPECT_NE(freed, nullptr);
}

TEST_F(PyapiTest, several_missing_symbols_are_named_in_table_order_then_counted) {
    // Left out: the first entry, one from the middle and the last data object.
    EXPECT_EQ(pyapi_load(standin("missing_three").c_str(), capture), 0);
    EXPECT_EQ(logged, (std::vector<std::string>{"pyapi: GetProcAddress failed for Py_IsInitialized",
                                                "pyapi: GetProcAddress failed for PyErr_Fetch",
                                                "pyapi: GetProcAddress failed for PyList_Type",
                                                "pyapi: 3" + count_tail}));
    EXPECT_TRUE(table_empty());
    EXPECT_EQ(frees, 1);
}

TEST_F(PyapiTest, missing_entry_appended_after_the_first_58_still_fails_the_whole_binding) {
    EXPECT_EQ(pyapi_load(standin("missing_last").c_str(), capture), 0);
    EXPECT_EQ(logged, (std::vector<std::string>{"pyapi: GetProcAddress failed for PyUnicode_New",
                                                "pyapi: 1" + count_tail}));
    EXPECT_TRUE(table_empty());
    EXPECT_EQ(frees, 1);
}

TEST_F(PyapiTest, nonexistent_path_logs_only_the_load_line) {
    EXPECT_EQ(pyapi_load(L"/nonexistent/tindral/libpython3.12.so", capture), 0);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("pyapi: LoadLibrary failed for /nonexistent/tindral/libpython3.12.so (error ", 0), 0u)
        << logged[0];
    EXPECT_TRUE(table_empty());
    EXPECT_EQ(frees, 0);
}

// On Windows the conversion of the path may overwrite the thread's last error;
// the logged code must be the one read after it, as the message is built.
bool converted;
int converting(const wchar_t *src, int len, char *out, int cap) {
    converted = true;
    return plat_defaults.wide_to_ansi(src, len, out, cap);
}
unsigned long error_after_conversion(void) { return converted ? 1234 : 99; }
plat_module failing_load(const wchar_t *) {
    converted = false;
    return nullptr;
}

TEST_F(PyapiTest, load_failure_reports_the_error_read_after_the_path_conversion) {
    plat.library_load = failing_load;
    plat.wide_to_ansi = converting;
    plat.last_error = error_after_conversion;
    EXPECT_EQ(pyapi_load(L"/x/libpython3.12.so", capture), 0);
    EXPECT_EQ(logged, std::vector<std::string>{"pyapi: LoadLibrary failed for /x/libpython3.12.so (error 1234)"});
}

TEST_F(PyapiTest, null_log_gives_the_same_results_silently) {
    EXPECT_EQ(pyapi_load(L"/nonexistent/libpython3.12.so", nullptr), 0);
    EXPECT_EQ(pyapi_load(standin("missing_three").c_str(), nullptr), 0);
    EXPECT_TRUE(table_empty());
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(pyapi_load(standin("complete").c_str(), nullptr), 1);
    EXPECT_EQ(entries_bound(), PYAPI_ENTRY_COUNT);
    EXPECT_TRUE(logged.empty());
}

TEST_F(PyapiTest, failed_binding_leaves_nothing_so_a_later_call_binds_from_scratch) {
    EXPECT_EQ(pyapi_load(standin("missing_one").c_str(), capture), 0);
    logged.clear();
    EXPECT_EQ(pyapi_load(standin("complete").c_str(), capture), 1);
    EXPECT_EQ(logged, std::vector<std::string>{"pyapi: all symbols loaded"});
    EXPECT_EQ(entries_bound(), PYAPI_ENTRY_COUNT);
}

}  // namespace
