// Starting the embedded interpreter: the lines it logs, the sys.path it
// builds, what it keeps out (environment, site, signal handlers), and the lock
// hand-off on a first and a repeated start. Each case runs in its own process,
// so each starts Python afresh from the home assembled for the tests.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "pyapi.h"
#include "python_runtime.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> logged;
void capture(const char *line) { logged.push_back(line); }

std::wstring widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

const fs::path python_home = fs::path(TINDRAL_BINARY_DIR) / "python-home";
const fs::path standin_dir = fs::path(TINDRAL_BINARY_DIR) / "standin";

// A fresh add-in folder per case; `python` is filled by the case.
fs::path make_addin_dir() {
    char pattern[] = "/tmp/tindral-runtime-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (!dir) return {};
    return fs::path(dir);
}

// The python folder as a real folder whose entries link to the test home, so
// that a case can give it its own Lib/site-packages.
void link_home_entries(const fs::path &python, bool with_lib) {
    fs::create_directories(python);
    for (const auto &entry : fs::directory_iterator(python_home)) {
        if (entry.path().filename() == "Lib" && !with_lib) continue;
        fs::create_symlink(entry.path(), python / entry.path().filename());
    }
}

std::vector<std::string> sys_path() {
    std::vector<std::string> out;
    PyObject *path = pyapi.PySys_GetObject("path");  // borrowed
    if (!path) return out;
    for (Py_ssize_t i = 0; i < pyapi.PyList_Size(path); i++) {
        const char *s = pyapi.PyUnicode_AsUTF8(pyapi.PyList_GetItem(path, i));
        out.push_back(s ? s : "<not text>");
    }
    return out;
}

// getattr(import(module), a[, b]) as text (str()), or "<error>".
std::string py_attr(const char *module, const char *a, const char *b = nullptr) {
    std::string result = "<error>";
    PyObject *m = pyapi.PyImport_ImportModule(module);
    PyObject *x = m ? pyapi.PyObject_GetAttrString(m, a) : nullptr;
    PyObject *y = (x && b) ? pyapi.PyObject_GetAttrString(x, b) : nullptr;
    PyObject *value = b ? y : x;
    PyObject *text = value ? pyapi.PyObject_Str(value) : nullptr;
    if (text && pyapi.PyUnicode_AsUTF8(text)) result = pyapi.PyUnicode_AsUTF8(text);
    for (PyObject *o : {text, y, x, m})
        if (o) pyapi.Py_DecRef(o);
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return result;
}

int gil_held() {
    auto check = reinterpret_cast<int (*)(void)>(plat.library_symbol(pyapi.handle, "PyGILState_Check"));
    return check ? check() : -1;
}

// Whether another thread can take and give back the interpreter lock; a lock
// left held would block it for good.
bool other_thread_gets_the_lock() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([done] {
        PyGILState_STATE s = pyapi.PyGILState_Ensure();
        pyapi.PyGILState_Release(s);
        done->store(true);
    });
    for (int i = 0; i < 3000 && !done->load(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done->load()) {
        t.join();
        return true;
    }
    t.detach();  // deadlocked: leave it to the end of the process
    return false;
}

std::vector<std::string> expected_sys_path(const std::string &dir, const std::string &home) {
    std::vector<std::string> out;
    if (!dir.empty()) out.push_back(dir);
    for (const char *tail : {"/python312.zip", "", "/Lib/site-packages", "/Lib/site-packages/win32",
                             "/Lib/site-packages/win32/lib"})
        out.push_back(home + tail);
    if (!dir.empty()) out.push_back(dir + "/modules");
    return out;
}

class RuntimeTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        ASSERT_TRUE(fs::exists(python_home / "python312.zip")) << "run the build: it assembles " << python_home;
        dir = make_addin_dir();
        ASSERT_FALSE(dir.empty());
        logged.clear();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string home() const { return (dir / "python").string(); }
    std::string home_line() const { return "detect_python_home: using embedded -> " + home(); }
    int start(log_fn log = capture) {
        python_runtime_set_xll_dir(widen(dir.string()).c_str());
        return python_runtime_init(log);
    }
};

TEST_F(RuntimeTest, fresh_start_logs_home_binding_and_start_in_order_and_keeps_the_lock) {
    fs::create_directory_symlink(python_home, dir / "python");
    EXPECT_EQ(python_runtime_ready(), 0);
    ASSERT_EQ(start(), 1);
    EXPECT_EQ(logged, (std::vector<std::string>{home_line(), "pyapi: all symbols loaded", "Python initialized"}));
    EXPECT_EQ(python_runtime_ready(), 1);
    EXPECT_EQ(gil_held(), 1);
    // The standard library comes compiled from the archive, extension modules from the home.
    EXPECT_EQ(py_attr("json", "__name__"), "json");
    EXPECT_EQ(py_attr("_json", "__file__"), home() + "/_json.cpython-312-x86_64-linux-gnu.so");
    EXPECT_EQ(py_attr("sys", "prefix"), home());
    python_runtime_release_start_lock();
    EXPECT_EQ(gil_held(), 0);
    EXPECT_TRUE(other_thread_gets_the_lock());
}

TEST_F(RuntimeTest, sys_path_puts_the_modules_folder_after_the_standard_library_so_it_shadows_nothing) {
    fs::create_directory_symlink(python_home, dir / "python");
    ASSERT_EQ(start(), 1);
    EXPECT_EQ(sys_path(), expected_sys_path(dir.string(), home()));
}

TEST_F(RuntimeTest, python_environment_variables_and_signal_handlers_stay_out) {
    fs::create_directory_symlink(python_home, dir / "python");
    setenv("PYTHONPATH", "/tindral/pythonpath", 1);
    setenv("PYTHONHOME", "/tindral/pythonhome", 1);  // would break the start if read
    setenv("PYTHONNOUSERSITE", "", 1);
    struct sigaction before {}, after {};
    sigaction(SIGINT, nullptr, &before);
    ASSERT_EQ(start(), 1);
    EXPECT_EQ(sys_path(), expected_sys_path(dir.string(), home()));
    EXPECT_EQ(py_attr("sys", "flags", "ignore_environment"), "1");
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "Python installed a SIGINT handler in the host";
}

// Packages installed with `pip install --target` may need their .pth file:
// one that was ignored left their folder off sys.path and their import
// hooks unrun. Site import as a whole stays off.
TEST_F(RuntimeTest, pth_file_in_site_packages_was_ignored) {
    link_home_entries(dir / "python", false);
    const fs::path site = dir / "python/Lib/site-packages";
    fs::create_directories(site / "from_pth");
    std::ofstream(site / "from_pth/pth_found.py") << "WHERE = 'from_pth'\n";
    std::ofstream(site / "extra.pth") << "from_pth\n"
                                      << "import os; os.environ['TINDRAL_PTH_RAN'] = '1'\n"
                                      << "no_such_folder\n";
    ASSERT_EQ(start(), 1);
    std::vector<std::string> expected = expected_sys_path(dir.string(), home());
    // A folder that does not exist is left out; the modules folder stays last,
    // after what a .pth adds, so a user's module shadows nothing installed.
    expected.insert(expected.end() - 1, (site / "from_pth").string());
    ASSERT_EQ(expected.back(), (dir / "modules").string());
    EXPECT_EQ(sys_path(), expected);
    EXPECT_EQ(py_attr("pth_found", "WHERE"), "from_pth");
    EXPECT_STREQ(getenv("TINDRAL_PTH_RAN"), "1");
    EXPECT_EQ(py_attr("sys", "flags", "no_site"), "1");
}

TEST_F(RuntimeTest, empty_addin_folder_uses_relative_home_without_addin_entries) {
    fs::create_directory_symlink(python_home, dir / "python");
    fs::path cwd = fs::current_path();
    fs::current_path(dir);
    python_runtime_set_xll_dir(L"");
    int rc = python_runtime_init(capture);
    fs::current_path(cwd);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(logged.at(0), "detect_python_home: using embedded -> ./python");
    EXPECT_EQ(sys_path(), expected_sys_path("", "./python"));
}

TEST_F(RuntimeTest, repeated_starts_relog_home_leave_sys_path_and_hand_the_lock_back) {
    fs::create_directory_symlink(python_home, dir / "python");
    ASSERT_EQ(start(), 1);
    python_runtime_release_start_lock();
    for (int round = 0; round < 4; round++) {
        logged.clear();
        ASSERT_EQ(start(), 1);
        EXPECT_EQ(logged, (std::vector<std::string>{home_line(), "Python already initialized"}));
        EXPECT_EQ(python_runtime_ready(), 1);
        EXPECT_EQ(gil_held(), 1) << "the steps after a repeated start need the lock";
        EXPECT_EQ(sys_path(), expected_sys_path(dir.string(), home()));
        python_runtime_release_start_lock();
        EXPECT_EQ(gil_held(), 0);
        ASSERT_TRUE(other_thread_gets_the_lock()) << "round " << round;
    }
}

TEST_F(RuntimeTest, missing_python_folder_logs_both_load_lines_and_fails) {
    ASSERT_EQ(start(), 0);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0], home_line());
    std::string lib = home() + "/libpython3.12.so";
    EXPECT_EQ(logged[1].rfind("pyapi: LoadLibrary failed for " + lib + " (error ", 0), 0u) << logged[1];
    EXPECT_EQ(logged[2].rfind("python_runtime_init: failed to load Python DLL at " + lib + " (error ", 0), 0u)
        << logged[2];
    EXPECT_EQ(pyapi.handle, nullptr);
    EXPECT_EQ(python_runtime_ready(), 0);
    EXPECT_EQ(start(nullptr), 0);
}

// Each read of the last error gives a new code, as when the log writes in
// between overwrite it.
unsigned long reads;
unsigned long changing_error(void) { return 100 + reads++; }

TEST_F(RuntimeTest, binding_failure_line_reports_the_loads_error_not_a_later_one) {
    reads = 0;
    plat.last_error = changing_error;
    int rc = start();
    plat_reset();
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_NE(logged[1].find("(error 100)"), std::string::npos) << logged[1];
    EXPECT_NE(logged[2].find("(error 100)"), std::string::npos) << logged[2];
}

TEST_F(RuntimeTest, failed_interpreter_start_keeps_the_library_bound) {
    // A home with the library but no standard library: Python cannot start.
    fs::create_directories(dir / "python");
    fs::create_symlink(python_home / "libpython3.12.so", dir / "python/libpython3.12.so");
    ASSERT_EQ(start(), 0);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[1], "pyapi: all symbols loaded");
    EXPECT_EQ(logged[2].rfind("Python initialization failed: ", 0), 0u) << logged[2];
    EXPECT_NE(logged[2], "Python initialization failed: (no error message)");
    EXPECT_NE(pyapi.handle, nullptr);
    EXPECT_EQ(python_runtime_ready(), 0);
}

// The stand-in library reports the configuration it was handed, read through
// Python 3.12's own PyConfig layout.
void link_standin(const fs::path &dir, const char *variant) {
    fs::create_directories(dir / "python");
    fs::create_symlink(standin_dir / variant / "libpython3.12.so", dir / "python/libpython3.12.so");
}

TEST_F(RuntimeTest, configuration_reaches_python_in_its_own_fields_and_retry_skips_binding) {
    link_standin(dir, "complete");
    std::string failure = "Python initialization failed: stand-in home=" + home() + " paths=" + home() +
                          "/python312.zip|" + home() + " env=0 signals=0 site=0 paths_set=1";
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(logged, (std::vector<std::string>{home_line(), "pyapi: all symbols loaded", failure}));
    EXPECT_NE(pyapi.handle, nullptr);
    logged.clear();
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(logged, (std::vector<std::string>{home_line(), failure}));
    EXPECT_EQ(python_runtime_ready(), 0);
}

TEST_F(RuntimeTest, start_failure_without_message_says_so) {
    link_standin(dir, "no_message");
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(logged.back(), "Python initialization failed: (no error message)");
}

TEST_F(RuntimeTest, null_log_starts_silently_with_the_same_result) {
    fs::create_directory_symlink(python_home, dir / "python");
    ASSERT_EQ(start(nullptr), 1);
    EXPECT_EQ(sys_path(), expected_sys_path(dir.string(), home()));
    python_runtime_release_start_lock();
    ASSERT_EQ(start(nullptr), 1);
    EXPECT_EQ(gil_held(), 1);
    python_runtime_release_start_lock();
    EXPECT_TRUE(logged.empty());
}

TEST_F(RuntimeTest, overlong_addin_folder_is_cut_and_reported) {
    std::wstring deep = widen(dir.string()) + L"/" + std::wstring(254 - dir.string().size(), L'd');
    python_runtime_set_xll_dir(deep.c_str());
    ASSERT_EQ(python_runtime_init(capture), 0);
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[0].rfind("WARNING: python_runtime_init: path cut at 259 characters: ", 0), 0u) << logged[0];
    std::string cut = (std::string(deep.begin(), deep.end()) + "/python").substr(0, 259);
    EXPECT_EQ(logged[1], "detect_python_home: using embedded -> " + cut);
}

}  // namespace
