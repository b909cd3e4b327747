// The registration pass over tindral_xl._registry and the module loader,
// against a real embedded Python and an in-process Excel.
#include <algorithm>

#include "func_test_support.h"

using fts::excel;
using fts::logged;

namespace {

fts::addin_dir start(bool with_modules = true) {
    fts::install_fake_excel();
    fts::addin_dir d = fts::make_addin_dir(with_modules);
    EXPECT_TRUE(fts::start_python(d));
    return d;
}

// Sets the package's list from Python source and runs one pass.
int pass_with(const std::string &entries) {
    fts::py_run("import tindral_xl\ntindral_xl._registry = " + entries);
    fts::log_lines().clear();
    return func_registry_register_all();
}

std::vector<std::string> registered_names() {
    std::vector<std::string> names;
    for (auto &r : excel().registrations) names.emplace_back(r.function.begin(), r.function.end());
    return names;
}

// Index of `line` in the log, or -1.
int log_index(const std::string &line) {
    auto &l = fts::log_lines();
    auto it = std::find(l.begin(), l.end(), line);
    return it == l.end() ? -1 : (int)(it - l.begin());
}

XLOPER12 *call0(int slot) {
    return func_registry_slot_entries[slot](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
}

const char *FUNCS = "def f(*a): return 'f%d' % len(a)\ndef g(*a): return 'g%d' % len(a)\n";

}  // namespace

TEST(py_pass, empty_list_binds_nothing_and_still_logs_the_count) {
    start();
    EXPECT_EQ(pass_with("[]"), 1);
    EXPECT_EQ(func_registry.slot_count, 0);
    EXPECT_TRUE(excel().registrations.empty());
    EXPECT_EQ(fts::log_lines(), std::vector<std::string>{"func_registry: registered 0 functions"});
}

TEST(py_pass, entries_of_the_wrong_shape_take_no_slot_and_leave_no_error) {
    start();
    fts::py_run(std::string(FUNCS) + "import collections\nNT = collections.namedtuple('NT', 'n f c')");
    EXPECT_EQ(pass_with("[['list', f, 1], ('two', f), ('four', f, 1, 2), NT('nt', f, 1), (5, f, 1), "
                        "(b'bytes', f, 1), ('ok', g, 1)]"),
              1);
    EXPECT_EQ(func_registry.slot_count, 1);
    EXPECT_STREQ(func_registry.slots[0].name, "ok");
    EXPECT_EQ(registered_names(), std::vector<std::string>{"ok"});
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    EXPECT_EQ(fts::log_lines(), (std::vector<std::string>{"Registered Excel function: ok (1 args)",
                                                          "func_registry: registered 1 functions"}));
}

TEST(py_pass, registry_that_is_not_exactly_a_list_is_refused_whole) {
    start();
    fts::py_run(FUNCS);
    EXPECT_EQ(pass_with("type('L', (list,), {})([('f', f, 1)])"), 0);
    EXPECT_TRUE(logged("func_registry_register_all: _registry not found or not a list"));
    EXPECT_EQ(func_registry.slot_count, 0);
    fts::py_run("del tindral_xl._registry");
    fts::log_lines().clear();
    EXPECT_EQ(func_registry_register_all(), 0);
    EXPECT_TRUE(logged("func_registry_register_all: _registry not found or not a list"));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr) << "the missing attribute's error must not linger";
}

TEST(py_pass, same_name_twice_rebinds_with_the_arity_warning_first) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('f', f, 2), ('f', g, 3)]");
    EXPECT_EQ(func_registry.slot_count, 1);
    EXPECT_EQ(func_registry.slots[0].arity, 2);
    EXPECT_EQ(excel().registrations.size(), 1u);
    int warn = log_index("WARNING: f arity changed 2 -> 3, but Excel still passes 2 args (reload the add-in to fix)");
    int reload = log_index("Hot-reloaded function: f (slot 0)");
    ASSERT_GE(warn, 0) << fts::log_text();
    EXPECT_EQ(reload, warn + 1);
    EXPECT_EQ(fts::text_of(call0(0)), u"g2") << "the new function, called with the old count";
}

TEST(py_pass, names_differing_only_in_case_take_two_slots) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('ADD', f, 1), ('add', g, 1)]");
    EXPECT_EQ(func_registry.slot_count, 2);
    EXPECT_EQ(registered_names(), (std::vector<std::string>{"ADD", "add"}));
}

TEST(py_pass, sixty_fifth_name_is_refused_while_known_names_still_reload) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('n%d' % i, f, 0) for i in range(66)] + [('n0', g, 0)]");
    EXPECT_EQ(func_registry.slot_count, FUNC_SLOT_COUNT);
    EXPECT_TRUE(logged("WARNING: slot limit (64) reached, cannot register n64"));
    EXPECT_TRUE(logged("WARNING: slot limit (64) reached, cannot register n65"));
    EXPECT_TRUE(logged("Hot-reloaded function: n0 (slot 0)"));
    EXPECT_EQ(fts::log_lines().back(), "func_registry: registered 64 functions");
    EXPECT_EQ(excel().registrations.size(), 64u);
    EXPECT_EQ(excel().registrations[63].procedure, u"xll_slot_63");
    EXPECT_EQ(fts::text_of(call0(0)), u"g0");
}

// One limit everywhere: Excel's 255 characters. A name of 255 characters
// that takes more bytes in UTF-8 is kept whole, not refused or cut.
TEST(py_pass, names_up_to_255_characters_are_kept_whole_and_the_retry_registers_the_same_text) {
    start();
    fts::py_run(FUNCS);
    excel().refuse[fts::u16(std::string(255, 'y').c_str())] = xlretFailed;
    pass_with("[('x' * 130, f, 0), ('x' * 130, g, 0), ('y' * 255, f, 0), ('z' * 256, g, 0), "
              "('\\u00e9' * 255, f, 0), ('\\u20ac' * 256, g, 0)]");
    EXPECT_EQ(func_registry.slot_count, 3) << "the second 130-character name matches the first";
    EXPECT_EQ(std::string(func_registry.slots[0].name), std::string(130, 'x'));
    EXPECT_EQ(fts::text_of(call0(0)), u"g0");
    std::string e_acute;
    for (int i = 0; i < 255; i++) e_acute += "\xC3\xA9";
    EXPECT_EQ(std::string(func_registry.slots[2].name), e_acute) << "510 bytes, 255 characters";
    // A name Excel cannot take is never sent cut.
    EXPECT_TRUE(logged("WARNING: name " + std::string(256, 'z') + " is longer than 255 characters \xE2\x80\x94 skipped"))
        << fts::log_text();
    std::string euro;
    for (int i = 0; i < 256; i++) euro += "\xE2\x82\xAC";
    EXPECT_TRUE(logged("WARNING: name " + euro + " is longer than 255 characters \xE2\x80\x94 skipped"));
    excel().refuse.clear();
    xll_register_pending();
    std::vector<std::u16string> sent;
    for (auto &r : excel().registrations) sent.push_back(r.function);
    EXPECT_EQ(sent, (std::vector<std::u16string>{std::u16string(130, u'x'), std::u16string(255, u'y'),
                                                 std::u16string(255, u'\u00e9'), std::u16string(255, u'y')}))
        << "first pass and retry send the same text";
}

TEST(py_pass, counts_excel_cannot_pass_are_refused_with_a_line_and_take_no_slot) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('neg', f, -1), ('eleven', f, 11), ('text', f, '2'), ('huge', f, 2**70), ('ok', f, 10)]");
    EXPECT_EQ(func_registry.slot_count, 1);
    EXPECT_STREQ(func_registry.slots[0].name, "ok");
    EXPECT_TRUE(logged("WARNING: argument count of neg is -1, outside 0 to 10 \xE2\x80\x94 skipped"))
        << fts::log_text();
    EXPECT_TRUE(logged("WARNING: argument count of eleven is 11, outside 0 to 10 \xE2\x80\x94 skipped"));
    EXPECT_TRUE(logged("WARNING: argument count of text is not an int from 0 to 10 \xE2\x80\x94 skipped"));
    EXPECT_TRUE(logged("WARNING: argument count of huge is not an int from 0 to 10 \xE2\x80\x94 skipped"));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

TEST(py_pass, old_function_is_released_only_after_the_new_one_is_in_the_slot) {
    start();
    // The old function's finaliser calls slot 0 the way Excel would. Had the
    // slot released the old function first, the call would reach a dying
    // object; stored first, it reaches the new function.
    fts::py_run("import ctypes\n"
                "slot0 = ctypes.CDLL(None).xll_slot_0\n"
                "slot0.restype = ctypes.POINTER(ctypes.c_double)\n"
                "slot0.argtypes = [ctypes.c_void_p] * 10\n"
                "seen = []\n"
                "class Old:\n"
                "    def __call__(self):\n"
                "        return 1.0\n"
                "    def __del__(self):\n"
                "        seen.append(slot0(*[None] * 10)[0])\n"
                "def new():\n"
                "    return 2.0\n");
    pass_with("[('f', Old(), 0)]");
    EXPECT_EQ(fts::log_lines().front(), "Registered Excel function: f (0 args)");
    pass_with("[('f', new, 0)]");
    fts::py_run("assert seen == [2.0], seen");
    EXPECT_TRUE(logged("Hot-reloaded function: f (slot 0)"));
}

TEST(py_pass, refused_count_on_reload_keeps_the_bound_function) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('f', f, 1)]");
    pass_with("[('f', g, 12)]");
    EXPECT_EQ(fts::text_of(call0(0)), u"f1");
    EXPECT_FALSE(logged("Hot-reloaded function: f (slot 0)"));
}

TEST(py_pass, refused_registration_stays_pending_until_the_command_succeeds) {
    start();
    fts::py_run(FUNCS);
    excel().refuse[u"f"] = xlretFailed;
    pass_with("[('f', f, 1), ('g', g, 0)]");
    EXPECT_TRUE(logged("xlfRegister failed for f: rc=32"));
    EXPECT_EQ(func_registry.slots[0].registered, 0);
    EXPECT_EQ(fts::log_lines().back(), "func_registry: registered 2 functions") << "pending slots count too";

    excel().refuse.clear();
    fts::log_lines().clear();
    xll_register_pending();
    EXPECT_TRUE(logged("Registered Excel function: f (1 args)"));
    EXPECT_EQ(func_registry.slots[0].registered, 1);
    EXPECT_EQ(registered_names(), (std::vector<std::string>{"f", "g", "f"}));
}

TEST(py_pass, second_pass_rebinds_without_registering_again) {
    start();
    fts::py_run(FUNCS);
    pass_with("[('f', f, 2)]");
    pass_with("[('f', g, 3)]");
    EXPECT_EQ(excel().registrations.size(), 1u);
    EXPECT_TRUE(logged("WARNING: f arity changed 2 -> 3, but Excel still passes 2 args (reload the add-in to fix)"));
    EXPECT_EQ(fts::text_of(call0(0)), u"g2");
}

TEST(py_pass, entry_that_empties_the_list_while_read_does_not_crash_the_pass) {
    start();
    fts::py_run(std::string(FUNCS) +
                "import tindral_xl\nclass Sneaky:\n    def __index__(self):\n"
                "        tindral_xl._registry.clear()\n        return 1\n");
    EXPECT_EQ(pass_with("[('a', f, Sneaky()), ('b', f, 1)]"), 1);
    EXPECT_EQ(func_registry.slot_count, 1);
    EXPECT_STREQ(func_registry.slots[0].name, "a");
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

// --- the module loader ----------------------------------------------------------

TEST(py_loader, modules_import_in_listing_order_then_the_pass_runs) {
    fts::addin_dir d = start();
    fts::write_file(d.modules() + "/b_second.py", "from tindral_xl import xl_function\n@xl_function\ndef two(): return 2\n");
    fts::write_file(d.modules() + "/a_first.py", "from tindral_xl import xl_function\n@xl_function\ndef one(): return 1\n");
    fts::log_lines().clear();
    EXPECT_EQ(func_registry_load_modules(), 1);
    int a = log_index("Importing module: a_first");
    int b = log_index("Importing module: b_second");
    // The package's own TINDRAL.ERROR, listed at its import, comes first.
    int count = log_index("func_registry: registered 3 functions");
    ASSERT_GE(a, 0) << fts::log_text();
    EXPECT_GT(b, a);
    EXPECT_GT(count, b);
    EXPECT_EQ(registered_names(), (std::vector<std::string>{"TINDRAL.ERROR", "one", "two"}));
    EXPECT_EQ(func_registry.module, plat_self_module());
}

TEST(py_loader, module_raising_on_import_is_named_with_why_and_the_next_still_loads) {
    fts::addin_dir d = start();
    fts::write_file(d.modules() + "/broken.py", "raise RuntimeError('half written')\n");
    fts::write_file(d.modules() + "/fine.py", "X = 1\n");
    fts::log_lines().clear();
    func_registry_load_modules();
    EXPECT_EQ(fts::log_lines(), (std::vector<std::string>{"Importing module: broken", "Failed to import module: broken",
                                                          "RuntimeError: half written",
                                                          "  File \"" + d.modules() + "/broken.py\", line 1, in <module>",
                                                          "    raise RuntimeError('half written')",
                                                          "Importing module: fine",
                                                          "Registered Excel function: TINDRAL.ERROR (1 args)",
                                                          "func_registry: registered 1 functions"}));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

TEST(py_loader, folders_bare_dot_py_and_the_package_file_are_skipped) {
    fts::addin_dir d = start();
    mkdir((d.modules() + "/folder.py").c_str(), 0700);
    fts::write_file(d.modules() + "/.py", "raise SystemExit('must not run')\n");
    fts::write_file(d.modules() + "/tindral_xl.py", "raise SystemExit('must not run')\n");
    fts::write_file(d.modules() + "/Tindral_XL.py", "X = 1\n");
    fts::log_lines().clear();
    func_registry_load_modules();
    EXPECT_EQ(fts::log_lines(), (std::vector<std::string>{"Importing module: Tindral_XL",
                                                          "Registered Excel function: TINDRAL.ERROR (1 args)",
                                                          "func_registry: registered 1 functions"}));
}

TEST(py_loader, empty_or_missing_modules_folder_runs_no_pass) {
    fts::addin_dir d = start();
    fts::py_run(std::string(FUNCS) + "import tindral_xl\ntindral_xl._registry.append(('f', f, 0))");
    fts::log_lines().clear();
    EXPECT_EQ(func_registry_load_modules(), 1);
    EXPECT_EQ(fts::log_lines(), std::vector<std::string>{"No .py files found in modules/"});
    EXPECT_EQ(func_registry.slot_count, 0) << "not even the package's own entries are bound";
    rmdir(d.modules().c_str());
    fts::log_lines().clear();
    EXPECT_EQ(func_registry_load_modules(), 1);
    EXPECT_EQ(fts::log_lines(), std::vector<std::string>{"No .py files found in modules/"});
}

TEST(py_loader, module_names_that_do_not_fit_are_skipped_with_a_line) {
    fts::addin_dir d = start();
    std::string fits(127, 'm');
    std::string too_long(128, 'k');
    std::string wide_chars;
    for (int i = 0; i < 50; i++) wide_chars += "\xE6\x97\xA5";  // 50 characters, 150 UTF-8 bytes
    fts::write_file(d.modules() + "/" + fits + ".py", "X = 1\n");
    fts::write_file(d.modules() + "/" + too_long + ".py", "raise SystemExit('must not run')\n");
    fts::write_file(d.modules() + "/" + wide_chars + ".py", "raise SystemExit('must not run')\n");
    fts::log_lines().clear();
    func_registry_load_modules();
    EXPECT_TRUE(logged("Importing module: " + fits)) << fts::log_text();
    EXPECT_TRUE(logged("WARNING: module name longer than 127 characters, skipped: " + too_long + ".py"));
    EXPECT_TRUE(logged("WARNING: module name does not fit 127 bytes in the ANSI code page, skipped: " + wide_chars +
                       ".py"));
    EXPECT_EQ(fts::log_lines().back(), "func_registry: registered 1 functions");  // the package's TINDRAL.ERROR
}

TEST(py_loader, failed_package_import_does_not_stop_the_modules) {
    fts::addin_dir d = start();
    unlink((d.path + "/tindral_xl").c_str());
    fts::write_file(d.modules() + "/plain.py", "X = 1\n");
    fts::log_lines().clear();
    func_registry_load_modules();
    EXPECT_EQ(fts::log_lines(), (std::vector<std::string>{"WARNING: could not import tindral_xl module",
                                                          "Importing module: plain",
                                                          "func_registry_register_all: cannot import tindral_xl"}));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

// --- the function wizard's texts ----------------------------------------------------

namespace {

std::u16string units_of(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

// Excel's wizard showed no description and no argument names: only the first
// four texts reached xlfRegister. The type text, procedure and name stay.
TEST(py_wizard, texts_from_docstring_annotations_and_category_reach_excel_beside_the_same_four) {
    start();
    fts::py_run("import tindral_xl\n"
                "def price(rate, years: int, face=100):\n"
                "    '''Price of a bond.\n\n    More words.\n\n    Args:\n        rate: the yearly rate,\n"
                "            as a fraction\n    '''\n"
                "tindral_xl._categories['PRICE'] = 'Finance'\n"
                "def bare(x): return x\n");
    ASSERT_EQ(pass_with("[('PRICE', tindral_xl._with_defaults(price), 3), ('bare', bare, 1)]"), 1);
    ASSERT_EQ(excel().registrations.size(), 2u);
    const fts::registration &r = excel().registrations[0];
    EXPECT_EQ(r.procedure, u"xll_slot_0");
    EXPECT_EQ(r.type, u"QQQQ");
    EXPECT_EQ(r.function, u"PRICE");
    EXPECT_EQ(r.macro_type, 1);
    // Argument text, category, function help, one help per argument and the
    // empty one Excel's known issue asks for after the last.
    EXPECT_EQ(r.wizard, (std::vector<std::u16string>{u"rate,years,face", u"Finance", u"Price of a bond.",
                                                     u"the yearly rate, as a fraction", u"years: int", u"face", u""}));
    EXPECT_EQ(excel().registrations[1].wizard,
              (std::vector<std::u16string>{u"x", u"__main__", u"", u"x", u""}));
    EXPECT_EQ(excel().malformed, 0);
}

// Texts over Excel's 255 characters are cut, never a reason to refuse the
// function; a text of exactly 255 arrives whole. The add-in holds the limit
// itself, whatever the package answers.
TEST(py_wizard, texts_at_and_over_255_characters_are_cut_and_the_function_registers) {
    start();
    fts::py_run("import tindral_xl._wizard as w\n"
                "w.texts = lambda name, f, n: ('a' * 255, 'c' * 256, 'h' * 5000) + ('\\U0001d538' * 200,) * n\n"
                "def f(x, y): return x\n");
    ASSERT_EQ(pass_with("[('F', f, 2)]"), 1);
    ASSERT_EQ(excel().registrations.size(), 1u);
    const fts::registration &r = excel().registrations[0];
    ASSERT_EQ(r.wizard.size(), 6u);
    EXPECT_EQ(r.wizard[0], std::u16string(255, u'a'));
    EXPECT_EQ(r.wizard[1], std::u16string(255, u'c'));
    EXPECT_EQ(r.wizard[2], std::u16string(255, u'h'));
    // 200 pairs are 400 units: 127 whole pairs fit, never half of one.
    std::u16string pairs;
    for (int i = 0; i < 127; i++) pairs += u"\U0001d538";
    EXPECT_EQ(r.wizard[3], pairs);
    EXPECT_EQ(excel().malformed, 0);
    EXPECT_TRUE(logged("Registered Excel function: F (2 args)")) << fts::log_text();
}

// A package whose texts() raises or answers the wrong shape still gets its
// function registered, with the four texts and a line saying why not more.
TEST(py_wizard, failing_texts_leave_the_function_registered_without_them) {
    start();
    fts::py_run("import tindral_xl._wizard as w\n"
                "def texts(name, f, n):\n    if name == 'F': raise RuntimeError('no')\n    return ('only one',)\n"
                "w.texts = texts\n"
                "def f(x): return x\n");
    ASSERT_EQ(pass_with("[('F', f, 1), ('G', f, 1)]"), 1);
    ASSERT_EQ(excel().registrations.size(), 2u);
    EXPECT_TRUE(excel().registrations[0].wizard.empty());
    EXPECT_TRUE(excel().registrations[1].wizard.empty());
    EXPECT_TRUE(logged("func_registry: no function-wizard texts for F (the package's texts() failed); registered without them"));
    EXPECT_TRUE(logged("Registered Excel function: G (1 args)"));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

// TINDRAL.ERROR(B3) needs the cell B3, not its value (#VALUE!, which names
// no cell): the package's function is registered with a reference argument.
TEST(py_wizard, package_error_function_takes_a_reference_and_wizard_texts) {
    start();
    ASSERT_EQ(pass_with("list(tindral_xl._registry)"), 1);
    ASSERT_EQ(excel().registrations.size(), 1u);
    const fts::registration &r = excel().registrations[0];
    EXPECT_EQ(r.function, u"TINDRAL.ERROR");
    EXPECT_EQ(r.type, u"QU");
    ASSERT_EQ(r.wizard.size(), 5u);
    EXPECT_EQ(r.wizard[0], u"ref");
    EXPECT_EQ(r.wizard[1], u"TindralXL");
    EXPECT_EQ(r.wizard[2], units_of("Why a cell shows #VALUE!: the message of its last error, or empty text."));
    EXPECT_EQ(func_registry.slots[0].by_reference, 1);
}

// --- the slot path's index of cells with an error record -----------------------------

// The index must never miss a cell the store holds a record for (that record
// would outlive the cell's next success), and must stay bounded: when full it
// is rebuilt from the store's cells, and when the store cannot be read it
// gives up (every success asks the store) until the store is empty again.
TEST(py_error_cells, full_index_is_rebuilt_from_the_store_or_gives_up_without_missing_a_cell) {
    start();
    fts::py_run("import tindral_xl._errors as e\n"
                "try:\n    raise ValueError('x')\nexcept ValueError as x:\n"
                "    e.record('[Book1]Sheet1!$A$1', 'F', (), type(x), x, x.__traceback__)\n");
    func_registry_error_cells_total(1);
    func_registry_error_cells_add("[Book1]Sheet1!$A$1");
    char cell[64];
    for (int i = 0; i < 3000; i++) {  // cells the store no longer holds (it dropped them itself)
        snprintf(cell, sizeof cell, "[Book1]Sheet2!$B$%d", i + 1);
        func_registry_error_cells_add(cell);
    }
    EXPECT_TRUE(func_registry_error_cells_any());
    EXPECT_TRUE(func_registry_error_cells_has("[Book1]Sheet1!$A$1")) << "the store's own cell survives the rebuild";
    EXPECT_TRUE(func_registry_error_cells_has("[Book1]Sheet2!$B$3000"));
    EXPECT_FALSE(func_registry_error_cells_has("[Book1]Sheet2!$B$1")) << "dropped by the rebuild";
    func_registry_error_cells_remove("[Book1]Sheet2!$B$3000");
    EXPECT_FALSE(func_registry_error_cells_has("[Book1]Sheet2!$B$3000"));
    EXPECT_TRUE(func_registry_error_cells_has("[Book1]Sheet1!$A$1"));

    fts::py_run("import tindral_xl._errors as e\ne.cells = None\n");  // the store cannot be read
    fts::log_lines().clear();
    for (int i = 0; i < 3000; i++) {
        snprintf(cell, sizeof cell, "[Book1]Sheet3!$C$%d", i + 1);
        func_registry_error_cells_add(cell);
    }
    EXPECT_TRUE(logged("func_registry: cannot read the error store's cells"));
    EXPECT_TRUE(func_registry_error_cells_has("[Book1]Sheet9!$Z$1")) << "unsure: every cell may hold one";
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    func_registry_error_cells_total(0);  // the store said it is empty
    EXPECT_FALSE(func_registry_error_cells_any());
    EXPECT_FALSE(func_registry_error_cells_has("[Book1]Sheet1!$A$1"));
}
