// The firewall around every export: a C++ exception thrown below answers
// Excel's failure value, is logged, and never leaves the interpreter lock
// held.
#include <chrono>
#include <future>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "func_test_support.h"
#include "xll_lifecycle.h"

namespace {

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// 1 when a thread other than this one can take and give back the GIL within
// five seconds. A thread that cannot stays blocked; it is left behind. One
// that could is joined, so that it has ended before the process exits (a
// thread still unwinding at exit crashes LeakSanitizer's tracer).
bool gil_free_for_another_thread() {
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread probe([taken] {
        PyGILState_STATE g = pyapi.PyGILState_Ensure();
        pyapi.PyGILState_Release(g);
        taken->set_value();
    });
    bool free = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (free)
        probe.join();
    else
        probe.detach();
    return free;
}

plat_find throwing_find_first(const wchar_t *, plat_find_data *) { throw std::runtime_error("listing"); }
PyObject *throwing_vectorcall(PyObject *, PyObject *const *, size_t, PyObject *) { throw std::bad_alloc(); }
unsigned throwing_module_file_name(plat_module, wchar_t *, unsigned) { throw std::bad_alloc(); }

std::wstring addin_file;
unsigned addin_file_name(plat_module, wchar_t *buf, unsigned cap) {
    unsigned n = 0;
    for (; n + 1 < cap && n < addin_file.size(); n++) buf[n] = addin_file[n];
    buf[n] = 0;
    return n;
}

// Each case logs to its own temp folder and keeps the session file there.
class export_guard : public ::testing::Test {
  protected:
    std::string tmp;
    void SetUp() override {
        tmp = fts::make_temp_dir();
        setenv("TMPDIR", tmp.c_str(), 1);
        setenv("XDG_CONFIG_HOME", tmp.c_str(), 1);
    }
    void TearDown() override { plat_reset(); }
    std::string log() { return read_text(tmp + "/tindralxl.log"); }
};

}  // namespace

TEST_F(export_guard, open_that_throws_after_python_started_gives_the_interpreter_lock_back) {
    fts::addin_dir d = fts::make_addin_dir();
    addin_file = fts::widen(d.path + "/TindralXL.so");
    plat.module_file_name = addin_file_name;
    plat.find_first = throwing_find_first;  // the module listing, after Python started
    EXPECT_EQ(xlAutoOpen(), 1);
    std::string text = log();
    size_t started = text.find("Python initialized\n");
    size_t caught = text.find("xlAutoOpen: unexpected C++ exception \xE2\x80\x94 start abandoned\n");
    ASSERT_NE(started, std::string::npos) << text;
    ASSERT_NE(caught, std::string::npos) << text;
    EXPECT_GT(caught, started);
    EXPECT_EQ(text.find("xlAutoOpen: complete"), std::string::npos) << text;
    EXPECT_TRUE(gil_free_for_another_thread()) << "the start-up thread kept the interpreter lock";
    plat_reset();
    EXPECT_EQ(xlAutoClose(), 1);
}

TEST_F(export_guard, slot_that_throws_answers_value_and_frees_the_interpreter_lock) {
    fts::addin_dir d = fts::make_addin_dir();
    ASSERT_TRUE(fts::start_python(d));
    fts::py_run("def seven():\n    return 7\n");
    func_registry.slots[0].callable = fts::py_main("seven");  // the slot's own reference
    strcpy(func_registry.slots[0].name, "seven");
    func_registry.slots[0].arity = 0;
    func_registry.slot_count = 1;
    python_runtime_release_start_lock();

    auto real_vectorcall = pyapi.PyObject_Vectorcall;
    pyapi.PyObject_Vectorcall = throwing_vectorcall;
    XLOPER12 *r = func_registry_slot_entries[0](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr);
    pyapi.PyObject_Vectorcall = real_vectorcall;
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
    EXPECT_NE(log().find("xll_slot_0: unexpected C++ exception \xE2\x80\x94 #VALUE!\n"), std::string::npos) << log();
    EXPECT_TRUE(gil_free_for_another_thread()) << "the slot kept the interpreter lock";

    // The slot still works for the next call.
    r = func_registry_slot_entries[0](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
    EXPECT_EQ(r->xltype, xltypeNum);
    EXPECT_EQ(r->val.num, 7.0);
}

TEST_F(export_guard, retry_command_that_throws_answers_false_and_logs) {
    fts::install_fake_excel();
    func_registry_init(L"/nowhere", plat_self_module(), fts::capture_log);
    func_registry.slots[0].callable = (PyObject *)&func_registry;  // bound, never called
    strcpy(func_registry.slots[0].name, "later");
    func_registry.slots[0].registered = 0;
    func_registry.slot_count = 1;
    plat.module_file_name = throwing_module_file_name;  // inside the registration
    EXPECT_EQ(xll_register_pending(), 0);
    EXPECT_EQ(log(), "xll_register_pending: unexpected C++ exception \xE2\x80\x94 retry abandoned\n");
    EXPECT_TRUE(fts::excel().registrations.empty());
}
