// Excel registration texts, the pending-registration command, the slot entry
// points and xlAutoFree12: everything of the worksheet path that needs no
// interpreter, against an in-process Excel that records each call.
#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
// The sanitizer runtime's own count; its allocator bypasses mallinfo2.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

#include "func_test_support.h"
#include "text_utf16.h"

using fts::excel;
using fts::logged;
using fts::u16;

namespace {

void setup() {
    fts::install_fake_excel();
    func_registry_init(L"/nowhere", plat_self_module(), fts::capture_log);
}

std::u16string own_path_utf16() {
    wchar_t path[PLAT_MAX_PATH];
    plat.module_file_name(plat_self_module(), path, PLAT_MAX_PATH);
    XCHAR units[2 * PLAT_MAX_PATH];
    int n = text_utf16_from_wide(path, wcslen(path), units, 2 * PLAT_MAX_PATH);
    return std::u16string((const char16_t *)units, (size_t)n);
}

// Binds slot i without Python: the command and the entry points only look at
// whether a callable is set.
PyObject *const dummy_callable = (PyObject *)&func_registry;
void bind_without_python(int i, const char *name, int arity, int registered) {
    strncpy(func_registry.slots[i].name, name, FUNC_NAME_CAP - 1);
    func_registry.slots[i].arity = arity;
    func_registry.slots[i].callable = dummy_callable;
    func_registry.slots[i].registered = registered;
    if (func_registry.slot_count < i + 1) func_registry.slot_count = i + 1;
}

// Bytes the process has allocated and not yet freed.
size_t heap_in_use(void) {
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

XLOPER12 *call_slot(int n) {
    XLOPER12 missing;
    memset(&missing, 0, sizeof missing);
    missing.xltype = xltypeMissing;
    XLOPER12 *m = &missing;
    return func_registry_slot_entries[n](m, m, m, m, m, m, m, m, m, m);
}

}  // namespace

TEST(func_registration, type_text_procedure_and_module_text_per_slot) {
    setup();
    ASSERT_EQ(func_registry_register_slot(0, "none", 0, "xll_slot_0"), 1);
    ASSERT_EQ(func_registry_register_slot(1, "three", 3, "xll_slot_1"), 1);
    ASSERT_EQ(func_registry_register_slot(63, "ten", 10, "xll_slot_63"), 1);

    auto &r = excel().registrations;
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].type, u"Q");
    EXPECT_EQ(r[1].type, u"QQQQ");
    EXPECT_EQ(r[2].type, u"QQQQQQQQQQQ");
    EXPECT_EQ(r[0].procedure, u"xll_slot_0");
    EXPECT_EQ(r[2].procedure, u"xll_slot_63");
    EXPECT_EQ(r[1].function, u"three");
    // The add-in's own file, not the host's.
    EXPECT_EQ(r[0].module, own_path_utf16());
    EXPECT_NE(r[0].module.find(u"test_func_registration"), std::u16string::npos);
    EXPECT_EQ(excel().malformed, 0);
    EXPECT_EQ(excel().frees, 3) << "each accepted registration hands its id back with xlFree";
    EXPECT_EQ(func_registry.slots[63].registered, 1);
    EXPECT_TRUE(logged("Registered Excel function: three (3 args)"));
    EXPECT_TRUE(logged("Registered Excel function: none (0 args)"));
}

TEST(func_registration, refused_slot_logs_code_stays_pending_and_frees_nothing) {
    setup();
    excel().refuse[u"add"] = xlretInvXloper;
    EXPECT_EQ(func_registry_register_slot(4, "add", 2, "xll_slot_4"), 0);
    EXPECT_EQ(func_registry.slots[4].registered, 0);
    EXPECT_EQ(excel().frees, 0);
    EXPECT_TRUE(logged("xlfRegister failed for add: rc=8")) << fts::log_text();
}

TEST(func_registration, missing_excel_callback_is_logged_as_failed_code) {
    func_registry_init(L"/nowhere", plat_self_module(), fts::capture_log);  // no fake: the test binary exports no MdCallBack12
    EXPECT_EQ(func_registry_register_slot(0, "f", 1, "xll_slot_0"), 0);
    EXPECT_TRUE(logged("xlfRegister failed for f: rc=32")) << fts::log_text();
}

// A name is UTF-8 in Python and UTF-16 in Excel: byte by byte, "café" would
// reach Excel as "cafÃ©", a name no user can type.
TEST(func_registration, non_ascii_name_reaches_excel_as_the_same_characters) {
    setup();
    func_registry_register_slot(0, "caf\xC3\xA9", 1, "xll_slot_0");
    func_registry_register_slot(1, "\xF0\x9D\x94\xB8x", 1, "xll_slot_1");  // U+1D538: a surrogate pair
    ASSERT_EQ(excel().registrations.size(), 2u);
    EXPECT_EQ(excel().registrations[0].function, u"caf\u00e9");
    EXPECT_EQ(excel().registrations[1].function, (std::u16string{0xD835, 0xDD38, u'x'}));
    EXPECT_EQ(excel().malformed, 0);
    EXPECT_TRUE(logged("Registered Excel function: caf\xC3\xA9 (1 args)")) << fts::log_text();
}

TEST(func_registration, name_length_is_counted_in_excels_characters_not_bytes) {
    EXPECT_EQ(func_registry_name_units("abc"), 3u);
    EXPECT_EQ(func_registry_name_units("caf\xC3\xA9"), 4u);
    EXPECT_EQ(func_registry_name_units("\xE2\x82\xAC"), 1u);          // U+20AC, three bytes
    EXPECT_EQ(func_registry_name_units("\xF0\x9D\x94\xB8"), 2u);     // U+1D538, a pair in Excel
    EXPECT_EQ(func_registry_name_units(""), 0u);
}

TEST(func_registration, overlong_function_text_is_cut_to_excels_255_without_overrun) {
    setup();
    std::string name(400, 'n');
    func_registry_register_slot(0, name.c_str(), 0, "xll_slot_0");
    ASSERT_EQ(excel().registrations.size(), 1u);
    EXPECT_EQ(excel().registrations[0].function, std::u16string(255, u'n'));
    EXPECT_EQ(excel().malformed, 0);
}

TEST(func_registration, argument_count_beyond_entry_point_is_never_sent_to_excel) {
    setup();
    EXPECT_EQ(func_registry_register_slot(0, "eleven", 11, "xll_slot_0"), 0);
    EXPECT_EQ(func_registry_register_slot(1, "negative", -1, "xll_slot_1"), 0);
    EXPECT_TRUE(excel().registrations.empty());
    EXPECT_EQ(func_registry.slots[0].registered, 0);
}

TEST(func_registration, command_is_registered_as_A_hash_under_its_own_name) {
    setup();
    func_registry_register_command();
    ASSERT_EQ(excel().registrations.size(), 1u);
    auto &r = excel().registrations[0];
    EXPECT_EQ(r.procedure, u"xll_register_pending");
    EXPECT_EQ(r.type, u"A#");
    EXPECT_EQ(r.function, u"xll_register_pending");
    EXPECT_EQ(r.macro_type, 2) << "xlcOnTime runs commands only";
    EXPECT_EQ(excel().malformed, 0);
    EXPECT_EQ(excel().frees, 1);
    EXPECT_TRUE(logged("func_registry: registered command xll_register_pending"));
}

TEST(func_registration, refused_command_logs_code_and_frees_nothing) {
    setup();
    excel().refuse[u"xll_register_pending"] = xlretAbort;
    func_registry_register_command();
    EXPECT_EQ(excel().frees, 0);
    EXPECT_TRUE(logged("func_registry: failed to register command: rc=1")) << fts::log_text();
}

TEST(func_registration, pending_command_retries_only_refused_slots_with_their_own_arity) {
    setup();
    func_registry.module = plat_self_module();
    bind_without_python(0, "done", 1, 1);
    bind_without_python(1, "later", 2, 0);
    bind_without_python(2, "also_later", 0, 0);
    EXPECT_EQ(xll_register_pending(), 1);
    auto &r = excel().registrations;
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].procedure, u"xll_slot_1");
    EXPECT_EQ(r[0].type, u"QQQ");
    EXPECT_EQ(r[0].function, u"later");
    EXPECT_EQ(r[1].procedure, u"xll_slot_2");
    EXPECT_EQ(func_registry.slots[1].registered, 1);
    EXPECT_EQ(fts::log_lines().front(), "func_registry: processing deferred registrations (command)");
    EXPECT_TRUE(logged("Registered Excel function: later (2 args)"));

    // Everything is registered now: a second run only says it started.
    fts::log_lines().clear();
    EXPECT_EQ(xll_register_pending(), 1);
    EXPECT_EQ(r.size(), 2u);
    EXPECT_EQ(fts::log_lines(), std::vector<std::string>{"func_registry: processing deferred registrations (command)"});
}

TEST(func_registration, pending_command_with_nothing_bound_logs_only_its_opening_line) {
    setup();
    EXPECT_EQ(xll_register_pending(), 1);
    EXPECT_TRUE(excel().registrations.empty());
    EXPECT_EQ(fts::log_lines(), std::vector<std::string>{"func_registry: processing deferred registrations (command)"});
}

// The scheduled tick runs thousands of times a second while jobs are served:
// with nothing published for the table it must leave it (and the GIL) alone.
TEST(func_registration, scheduled_tick_with_no_work_published_leaves_the_table_alone) {
    setup();
    bind_without_python(0, "later", 1, 0);
    func_registry.tick_work.store(0);
    func_registry_process_pending(0);
    EXPECT_TRUE(excel().registrations.empty());
    EXPECT_TRUE(fts::log_lines().empty()) << fts::log_text();

    // Once work is published (a sync ran), the next scheduled tick does it.
    func_registry.tick_work.store(1);
    func_registry_process_pending(0);
    ASSERT_EQ(excel().registrations.size(), 1u);
    EXPECT_EQ(func_registry.slots[0].registered, 1);
    EXPECT_EQ(func_registry.tick_work.load(), 0) << "nothing left: the next tick must be idle";
}

// Excel refusing a registration is work for every later tick until it
// accepts: the retry must not stop after the first scheduled run.
TEST(func_registration, refused_registration_keeps_the_scheduled_tick_retrying) {
    setup();
    bind_without_python(0, "later", 1, 0);
    excel().refuse[u"later"] = xlretFailed;
    func_registry.tick_work.store(1);
    func_registry_process_pending(0);
    func_registry_process_pending(0);
    EXPECT_EQ(excel().registrations.size(), 2u);
    excel().refuse.clear();
    func_registry_process_pending(0);
    EXPECT_EQ(excel().registrations.size(), 3u);
    EXPECT_EQ(func_registry.slots[0].registered, 1);
    func_registry_process_pending(0);
    EXPECT_EQ(excel().registrations.size(), 3u);
}

TEST(func_slots, each_entry_point_answers_with_its_own_record) {
    for (int n = 0; n < FUNC_SLOT_COUNT; n++) {
        XLOPER12 *r = call_slot(n);
        ASSERT_EQ(r, &func_registry.slots[n].result) << "xll_slot_" << n << " passed another number";
        EXPECT_EQ(r->xltype, xltypeErr);
        EXPECT_EQ(r->val.err, xlerrValue);
    }
}

TEST(func_slots, call_without_interpreter_is_value_error_not_a_crash) {
    bind_without_python(3, "f", 2, 1);
    XLOPER12 *r = call_slot(3);
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
}

// A failed interpreter start leaves the library bound: the slot must not take
// a GIL that does not exist.
TEST(func_slots, call_with_library_bound_but_no_interpreter_is_value_error) {
    static int stand_in;
    bind_without_python(3, "f", 2, 1);
    pyapi.handle = &stand_in;  // bound, yet every entry null: any call would crash
    XLOPER12 *r = call_slot(3);
    pyapi.handle = nullptr;
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
}

TEST(func_slots, text_not_handed_back_is_freed_by_next_call_once) {
    const size_t big = 4 << 20;  // far above anything else the call allocates
    size_t before = heap_in_use();
    XLOPER12 *r = &func_registry.slots[7].result;
    r->val.str = (XCHAR *)malloc(big);
    r->val.str[0] = 0;
    r->xltype = xltypeStr | xlbitDLLFree;
    ASSERT_GE(heap_in_use(), before + big);
    call_slot(7);
    EXPECT_LT(heap_in_use(), before + big) << "the previous call's text was not released";
    // The record now holds #VALUE!: a third call must not free anything again
    // (glibc and the sanitizers abort on a double free).
    call_slot(7);
    EXPECT_EQ(r->xltype, xltypeErr);
}

TEST(func_slots, autofree_releases_text_once_and_ignores_other_records) {
    XLOPER12 *r = &func_registry.slots[9].result;
    r->val.str = (XCHAR *)malloc(8);
    r->xltype = xltypeStr | xlbitDLLFree;
    xlAutoFree12(r);
    EXPECT_EQ(r->xltype, 0u);
    EXPECT_EQ(r->val.str, nullptr);
    // The slot's next call must not free the buffer a second time.
    call_slot(9);
    EXPECT_EQ(r->xltype, xltypeErr);

    XLOPER12 num = fts::num_arg(2.5);
    xlAutoFree12(&num);
    EXPECT_EQ(num.xltype, xltypeNum);
    EXPECT_EQ(num.val.num, 2.5);
    xlAutoFree12(nullptr);
}

TEST(func_text, characters_beyond_bmp_become_surrogate_pairs_and_back) {
    const wchar_t wide[] = {L'a', (wchar_t)0x1F600, L'b', 0};
    XCHAR units[8];
    int n = text_utf16_from_wide(wide, 3, units, 8);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(units[1], 0xD83D);
    EXPECT_EQ(units[2], 0xDE00);
    wchar_t back[8];
    ASSERT_EQ(text_utf16_to_wide(units, n, back, 8), 3);
    EXPECT_EQ((unsigned long)back[1], 0x1F600ul);
}

TEST(func_text, cut_never_splits_a_surrogate_pair) {
    const wchar_t wide[] = {L'a', L'b', (wchar_t)0x1F600, 0};
    XCHAR units[4];
    EXPECT_EQ(text_utf16_from_wide(wide, 3, units, 3), 2);
    EXPECT_EQ(text_utf16_from_wide(wide, 3, units, 4), 4);
}

TEST(func_text, lone_surrogate_from_excel_stays_one_character) {
    const XCHAR units[] = {0xD800, u'x', 0xDC00};
    wchar_t back[4];
    ASSERT_EQ(text_utf16_to_wide(units, 3, back, 4), 3);
    EXPECT_EQ((unsigned long)back[0], 0xD800ul);
    EXPECT_EQ((unsigned long)back[2], 0xDC00ul);
}

// Each registration line opened the log file again: a tick registering eight
// names opened it nine times (the command's own line included).
TEST(func_registration, tick_pass_opens_the_log_once_for_all_its_lines) {
    char dir[] = "/tmp/tindral_reglog_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const char *was = getenv("TMPDIR");
    std::string saved = was ? was : "";
    setenv("TMPDIR", dir, 1);
    fts::install_fake_excel();
    func_registry_init(L"/nowhere", plat_self_module(), xll_log);
    char names[8][8];
    for (int i = 0; i < 8; i++) {
        snprintf(names[i], sizeof names[i], "f%d", i);
        bind_without_python(i, names[i], 1, 0);
    }
    static int opens;
    static FILE *(*real_open)(const char *);
    opens = 0;
    real_open = plat.open_append;
    plat.open_append = [](const char *path) {
        opens++;
        return real_open(path);
    };
    func_registry_process_pending(1);
    plat_reset();
    EXPECT_EQ(opens, 1);
    std::string log;
    {
        std::ifstream f(std::string(dir) + "/tindralxl.log");
        log.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    for (int i = 0; i < 8; i++)
        EXPECT_NE(log.find("Registered Excel function: " + std::string(names[i]) + " (1 args)\n"), std::string::npos)
            << log;
    if (was) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
    std::string cmd = std::string("rm -rf '") + dir + "'";
    (void)!system(cmd.c_str());
}
