// Ranges in, arrays out, NaN and dates: the conversions of func_registry_arrays
// against a real embedded Python 3.12, each case in its own process.
#include <cmath>

#include "func_test_support.h"

namespace {

using fts::bind;
using fts::of_type;
using fts::py_holds;
using fts::start;

XLOPER12 *call(int slot, XLOPER12 *a = nullptr) {
    return func_registry_slot_entries[slot](a, a, a, a, a, a, a, a, a, a);
}

std::string narrow(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? (char)c : '?';
    return out;
}

// One element as "n:1.5", "s:text", "b:1", "e:42", "nil" (other types "?").
std::string describe(const XLOPER12 &x) {
    char buf[64];
    switch (x.xltype & ~xlbitDLLFree) {
    case xltypeNum: snprintf(buf, sizeof buf, "n:%.17g", x.val.num); return buf;
    case xltypeStr: return "s:" + narrow(fts::text_of(&x));
    case xltypeBool: return x.val.xbool ? "b:1" : "b:0";
    case xltypeErr: return "e:" + std::to_string(x.val.err);
    case xltypeNil: return "nil";
    default: return "?" + std::to_string(x.xltype);
    }
}

// The result of the Python expression `expr`: "multi RxC" and its elements,
// or the one scalar, after checking every text lies inside the one block.
// The record goes back through xlAutoFree12.
struct converted {
    std::string shape;
    std::vector<std::string> cells;
    bool error_left;
};

converted convert(const std::string &expr) {
    fts::py_run("_value = (" + expr + ")");
    PyObject *o = fts::py_main("_value");
    XLOPER12 r;
    memset(&r, 0xAB, sizeof r);
    func_registry_py_to_xloper(o, &r);
    pyapi.Py_DecRef(o);
    converted c{"", {}, pyapi.PyErr_Occurred() != nullptr};
    if (r.xltype == (xltypeMulti | xlbitDLLFree)) {
        long rows = r.val.array.rows, cols = r.val.array.columns;
        c.shape = "multi " + std::to_string(rows) + "x" + std::to_string(cols);
        const char *first = (const char *)r.val.array.lparray;
        const char *texts = first + rows * cols * sizeof(XLOPER12);
        for (long i = 0; i < rows * cols; i++) {
            const XLOPER12 &e = r.val.array.lparray[i];
            c.cells.push_back(describe(e));
            EXPECT_EQ(e.xltype & xlbitDLLFree, 0u) << "element " << i << " would be freed on its own";
            if (e.xltype == xltypeStr) {
                EXPECT_GE((const char *)e.val.str, texts) << "text " << i << " outside the block";
                EXPECT_EQ(e.val.str[(uint16_t)e.val.str[0] + 1], 0) << "text " << i << " not terminated";
            }
        }
    } else {
        c.shape = describe(r);
    }
    xlAutoFree12(&r);
    if (r.xltype & xlbitDLLFree) ADD_FAILURE() << "xlAutoFree12 left the record owned";
    if (c.error_left) pyapi.PyErr_Clear();
    return c;
}

typedef std::vector<std::string> cells;

}  // namespace

TEST(func_arrays, range_argument_arrives_as_rows_of_scalar_converted_values) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("got = None\ndef grab(a):\n    global got\n    got = a\n    return 1");
    bind(0, "grab", 1);

    fts::text_arg text(u"h\u00e9\U0001F600");
    XLOPER12 e[6] = {fts::num_arg(1.5), text.oper, of_type(xltypeBool), of_type(xltypeErr), of_type(xltypeNil),
                     of_type(xltypeInt)};
    e[2].val.xbool = 1;
    e[3].val.err = xlerrNA;
    e[5].val.w = -7;
    XLOPER12 range = of_type(xltypeMulti);
    range.val.array.lparray = e;
    range.val.array.rows = 2;
    range.val.array.columns = 3;
    call(0, &range);
    EXPECT_TRUE(py_holds("got == [[1.5, 'h\\u00e9\\U0001F600', True], [None, None, -7]]"));
    EXPECT_TRUE(py_holds("type(got) is list and all(type(r) is list for r in got)"));

    range.val.array.rows = 1;
    range.val.array.columns = 1;
    call(0, &range);
    EXPECT_TRUE(py_holds("got == [[1.5]]")) << "a 1x1 range is still two-dimensional";

    XLOPER12 column[3] = {fts::num_arg(1), fts::num_arg(2), fts::num_arg(3)};
    range.val.array.lparray = column;
    range.val.array.rows = 3;
    call(0, &range);
    EXPECT_TRUE(py_holds("got == [[1.0], [2.0], [3.0]]"));

    XLOPER12 missing = of_type(xltypeMissing);
    call(0, &missing);
    EXPECT_TRUE(py_holds("got is None"));
}

TEST(func_arrays, malformed_array_argument_is_none_and_logged_not_read) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("got = 0\ndef grab(a):\n    global got\n    got = a");
    bind(0, "grab", 1);
    XLOPER12 bad = of_type(xltypeMulti);
    bad.val.array.rows = 3;
    bad.val.array.columns = 2;  // and no elements at all
    call(0, &bad);
    EXPECT_TRUE(py_holds("got is None"));
    XLOPER12 one = fts::num_arg(1);
    bad.val.array.lparray = &one;
    bad.val.array.rows = -1;
    call(0, &bad);
    EXPECT_TRUE(py_holds("got is None"));
    EXPECT_TRUE(fts::logged("func_registry: malformed array argument (-1 x 2) passed as None")) << fts::log_text();
}

TEST(func_arrays, table_result_pads_short_rows_with_na_and_converts_each_kind) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    converted c = convert("[[1, 'a', True], [None], (2.5, float('nan'), -float('inf')), [2**1100, False]]");
    EXPECT_EQ(c.shape, "multi 4x3");
    EXPECT_EQ(c.cells, (cells{"n:1", "s:a", "b:1", "nil", "e:42", "e:42", "n:2.5", "e:36", "e:36", "e:36", "b:0",
                              "e:42"}));
    EXPECT_FALSE(c.error_left);

    c = convert("[[[1, 2], {'k': None}, ()], ['x' * 40000]]");
    EXPECT_EQ(c.shape, "multi 2x3");
    ASSERT_EQ(c.cells.size(), 6u);
    EXPECT_EQ(c.cells[0], "s:[1, 2]") << "a list inside a row shows its repr";
    EXPECT_EQ(c.cells[1], "s:{'k': None}");
    EXPECT_EQ(c.cells[2], "s:()");
    EXPECT_EQ(c.cells[3], "s:" + std::string(32767, 'x')) << "elements are cut as scalar texts are";
}

TEST(func_arrays, flat_sequence_is_one_row_and_empty_ones_are_na) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(convert("(1, 'two', None)").cells, (cells{"n:1", "s:two", "nil"}));
    EXPECT_EQ(convert("(1, 'two', None)").shape, "multi 1x3");
    converted c = convert("[1, [2, 3]]");
    EXPECT_EQ(c.shape, "multi 1x2") << "a table only when every item is a row";
    EXPECT_EQ(c.cells, (cells{"n:1", "s:[2, 3]"}));
    EXPECT_EQ(convert("[]").shape, "e:42");
    EXPECT_EQ(convert("()").shape, "e:42");
    EXPECT_EQ(convert("[[], ()]").shape, "e:42");
    EXPECT_EQ(convert("[[5]]").shape, "multi 1x1");
}

TEST(func_arrays, nan_and_infinite_scalars_are_num_errors_finite_ones_unchanged) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(convert("float('nan')").shape, "e:36");
    EXPECT_EQ(convert("float('inf')").shape, "e:36");
    EXPECT_EQ(convert("-float('inf')").shape, "e:36");
    EXPECT_EQ(convert("1.7976931348623157e308").shape, "n:1.7976931348623157e+308");
    EXPECT_EQ(convert("-0.0").shape, "n:-0");
}

// Exact dates are read from their fields, not asked through their methods:
// every calendar case (leap days, century years, the ends of Excel's range,
// the microsecond) must still give what tindral_xl.to_excel_date gives, and a
// subclass that answers for itself is still asked.
TEST(func_arrays, dates_read_from_their_fields_match_the_package_across_the_calendar) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("import datetime as dt, random, tindral_xl\n"
                "rng = random.Random(26)\n"
                "days = [dt.date(1900, 1, 1), dt.date(1900, 2, 28), dt.date(1900, 3, 1), dt.date(2000, 2, 29),"
                " dt.date(2000, 3, 1), dt.date(2000, 12, 31), dt.date(2100, 3, 1), dt.date(2400, 2, 29),"
                " dt.date(2400, 3, 1), dt.date(1996, 3, 1), dt.date(9999, 12, 31), dt.date(1904, 12, 31)]\n"
                "days += [dt.date.fromordinal(rng.randrange(693596, 3652060)) for _ in range(300)]\n"
                "samples = days + [dt.datetime(d.year, d.month, d.day, rng.randrange(24), rng.randrange(60),"
                " rng.randrange(60), rng.randrange(1000000)) for d in days]\n"
                "samples.append(dt.datetime(9999, 12, 31, 23, 59, 59, 999999))\n"
                "want = ['n:%.17g' % tindral_xl.to_excel_date(x) for x in samples]\n"
                "count = len(samples)\n");
    PyObject *count = fts::py_main("count");
    long n = pyapi.PyLong_AsLong(count);
    pyapi.Py_DecRef(count);
    ASSERT_GT(n, 600);
    int wrong = 0;
    for (long i = 0; i < n; i++) {
        std::string at = std::to_string(i);
        converted c = convert("samples[" + at + "]");
        fts::py_run("_want = want[" + at + "]");
        PyObject *want = fts::py_main("_want");
        if (c.shape != fts::utf8_of(want) && ++wrong <= 5)
            ADD_FAILURE() << "sample " << i << ": " << c.shape << " != " << fts::utf8_of(want);
        pyapi.Py_DecRef(want);
    }
    EXPECT_EQ(wrong, 0);
    fts::py_run("class Shifted(dt.date):\n    def toordinal(self):\n        return dt.date.toordinal(self) + 1\n");
    EXPECT_EQ(convert("Shifted(1900, 3, 1)").shape, "n:62") << "a subclass's own toordinal is asked";
}

TEST(func_arrays, dates_become_the_serials_the_package_computes) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("import datetime as dt");
    EXPECT_EQ(convert("dt.date(1900, 1, 1)").shape, "n:1");
    EXPECT_EQ(convert("dt.date(1900, 2, 28)").shape, "n:59");
    EXPECT_EQ(convert("dt.date(1900, 3, 1)").shape, "n:61");
    EXPECT_EQ(convert("dt.date(9999, 12, 31)").shape, "n:2958465");
    EXPECT_EQ(convert("dt.date(1899, 12, 31)").shape, "e:36") << "no serial before 1900";
    EXPECT_EQ(convert("dt.datetime(2024, 1, 15, 12)").shape, "n:45306.5");
    EXPECT_EQ(convert("dt.time(12)").shape, "s:datetime.time(12, 0)") << "a time alone is no date";
    // Bit for bit what tindral_xl.to_excel_date gives, subclasses and time zones included.
    fts::py_run("import tindral_xl\nclass Day(dt.date): pass\n"
                "samples = [dt.datetime(2024, 1, 15, 18, 30, 15, 250001), dt.datetime(1900, 2, 28, 23, 59, 59, 999999),"
                " dt.datetime(2001, 2, 3, 4, 5, 6, tzinfo=dt.timezone.utc), Day(2020, 2, 29)]");
    for (int i = 0; i < 4; i++) {
        converted c = convert("samples[" + std::to_string(i) + "]");
        fts::py_run("_want = 'n:%.17g' % tindral_xl.to_excel_date(samples[" + std::to_string(i) + "])");
        PyObject *want = fts::py_main("_want");
        EXPECT_EQ(c.shape, fts::utf8_of(want)) << "sample " << i;
        pyapi.Py_DecRef(want);
    }
    converted c = convert("[dt.date(1900, 3, 1), dt.datetime(1900, 1, 1, 6), dt.date(1, 1, 1)]");
    EXPECT_EQ(c.cells, (cells{"n:61", "n:1.25", "e:36"}));
}

TEST(func_arrays, shapes_beyond_excel_are_num_errors_with_the_reason_logged) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    // Rows repeat one list object: the shapes cost Python almost nothing.
    EXPECT_EQ(convert("[[0.0]] * 1048577").shape, "e:36");
    EXPECT_TRUE(fts::logged("func_registry: array result of 1048577 x 1 is beyond Excel's limits (1048576 rows, "
                            "16384 columns, 2097152 elements): #NUM!"))
        << fts::log_text();
    EXPECT_EQ(convert("[0.0] * 16385").shape, "e:36");
    EXPECT_EQ(convert("[[0.0] * 3] * 1048576").shape, "e:36") << "3,145,728 elements pass the cap";
    EXPECT_EQ(convert("[[0.0] * 16384] * 128").shape, "multi 128x16384") << "exactly at the cap";
    EXPECT_EQ(convert("[[1.0]] * 1048576").shape, "multi 1048576x1");
    // 1,100 texts of 32,767 units: 72 MB of texts.
    EXPECT_EQ(convert("[['y' * 32767]] * 1100").shape, "e:36");
    EXPECT_TRUE(fts::logged("func_registry: array result of 1100 x 1 with its texts exceeds 64 MiB: #NUM!"))
        << fts::log_text();
    EXPECT_EQ(convert("[['y' * 32767]] * 1000").shape, "multi 1000x1");
}

TEST(func_arrays, element_whose_repr_raises_fails_the_call_with_value_and_a_log_line) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("class Bad:\n    def __repr__(self):\n        raise RuntimeError('no repr')\n"
                "def bad():\n    return [['text', 1], [Bad()]]");
    bind(1, "bad", 0);
    XLOPER12 *r = call(1);
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    EXPECT_TRUE(fts::logged("Python error in bad: no repr")) << fts::log_text();
}

TEST(func_arrays, repr_that_empties_the_result_meanwhile_is_padded_not_read_past_the_end) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("class Clear:\n    def __repr__(self):\n        rows.clear()\n        return 'cleared'\n"
                "rows = [[Clear(), 'a', 'b'], ['c', 'd'], ['e']]");
    converted c = convert("rows");
    EXPECT_EQ(c.shape, "multi 3x3");
    EXPECT_EQ(c.cells, (cells{"s:cleared", "s:a", "s:b", "e:42", "e:42", "e:42", "e:42", "e:42", "e:42"}));
}

// A date is a borrowed item of its row: code it runs (toordinal, an attribute
// read) may drop it from the row, which must not free it while it is read.
TEST(func_arrays, date_that_drops_itself_from_its_row_is_read_whole_not_after_free) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("import datetime as dt\n"
                "class Vanishing(dt.datetime):\n"
                "    def toordinal(self):\n"
                "        for row in rows:\n"
                "            if any(x is self for x in row): row.clear()\n"
                "        return super().toordinal()\n"
                "class Fleeting(dt.datetime):\n"
                "    def __getattribute__(self, name):\n"
                "        if name == 'minute': rows[0].clear()\n"
                "        return super().__getattribute__(name)\n");
    for (int round = 0; round < 2; round++) {  // the second call met the freed memory
        fts::py_run("rows = [[Vanishing(2024, 1, 15, 18)], [Vanishing(2024, 1, 15, 6), 'x']]");
        converted c = convert("rows");
        EXPECT_EQ(c.shape, "multi 2x2");
        EXPECT_EQ(c.cells, (cells{"n:45306.75", "e:42", "n:45306.25", "e:42"})) << "round " << round;
        fts::py_run("rows = [[Fleeting(2024, 1, 15, 12, 0, 0)]]");
        EXPECT_EQ(convert("rows").cells, (cells{"n:45306.5"})) << "round " << round;
    }
}

TEST(func_arrays, array_result_excel_never_hands_back_is_freed_once_by_the_next_call) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("n = 0\ndef grid():\n    global n\n    n += 1\n    return [['call %d' % n, n], ['x' * 100, None]]");
    bind(3, "grid", 0);
    XLOPER12 *r = call(3);
    ASSERT_EQ(r->xltype, xltypeMulti | xlbitDLLFree);
    EXPECT_EQ(fts::text_of(&r->val.array.lparray[0]), u"call 1");
    r = call(3);  // the first block is released here; the sanitizer build checks nothing else touches it
    ASSERT_EQ(r->xltype, xltypeMulti | xlbitDLLFree);
    EXPECT_EQ(fts::text_of(&r->val.array.lparray[0]), u"call 2");
    EXPECT_EQ(r->val.array.lparray[1].val.num, 2.0);
    xlAutoFree12(r);
    EXPECT_EQ(r->xltype, 0u);
    xlAutoFree12(r);  // a second hand-back finds nothing to free
    r = call(3);      // nor does the next call: freed exactly once
    EXPECT_EQ(fts::text_of(&r->val.array.lparray[0]), u"call 3");
    xlAutoFree12(r);
}

TEST(func_arrays, range_summed_through_the_slot_sees_every_cell) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("def total(r):\n    return sum(v for row in r for v in row if type(v) is float)");
    bind(2, "total", 1);
    std::vector<XLOPER12> cellsv(100000);
    for (size_t i = 0; i < cellsv.size(); i++) cellsv[i] = fts::num_arg((double)(i + 1));
    XLOPER12 range = of_type(xltypeMulti);
    range.val.array.lparray = cellsv.data();
    range.val.array.rows = 100000;
    range.val.array.columns = 1;
    XLOPER12 *r = call(2, &range);
    ASSERT_EQ(r->xltype, xltypeNum);
    EXPECT_EQ(r->val.num, 5000050000.0);
}

TEST(func_arrays, range_conversion_leaves_the_collector_as_the_user_set_it) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("import gc\nseen = []\ndef probe(r):\n    seen.append(gc.isenabled())\n    return len(r)");
    bind(0, "probe", 1);
    XLOPER12 cell = fts::num_arg(1);
    XLOPER12 range = of_type(xltypeMulti);
    range.val.array.lparray = &cell;
    range.val.array.rows = 1;
    range.val.array.columns = 1;
    call(0, &range);
    fts::py_run("gc.disable()");
    call(0, &range);
    fts::py_run("gc.enable()");
    EXPECT_TRUE(py_holds("seen == [True, False]")) << "the function runs with the collector as the user left it";
}
