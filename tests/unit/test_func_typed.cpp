// Typed worksheet functions: annotations read by the package at registration,
// kinds taken by the pass, arguments converted in C at call time, result
// annotations enforced, buffer results spilled. Against a real embedded
// Python 3.12; each case runs in its own process.
#include <cmath>

#include "func_test_support.h"

using fts::of_type;
using fts::py_holds;

namespace {

// Python started, Excel faked, `code` run in __main__ (tindral_xl and its
// names imported) and the registration pass run over what it registered.
bool setup(const std::string &code) {
    static fts::started s = fts::start();
    if (!s.ok) return false;
    fts::install_fake_excel();
    if (!func_registry_install_native()) return false;  // the package's log lines reach the add-in's log
    fts::py_run("import array, datetime, math, typing\nimport tindral_xl\nfrom tindral_xl import xl_function, Array\n"
                "got = None\n" + code);
    return func_registry_register_all() == 1;
}

int slot_of(const char *name) {
    for (int i = 0; i < func_registry.slot_count; i++)
        if (strcmp(func_registry.slots[i].name, name) == 0) return i;
    ADD_FAILURE() << name << " is not bound";
    return 0;
}

// Calls the slot of `name` as Excel does, the arguments given first and the
// rest omitted.
XLOPER12 *call(const char *name, std::initializer_list<XLOPER12 *> given) {
    static XLOPER12 missing = of_type(xltypeMissing);
    XLOPER12 *a[FUNC_MAX_ARGS];
    int n = 0;
    for (XLOPER12 *x : given) a[n++] = x;
    while (n < FUNC_MAX_ARGS) a[n++] = &missing;
    return func_registry_slot_entries[slot_of(name)](a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
}

XLOPER12 err_arg(int32_t e) {
    XLOPER12 x = of_type(xltypeErr);
    x.val.err = e;
    return x;
}

XLOPER12 bool_arg(int b) {
    XLOPER12 x = of_type(xltypeBool);
    x.val.xbool = b;
    return x;
}

// A range argument over `cells` (rows x cols, row by row).
XLOPER12 range(std::vector<XLOPER12> &cells, int rows, int cols) {
    XLOPER12 x = of_type(xltypeMulti);
    x.val.array.lparray = cells.data();
    x.val.array.rows = rows;
    x.val.array.columns = cols;
    return x;
}

bool is_error(const XLOPER12 *r, int32_t e) { return r->xltype == xltypeErr && r->val.err == e; }

// The cells of an array result, each as its number or NAN for an error.
std::vector<double> numbers_of(const XLOPER12 *r, int rows, int cols) {
    std::vector<double> out;
    if ((r->xltype & ~xlbitDLLFree) != xltypeMulti || r->val.array.rows != rows || r->val.array.columns != cols) {
        ADD_FAILURE() << "not a " << rows << " x " << cols << " array (type " << r->xltype << ")";
        return out;
    }
    for (int i = 0; i < rows * cols; i++) {
        const XLOPER12 &e = r->val.array.lparray[i];
        if (e.xltype == xltypeNum) out.push_back(e.val.num);
        else if (e.xltype == xltypeErr && e.val.err == xlerrNum) out.push_back(NAN);
        else ADD_FAILURE() << "element " << i << " is of type " << e.xltype;
    }
    return out;
}

constexpr const char *SCALARS =
    "@xl_function(name='GRAB')\n"
    "def grab(a: float, b: int, c: bool, d: str, e: datetime.date, f: datetime.datetime):\n"
    "    global got\n"
    "    got = (a, b, c, d, e, f)\n"
    "    return 1\n";

}  // namespace

TEST(typed_args, each_scalar_kind_converts_from_excels_values) {
    ASSERT_TRUE(setup(SCALARS));
    XLOPER12 a = fts::num_arg(2), b = fts::num_arg(-7), c = fts::num_arg(3), d = fts::num_arg(0.1 + 0.2),
             e = fts::num_arg(61), f = fts::num_arg(45000.5);
    XLOPER12 *r = call("GRAB", {&a, &b, &c, &d, &e, &f});
    EXPECT_EQ(r->xltype, xltypeNum) << fts::log_text();
    EXPECT_TRUE(py_holds("got == (2.0, -7, True, '0.3', datetime.date(1900, 3, 1), "
                         "datetime.datetime(2023, 3, 15, 12, 0))"));
    EXPECT_TRUE(py_holds("[type(v) for v in got[:4]] == [float, int, bool, str]"));

    // Excel's own forms: an xltypeInt, a boolean, text, and the 1900 quirk
    // (serial 59 is 28 February, 1 is 1 January).
    XLOPER12 wide = fts::num_arg(2.0 * 4294967296.0), small = of_type(xltypeInt), no = bool_arg(0);
    small.val.w = 5;
    fts::text_arg text(u"h\u00e9");
    XLOPER12 jan1 = fts::num_arg(1), feb28 = fts::num_arg(59.75);
    call("GRAB", {&small, &wide, &no, &text.oper, &feb28, &jan1});
    EXPECT_TRUE(py_holds("got == (5.0, 8589934592, False, 'h\\u00e9', datetime.date(1900, 2, 28), "
                         "datetime.datetime(1900, 1, 1))"));
    // An int has no 64-bit bound: a whole number past 2^63 is still one.
    XLOPER12 huge = fts::num_arg(1e19);
    call("GRAB", {&a, &huge, &c, &d, &e, &f});
    EXPECT_TRUE(py_holds("got[1] == 10**19 and type(got[1]) is int")) << fts::log_text();

    // Numbers as text the way Excel's general format writes them; a boolean
    // as Excel spells it.
    XLOPER12 big = fts::num_arg(1e21), negzero = fts::num_arg(-0.0), tiny = fts::num_arg(1.5e-7), yes = bool_arg(1);
    for (auto pair : {std::make_pair(&big, "1E+21"), std::make_pair(&negzero, "0"), std::make_pair(&tiny, "1.5E-07"),
                      std::make_pair(&yes, "TRUE")}) {
        call("GRAB", {&a, &b, &c, pair.first, &e, &f});
        EXPECT_TRUE(py_holds(std::string("got[3] == '") + pair.second + "'")) << pair.second;
    }

    // A one-cell range is its value.
    std::vector<XLOPER12> one = {fts::num_arg(4)};
    XLOPER12 cell = range(one, 1, 1);
    call("GRAB", {&cell, &cell, &cell, &cell, &cell, &cell});
    EXPECT_TRUE(py_holds("got[:4] == (4.0, 4, True, '4')"));
}

TEST(typed_args, unconvertible_values_are_value_or_num_naming_argument_function_and_why) {
    ASSERT_TRUE(setup(SCALARS));
    XLOPER12 a = fts::num_arg(2), b = fts::num_arg(-7), c = fts::num_arg(3), d = fts::num_arg(1),
             e = fts::num_arg(61), f = fts::num_arg(45000.5);
    fts::text_arg text(u"abc");
    XLOPER12 half = fts::num_arg(2.5), na = err_arg(xlerrNA), empty = of_type(xltypeNil),
             phantom = fts::num_arg(60), before = fts::num_arg(0.5);
    std::vector<XLOPER12> four = {a, a, a, a};
    XLOPER12 block = range(four, 2, 2);
    struct refusal {
        int position;
        XLOPER12 *value;
        int32_t error;
        const char *line;
    } cases[] = {
        {0, &text.oper, xlerrValue, "func_registry: argument 1 (a) of GRAB: text is not a number"},
        {1, &half, xlerrNum, "func_registry: argument 2 (b) of GRAB: 2.5 is not a whole number"},
        {2, &text.oper, xlerrValue, "func_registry: argument 3 (c) of GRAB: text is not a boolean"},
        {3, &na, xlerrValue, "func_registry: argument 4 (d) of GRAB: #N/A is not text"},
        {0, &empty, xlerrValue,
         "func_registry: argument 1 (a) of GRAB: an empty cell where a value is needed (annotate it Optional or give "
         "it a default)"},
        {4, &phantom, xlerrValue,
         "func_registry: argument 5 (e) of GRAB: serial 60 is 29 February 1900, a day Excel counts that never was"},
        {5, &before, xlerrValue, "func_registry: argument 6 (f) of GRAB: 0.5 is not a date serial (1 to 2958465)"},
        {0, &block, xlerrValue, "func_registry: argument 1 (a) of GRAB: a range of 2 x 2 is not one value"},
    };
    for (const refusal &k : cases) {
        XLOPER12 *args[6] = {&a, &b, &c, &d, &e, &f};
        args[k.position] = k.value;
        fts::py_run("got = 'not called'");
        fts::log_lines().clear();
        XLOPER12 *r = call("GRAB", {args[0], args[1], args[2], args[3], args[4], args[5]});
        EXPECT_TRUE(is_error(r, k.error)) << k.line << " gave type " << r->xltype;
        EXPECT_TRUE(fts::logged(k.line)) << "expected: " << k.line << "\nlog:\n" << fts::log_text();
        EXPECT_TRUE(py_holds("got == 'not called'")) << k.line;
        EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    }
}

TEST(typed_args, optional_and_defaulted_parameters_take_none_or_the_default_when_left_out) {
    ASSERT_TRUE(setup("@xl_function(name='OPT')\n"
                      "def opt(a: typing.Optional[float], b: int = 3, c: 'str | None' = None, d: float | None = 2.5):\n"
                      "    global got\n"
                      "    got = (a, b, c, d)\n"
                      "    return 0\n"));
    XLOPER12 missing = of_type(xltypeMissing), nil = of_type(xltypeNil), na = err_arg(xlerrNA);
    call("OPT", {&missing, &nil, &missing, &nil});
    EXPECT_TRUE(py_holds("got == (None, 3, None, 2.5)")) << fts::log_text();
    XLOPER12 one = fts::num_arg(1);
    call("OPT", {&one, &one, &one, &one});
    EXPECT_TRUE(py_holds("got == (1.0, 1, '1', 1.0) and type(got[1]) is int"));
    // An error value is not an omission: the default never stands in for it.
    fts::py_run("got = 'not called'");
    XLOPER12 *r = call("OPT", {&one, &na});
    EXPECT_TRUE(is_error(r, xlerrValue));
    EXPECT_TRUE(py_holds("got == 'not called'"));
    EXPECT_TRUE(fts::logged("func_registry: argument 2 (b) of OPT: #N/A is not a number")) << fts::log_text();
}

TEST(typed_args, lists_flatten_a_row_or_column_and_keep_rows_for_two_dimensions) {
    ASSERT_TRUE(setup("@xl_function(name='FLAT')\n"
                      "def flat(x: list[float]):\n"
                      "    global got\n"
                      "    got = x\n"
                      "    return 0\n"
                      "@xl_function(name='ROWS')\n"
                      "def rows(x: typing.List[list[int]], y: list[typing.Optional[str]]):\n"
                      "    global got\n"
                      "    got = (x, y)\n"
                      "    return 0\n"));
    std::vector<XLOPER12> column = {fts::num_arg(1), fts::num_arg(2), fts::num_arg(3)};
    XLOPER12 col = range(column, 3, 1), row = range(column, 1, 3), scalar = fts::num_arg(9);
    call("FLAT", {&col});
    EXPECT_TRUE(py_holds("got == [1.0, 2.0, 3.0]")) << fts::log_text();
    call("FLAT", {&row});
    EXPECT_TRUE(py_holds("got == [1.0, 2.0, 3.0]"));
    call("FLAT", {&scalar});
    EXPECT_TRUE(py_holds("got == [9.0]"));

    std::vector<XLOPER12> grid = {fts::num_arg(1), fts::num_arg(2), fts::num_arg(3), fts::num_arg(4)};
    XLOPER12 block = range(grid, 2, 2);
    std::vector<XLOPER12> texts = {fts::num_arg(1), of_type(xltypeNil)};
    XLOPER12 gappy = range(texts, 2, 1);
    call("ROWS", {&block, &gappy});
    EXPECT_TRUE(py_holds("got == ([[1, 2], [3, 4]], ['1', None])")) << fts::log_text();

    XLOPER12 *r = call("FLAT", {&block});
    EXPECT_TRUE(is_error(r, xlerrValue));
    EXPECT_TRUE(fts::logged("func_registry: argument 1 (x) of FLAT: a range of 2 x 2 is not one row or column"))
        << fts::log_text();
    r = call("FLAT", {&gappy});
    EXPECT_TRUE(is_error(r, xlerrValue));
    EXPECT_TRUE(fts::logged(
        "func_registry: argument 1 (x) of FLAT: element at row 2, column 1: an empty cell is not a number"))
        << fts::log_text();
}

TEST(typed_args, array_is_one_buffer_of_doubles_shaped_rows_by_columns_that_outlives_the_call) {
    ASSERT_TRUE(setup("kept = []\n"
                      "@xl_function(name='ARR')\n"
                      "def arr(x: Array):\n"
                      "    global got\n"
                      "    got = x\n"
                      "    kept.append(x)\n"
                      "    return sum(v for v in x.cast('B').cast('d') if v == v)\n"));
    fts::text_arg text(u"t");
    XLOPER12 whole = of_type(xltypeInt);
    whole.val.w = 7;
    std::vector<XLOPER12> cells = {fts::num_arg(1.5), text.oper,        of_type(xltypeNil),
                                   bool_arg(1),       err_arg(xlerrNA), whole};
    XLOPER12 block = range(cells, 3, 2);
    XLOPER12 *r = call("ARR", {&block});
    ASSERT_EQ(r->xltype, xltypeNum) << fts::log_text();
    EXPECT_EQ(r->val.num, 8.5);
    EXPECT_TRUE(py_holds("type(got) is memoryview and got.format == 'd' and got.shape == (3, 2) and got.ndim == 2"));
    EXPECT_TRUE(py_holds("got.c_contiguous and type(got.obj) is bytearray and len(got.obj) == 48"));
    EXPECT_TRUE(py_holds("[[v if v == v else 'nan' for v in row] for row in got.tolist()] == "
                         "[[1.5, 'nan'], ['nan', 'nan'], ['nan', 7.0]]"));
    // The buffer belongs to the view: Excel's records may go, the numbers stay.
    for (auto &c : cells) c = fts::num_arg(-1);
    fts::py_run("churn = [bytearray(48) for _ in range(1000)]");
    EXPECT_TRUE(py_holds("kept[0].tolist()[0][0] == 1.5 and kept[0].tolist()[2][1] == 7.0"));
    // A single value is a block of one.
    XLOPER12 one = fts::num_arg(3);
    call("ARR", {&one});
    EXPECT_TRUE(py_holds("got.shape == (1, 1) and got.tolist() == [[3.0]]"));
    // Nothing given, nothing to convert.
    XLOPER12 missing = of_type(xltypeMissing);
    r = call("ARR", {&missing});
    EXPECT_TRUE(is_error(r, xlerrValue));
}

TEST(typed_results, buffers_of_doubles_spill_as_numbers_and_are_released_exactly_once) {
    ASSERT_TRUE(setup("class Counted:\n"
                      "    def __init__(self, view):\n"
                      "        self.view, self.taken, self.released = view, 0, 0\n"
                      "    def __buffer__(self, flags):\n"
                      "        self.taken += 1\n"
                      "        return memoryview(self.view)\n"
                      "    def __release_buffer__(self, view):\n"
                      "        self.released += 1\n"
                      "        view.release()\n"
                      "@xl_function(name='OUT')\n"
                      "def out(which):\n"
                      "    return results[int(which)]\n"
                      "flat = array.array('d', [1.0, math.nan, math.inf, -2.0])\n"
                      "counted = Counted(memoryview(array.array('d', [1, 2, 3, 4, 5, 6])).cast('B').cast('d', (2, 3)))\n"
                      "ints = Counted(array.array('i', [1, 2]))\n"
                      "results = [flat, memoryview(flat)[::2], counted, ints, b'ab',\n"
                      "           memoryview(array.array('d')), memoryview(bytearray(8 * 6)).cast('d', (3, 2))]\n"));
    XLOPER12 which[7];
    for (int i = 0; i < 7; i++) which[i] = fts::num_arg(i);
    XLOPER12 *r = call("OUT", {&which[0]});
    std::vector<double> v = numbers_of(r, 1, 4);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_TRUE(std::isnan(v[1]) && std::isnan(v[2])) << "NaN and infinity must show #NUM!";
    EXPECT_EQ(v[3], -2.0);
    xlAutoFree12(r);
    // A strided view is read by its strides.
    v = numbers_of(call("OUT", {&which[1]}), 1, 2);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_TRUE(std::isnan(v[1]));
    // Two dimensions are rows; the exporter's buffer is taken and released once.
    v = numbers_of(call("OUT", {&which[2]}), 2, 3);
    EXPECT_EQ(v, (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(py_holds("(counted.taken, counted.released) == (1, 1)"));
    // Not doubles: no cell value, so kept as an object (its handle shown); the
    // buffer still given back once.
    r = call("OUT", {&which[3]});
    EXPECT_EQ(r->xltype, xltypeStr | xlbitDLLFree);
    EXPECT_TRUE(py_holds("(ints.taken, ints.released) == (1, 1)"));
    r = call("OUT", {&which[4]});
    EXPECT_EQ(fts::text_of(r).rfind(u"<bytes #", 0), 0u) << "a bytes result is kept by handle";
    // No elements: #N/A, as an empty list.
    EXPECT_TRUE(is_error(call("OUT", {&which[5]}), xlerrNA));
    v = numbers_of(call("OUT", {&which[6]}), 3, 2);
    EXPECT_EQ(v, std::vector<double>(6, 0.0));
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

TEST(typed_results, return_annotations_convert_or_refuse_the_wrong_type) {
    ASSERT_TRUE(setup("@xl_function(name='RET_FLOAT')\n"
                      "def ret_float(v) -> float:\n"
                      "    return results[int(v)]\n"
                      "@xl_function(name='RET_INT')\n"
                      "def ret_int(v) -> int:\n"
                      "    return results[int(v)]\n"
                      "@xl_function(name='RET_STR')\n"
                      "def ret_str(v) -> str:\n"
                      "    return results[int(v)]\n"
                      "@xl_function(name='RET_DATE')\n"
                      "def ret_date(v) -> datetime.date:\n"
                      "    return results[int(v)]\n"
                      "@xl_function(name='RET_MAYBE')\n"
                      "def ret_maybe(v) -> typing.Optional[bool]:\n"
                      "    return results[int(v)]\n"
                      "results = [3, 2.5, 'x', datetime.datetime(1900, 3, 1, 18), None, True, 4.0]\n"));
    XLOPER12 at[7];
    for (int i = 0; i < 7; i++) at[i] = fts::num_arg(i);
    XLOPER12 *r = call("RET_FLOAT", {&at[0]});
    EXPECT_TRUE(r->xltype == xltypeNum && r->val.num == 3.0);
    r = call("RET_INT", {&at[6]});
    EXPECT_TRUE(r->xltype == xltypeNum && r->val.num == 4.0);
    r = call("RET_DATE", {&at[3]});
    EXPECT_TRUE(r->xltype == xltypeNum && r->val.num == 61.0) << "a datetime for a date drops its time";
    r = call("RET_MAYBE", {&at[4]});
    EXPECT_EQ(r->xltype, xltypeNil);
    r = call("RET_MAYBE", {&at[5]});
    EXPECT_TRUE(r->xltype == xltypeBool && r->val.xbool == 1);
    struct refusal {
        const char *function;
        int at;
        const char *line;
    } cases[] = {
        {"RET_INT", 1, "func_registry: result of RET_INT: returned 2.5, not a whole number"},
        {"RET_STR", 0, "func_registry: result of RET_STR: returned int, not str"},
        {"RET_FLOAT", 2, "func_registry: result of RET_FLOAT: returned str, not float"},
        {"RET_FLOAT", 5, "func_registry: result of RET_FLOAT: returned bool, not float"},
        {"RET_DATE", 4, "func_registry: result of RET_DATE: returned NoneType, not datetime.date"},
        {"RET_MAYBE", 0, "func_registry: result of RET_MAYBE: returned int, not bool"},
    };
    for (const refusal &k : cases) {
        r = call(k.function, {&at[k.at]});
        EXPECT_TRUE(is_error(r, xlerrValue)) << k.line;
        EXPECT_TRUE(fts::logged(k.line)) << "expected: " << k.line << "\nlog:\n" << fts::log_text();
        EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    }
}

TEST(typed_binding, text_annotations_resolve_in_the_module_and_unknown_ones_keep_the_untyped_rules) {
    ASSERT_TRUE(setup("exec(compile('''\n"
                      "from __future__ import annotations\n"
                      "from typing import Optional\n"
                      "@xl_function(name='LATE')\n"
                      "def late(a: Optional[int], b: Array, c: object, d: NoSuchName) -> str:\n"
                      "    global got\n"
                      "    got = (a, b, c, d)\n"
                      "    return repr(a)\n"
                      "''', 'late', 'exec'), globals())\n"
                      "@xl_function(name='PLAIN')\n"
                      "def plain(a, b):\n"
                      "    global got\n"
                      "    got = (a, b)\n"));
    EXPECT_TRUE(py_holds("[len(e) for e in tindral_xl._registry if e[0] in ('LATE', 'PLAIN')] == [4, 3]"));
    EXPECT_TRUE(fts::log_text().find("WARNING: annotation 'NoSuchName' of parameter d of worksheet function LATE cannot "
                                     "be resolved (NameError: name 'NoSuchName' is not defined); it converts as "
                                     "unannotated") != std::string::npos)
        << fts::log_text();
    fts::text_arg text(u"t");
    XLOPER12 missing = of_type(xltypeMissing), two = fts::num_arg(2);
    XLOPER12 *r = call("LATE", {&missing, &two, &text.oper, &missing});
    EXPECT_EQ(fts::text_of(r), u"None") << fts::log_text();
    EXPECT_TRUE(py_holds("got[0] is None and type(got[1]) is memoryview and got[2:] == ('t', None)"));
    // Unannotated: text and a number exactly as before.
    call("PLAIN", {&text.oper, &two});
    EXPECT_TRUE(py_holds("got == ('t', 2.0)"));
}

TEST(typed_binding, a_rebinding_without_annotations_drops_the_old_conversions) {
    ASSERT_TRUE(setup("@xl_function(name='F')\n"
                      "def f(a: float):\n"
                      "    return a\n"));
    fts::text_arg text(u"t");
    EXPECT_TRUE(is_error(call("F", {&text.oper}), xlerrValue));
    fts::py_run("@xl_function(name='F')\ndef f(a):\n    return a\n");
    ASSERT_EQ(func_registry_register_all(), 1);
    EXPECT_EQ(fts::text_of(call("F", {&text.oper})), u"t") << fts::log_text();
    // An old-style entry of three items binds untyped too.
    fts::py_run("def g(a):\n    return a\ntindral_xl._registry.append(('G', g, 1))\n");
    ASSERT_EQ(func_registry_register_all(), 1);
    EXPECT_EQ(fts::text_of(call("G", {&text.oper})), u"t");
}

// A reload's pass looked for entries of exactly three items: every typed
// function was marked removed (#NAME?) by the first reload of any module.
TEST(typed_binding, a_reload_keeps_typed_functions_bound) {
    ASSERT_TRUE(setup("@xl_function(name='F')\n"
                      "def f(a: float) -> float:\n"
                      "    return a * 2\n"));
    PyObject *outcomes = pyapi.PyList_New(0);  // new reference
    ASSERT_EQ(func_registry_sync(outcomes), 1);
    pyapi.Py_DecRef(outcomes);
    EXPECT_STREQ(func_registry_slot_state(slot_of("F")), "accepted") << fts::log_text();
    XLOPER12 two = fts::num_arg(2);
    XLOPER12 *r = call("F", {&two});
    EXPECT_TRUE(r->xltype == xltypeNum && r->val.num == 4.0);
}
