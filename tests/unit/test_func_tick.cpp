// The main-thread tick as Excel runs it: its pace, what it does for the
// registry (registrations left for it, withdrawals Excel refused), and the
// interpreter lock when something in it throws. Against an in-process Excel
// with a clock, and a real embedded Python where the case needs one.
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>

#include "func_test_support.h"
#include "xll_tick.h"

namespace {

// Excel for these cases: a clock for xlfNow that the test moves, every
// xlcOnTime schedule recorded as its delay, xlfRegister accepted (or made
// to throw, as no real Excel does: it stands for a C++ failure anywhere in
// the tick), xlfUnregister answered TRUE or FALSE.
struct tick_excel_state {
    double now = 45000.0;              // serial time xlfNow answers
    std::vector<double> delays_ms;     // each schedule's time minus now, in ms
    int cancels = 0;                   // xlcOnTime calls with schedule FALSE
    bool register_throws = false;      // xlfRegister throws
    int registrations = 0;             // accepted xlfRegister calls
    bool unregister_answer = true;     // what xlfUnregister answers
    int unregisters = 0;               // xlfUnregister calls
};
tick_excel_state &tx() {
    static tick_excel_state s;
    return s;
}

int tick_callback(int xlfn, int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    auto &s = tx();
    switch (xlfn) {
    case xlfNow:
        result->xltype = xltypeNum;
        result->val.num = s.now;
        return xlretSuccess;
    case xlcOnTime:
        if (count >= 4 && opers[3]->xltype == xltypeBool && !opers[3]->val.xbool) {
            s.cancels++;
        } else {
            s.delays_ms.push_back((opers[0]->val.num - s.now) * 86400000.0);
        }
        if (result) {
            result->xltype = xltypeBool;
            result->val.xbool = 1;
        }
        return xlretSuccess;
    case xlfRegister:
        if (s.register_throws) throw std::runtime_error("register failed inside the tick");
        s.registrations++;
        result->xltype = xltypeNum;
        result->val.num = 100 + s.registrations;
        return xlretSuccess;
    case xlfUnregister:
        s.unregisters++;
        result->xltype = xltypeBool;
        result->val.xbool = s.unregister_answer;
        return xlretSuccess;
    case xlFree:
        return xlretSuccess;
    default:
        return xlretInvXlfn;
    }
}

void *symbol_with_tick_excel(plat_module module, const char *name) {
    if (strcmp(name, "MdCallBack12") == 0) return (void *)&tick_callback;
    return plat_defaults.library_symbol(module, name);
}

void setup() {
    plat.library_symbol = symbol_with_tick_excel;
    func_registry_init(L"/nowhere", plat_self_module(), fts::capture_log);
}

// Rounded to whole milliseconds: the serial time carries a little float noise.
long long last_delay_ms() {
    return tx().delays_ms.empty() ? -1 : std::llround(tx().delays_ms.back());
}

int hook_busy_answer = 0;
int hook_busy(void) { return hook_busy_answer; }

// Whether another thread can take and give back the interpreter lock within
// 30 s; a lock left held blocks it for good.
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
    t.detach();  // blocked: left to the end of the process
    return false;
}

// A dummy callable for slots the tick only looks at (no interpreter).
PyObject *const dummy_callable = (PyObject *)&func_registry;

void bind_registered(int i, const char *name, double id) {
    strncpy(func_registry.slots[i].name, name, FUNC_NAME_CAP - 1);
    func_registry.slots[i].arity = 1;
    func_registry.slots[i].callable = dummy_callable;
    func_registry.slots[i].registered = 1;
    func_registry.slots[i].register_id = id;
    if (func_registry.slot_count < i + 1) func_registry.slot_count = i + 1;
}

}  // namespace

// --- the pace -------------------------------------------------------------------------

// Re-armed for "now" while jobs waited, the tick ran thousands of times a
// second and cost Excel's main thread a busy loop after every agent request.
TEST(tick_pace, busy_tick_waits_50_ms_and_an_idle_one_a_second_never_zero) {
    setup();
    ASSERT_EQ(xll_tick_add_hook(hook_busy), 1);
    xll_tick_start();
    EXPECT_EQ(last_delay_ms(), 1000) << "the first run, a second after the open";

    hook_busy_answer = 1;  // jobs wait
    tx().now += 1.0 / 86400.0;
    ASSERT_EQ(xll_register_pending(), 1);
    EXPECT_EQ(last_delay_ms(), 50) << "20 runs a second at most while jobs wait, and a waiting job runs within 50 ms";

    hook_busy_answer = 0;  // nothing left to do
    tx().now += 0.05 / 86400.0;
    ASSERT_EQ(xll_register_pending(), 1);
    EXPECT_EQ(last_delay_ms(), 1000) << "idle: one run a second";
    for (double d : tx().delays_ms) EXPECT_GE(d, 49.0) << "no run is ever scheduled for at once";
    xll_tick_stop();
}

TEST(tick_pace, run_by_name_keeps_one_schedule_at_the_normal_pace) {
    setup();
    xll_tick_start();
    // Run by name before its time: the pending run is withdrawn and one new
    // one made; the schedule never doubles.
    ASSERT_EQ(xll_register_pending(), 1);
    EXPECT_EQ(tx().cancels, 1);
    EXPECT_EQ(tx().delays_ms.size(), 2u);
    EXPECT_EQ(last_delay_ms(), 1000);
    xll_tick_stop();
}

// --- the interpreter lock -------------------------------------------------------------

// xll_register_pending took the lock with a bare PyGILState_Ensure: a C++
// exception after it (caught by the export's firewall) left Excel's main
// thread holding the lock, and every agent request and the watchdog waited
// for ever.
TEST(tick_lock, throw_inside_the_tick_with_python_running_gives_the_lock_back) {
    auto s = fts::start();
    ASSERT_TRUE(s.ok);
    setup();
    func_registry_init(fts::widen(s.dir.path).c_str(), plat_self_module(), fts::capture_log);
    fts::py_run("def f(x):\n    return x\n");
    fts::bind(0, "f", 1);  // bound, not yet registered: the tick will register it
    func_registry.slots[0].registered = 0;
    xll_tick_start();
    python_runtime_release_start_lock();  // as at the end of xlAutoOpen
    ASSERT_TRUE(other_thread_gets_the_lock()) << "the test's own start left the lock held";

    tx().register_throws = true;
    func_registry.tick_work.store(1);
    tx().now += 1.0 / 86400.0;
    EXPECT_EQ(xll_register_pending(), 0) << "the firewall caught the exception";
    EXPECT_TRUE(other_thread_gets_the_lock()) << "the tick kept the interpreter lock after a C++ exception";
    EXPECT_EQ(last_delay_ms(), 1000) << "and the tick stays scheduled";

    // The next run, with Excel well again, does the work the failed one left.
    tx().register_throws = false;
    func_registry.tick_work.store(1);
    tx().now += 1.0 / 86400.0;
    EXPECT_EQ(xll_register_pending(), 1);
    EXPECT_EQ(func_registry.slots[0].registered, 1);
    EXPECT_TRUE(other_thread_gets_the_lock());
    xll_tick_stop();
}

// --- withdrawals Excel refused --------------------------------------------------------

// A refused xlfUnregister was tried once and forgotten, while `functions`
// reported the name as removed: Excel still listed it for good.
TEST(tick_unregister, refused_unregister_is_retried_at_later_ticks_and_the_state_says_excel_has_it) {
    setup();
    bind_registered(0, "GONE", 7);
    func_registry.slots[0].callable = nullptr;  // what a reload's sweep leaves
    func_registry.slots[0].removed = FUNC_SLOT_REMOVED;
    tx().unregister_answer = false;
    func_registry.tick_work.store(1);
    func_registry_process_pending(0);
    func_registry_process_pending(0);
    func_registry_process_pending(0);
    EXPECT_EQ(tx().unregisters, 3) << "every tick asks again";
    EXPECT_EQ(func_registry.slots[0].registered, 1);
    EXPECT_STREQ(func_registry_slot_state(0), "removing") << "Excel still has the name";
    int refusals_logged = 0;
    for (auto &l : fts::log_lines())
        if (l.rfind("xlfUnregister failed for GONE: rc=0", 0) == 0) refusals_logged++;
    EXPECT_EQ(refusals_logged, 1) << "logged once, not every second:\n" << fts::log_text();

    tx().unregister_answer = true;
    func_registry_process_pending(0);
    EXPECT_EQ(func_registry.slots[0].registered, 0);
    EXPECT_STREQ(func_registry_slot_state(0), "removed");
    EXPECT_TRUE(fts::logged("Unregistered Excel function: GONE (after 3 refusals)")) << fts::log_text();
    func_registry_process_pending(0);
    EXPECT_EQ(tx().unregisters, 4) << "done: nothing more to ask";
    EXPECT_EQ(func_registry.tick_work.load(), 0);
}

// --- what the open registers ----------------------------------------------------------

// A reload binds a new name and leaves it for the tick; closed before any
// tick ran, the reopen's pass only rebound it and Excel never heard of it.
TEST(tick_open, name_a_reload_left_pending_is_registered_by_the_next_open) {
    auto s = fts::start();
    ASSERT_TRUE(s.ok);
    setup();
    func_registry_init(fts::widen(s.dir.path).c_str(), plat_self_module(), fts::capture_log);
    fts::py_run("import tindral_xl\n"
                "@tindral_xl.xl_function(name='MARKUP')\n"
                "def markup(cost, pct):\n"
                "    return cost * (1 + pct / 100)\n");
    PyObject *outcomes = pyapi.PyList_New(0);
    ASSERT_EQ(func_registry_sync(outcomes), 1);  // the agent's load, off the main thread
    pyapi.Py_DecRef(outcomes);
    // Slot 0 holds the package's own TINDRAL.ERROR, slot 1 MARKUP.
    EXPECT_EQ(tx().registrations, 0) << "a reload never calls Excel";
    EXPECT_STREQ(func_registry_slot_state(0), "pending");
    EXPECT_STREQ(func_registry_slot_state(1), "pending");

    ASSERT_EQ(func_registry_register_all(), 1);  // the pass of the next xlAutoOpen
    EXPECT_EQ(tx().registrations, 2);
    EXPECT_STREQ(func_registry_slot_state(0), "accepted");
    EXPECT_STREQ(func_registry_slot_state(1), "accepted");
    EXPECT_TRUE(fts::logged("Registered Excel function: MARKUP (2 args)")) << fts::log_text();

    ASSERT_EQ(func_registry_register_all(), 1);  // and a name Excel has is never registered twice
    EXPECT_EQ(tx().registrations, 2);
}
