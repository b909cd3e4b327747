// Value conversion both ways and the slot call path, against a real embedded
// Python 3.12. Each case runs in its own process with its own interpreter.
#include "func_test_support.h"

namespace {

using fts::bind;
using fts::of_type;
using fts::py_holds;
using fts::start;

// The result of converting the Python expression `expr`, with the record's
// text copied out and the record handed back through xlAutoFree12.
struct converted {
    DWORD_XL xltype;
    double num;
    int32_t small;  // xbool or err
    std::u16string text;
    bool error_left;
};

converted convert(const std::string &expr) {
    fts::py_run("_value = (" + expr + ")");
    PyObject *o = fts::py_main("_value");
    XLOPER12 r;
    memset(&r, 0xAB, sizeof r);  // whatever Excel's record held before
    func_registry_py_to_xloper(o, &r);
    pyapi.Py_DecRef(o);
    converted c{r.xltype, 0, 0, u"", pyapi.PyErr_Occurred() != nullptr};
    if (r.xltype == xltypeNum) c.num = r.val.num;
    if (r.xltype == xltypeBool) c.small = r.val.xbool;
    if (r.xltype == xltypeErr) c.small = r.val.err;
    if ((r.xltype & ~xlbitDLLFree) == xltypeStr) {
        c.text.assign((const char16_t *)r.val.str + 1, (uint16_t)r.val.str[0]);
        EXPECT_EQ(r.val.str[c.text.size() + 1], 0) << "text is not terminated";
    }
    xlAutoFree12(&r);
    if (c.error_left) pyapi.PyErr_Clear();
    return c;
}

}  // namespace

TEST(py_conversion, arguments_arrive_as_the_python_types_excel_values_mean) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("got = None\ndef grab(*a):\n    global got\n    got = a\n    return len(a)");
    bind(0, "grab", 10);

    XLOPER12 num = fts::num_arg(2.0);
    fts::text_arg empty(u"");
    XLOPER12 flag = of_type(xltypeBool);
    flag.val.xbool = 1;
    XLOPER12 whole = of_type(xltypeInt);
    whole.val.w = -42;
    XLOPER12 na = of_type(xltypeErr);
    na.val.err = xlerrNA;
    XLOPER12 missing = of_type(xltypeMissing);
    XLOPER12 nil = of_type(xltypeNil);
    XLOPER12 range = of_type(xltypeMulti);
    fts::text_arg astral(u"a\U0001F600\u00e9");
    XLOPER12 null_text = of_type(xltypeStr);  // a text record without characters
    XLOPER12 *r = func_registry_slot_entries[0](&num, &empty.oper, &flag, &whole, &na, &missing, &nil, &range,
                                      &astral.oper, &null_text);
    EXPECT_EQ(r->xltype, xltypeNum);
    EXPECT_EQ(r->val.num, 10.0);
    EXPECT_TRUE(py_holds("got == (2.0, '', True, -42, None, None, None, None, 'a\\U0001F600\\u00e9', None)"));
    EXPECT_TRUE(py_holds("type(got[0]) is float and type(got[2]) is bool and type(got[3]) is int"));
}

TEST(py_conversion, function_receives_exactly_its_registered_count_of_the_ten) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("got = None\ndef two(*a):\n    global got\n    got = a");
    bind(5, "two", 2);
    XLOPER12 v[10];
    for (int i = 0; i < 10; i++) v[i] = fts::num_arg(i + 1);
    XLOPER12 *r = func_registry_slot_entries[5](&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]);
    EXPECT_EQ(r->xltype, xltypeNil);
    EXPECT_TRUE(py_holds("got == (1.0, 2.0)"));
}

TEST(py_conversion, plain_results_keep_their_kind) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    converted c = convert("None");
    EXPECT_EQ(c.xltype, xltypeNil);
    c = convert("True");
    EXPECT_EQ(c.xltype, xltypeBool);
    EXPECT_EQ(c.small, 1);
    c = convert("False");
    EXPECT_EQ(c.xltype, xltypeBool);
    EXPECT_EQ(c.small, 0);
    c = convert("1");
    EXPECT_EQ(c.xltype, xltypeNum) << "the int 1 must not become TRUE";
    EXPECT_EQ(c.num, 1.0);
    c = convert("-2.5");
    EXPECT_EQ(c.xltype, xltypeNum);
    EXPECT_EQ(c.num, -2.5);
}

TEST(py_conversion, wide_int_becomes_nearest_double_and_leaves_no_error) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    converted c = convert("2**31");
    EXPECT_EQ(c.xltype, xltypeNum);
    EXPECT_EQ(c.num, 2147483648.0);
    EXPECT_FALSE(c.error_left);
    c = convert("-2**31 - 1");
    EXPECT_EQ(c.num, -2147483649.0);
    c = convert("2**53");
    EXPECT_EQ(c.num, 9007199254740992.0);
    c = convert("2**53 + 1");  // halfway: rounds to even
    EXPECT_EQ(c.num, 9007199254740992.0);
    c = convert("2**53 + 3");
    EXPECT_EQ(c.num, 9007199254740996.0);
    EXPECT_FALSE(c.error_left);
}

TEST(py_conversion, int_beyond_double_range_is_num_error_with_indicator_clear) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    for (const char *expr : {"10**400", "-(10**400)", "2**1100"}) {
        converted c = convert(expr);
        EXPECT_EQ(c.xltype, xltypeErr) << expr;
        EXPECT_EQ(c.small, xlerrNum) << expr;
        EXPECT_FALSE(c.error_left) << expr;
    }
}

TEST(py_conversion, text_results_are_counted_utf16_owned_by_the_add_in) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("_v = 'abc'");
    PyObject *o = fts::py_main("_v");
    XLOPER12 r;
    func_registry_py_to_xloper(o, &r);
    pyapi.Py_DecRef(o);
    EXPECT_EQ(r.xltype, xltypeStr | xlbitDLLFree);
    EXPECT_EQ(r.val.str[0], 3);
    xlAutoFree12(&r);

    EXPECT_EQ(convert("''").text, u"");
    EXPECT_EQ(convert("'\\U0001F600'").text, std::u16string({0xD83D, 0xDE00}));
    EXPECT_EQ(convert("'\\u00e9t\\u00e9'").text, u"\u00e9t\u00e9");
}

TEST(py_conversion, anything_else_shows_its_repr) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("class S(str): pass\nclass I(int): pass\nclass F(float): pass");
    EXPECT_EQ(convert("{1, 2}").text, u"{1, 2}");
    EXPECT_EQ(convert("S('hi')").text, u"'hi'") << "a str subclass shows quotes";
    EXPECT_EQ(convert("I(7)").text, u"7");
    EXPECT_EQ(convert("range(3)").text, u"range(0, 3)") << "only list and tuple spill";
    EXPECT_EQ(convert("{'k': None}").text, u"{'k': None}");
}

TEST(py_conversion, overlong_text_is_cut_to_32767_units_never_inside_a_pair) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    converted c = convert("'x' * 40000");
    EXPECT_EQ(c.text.size(), 32767u);
    c = convert("'x' * 32766 + '\\U0001F600' + 'tail'");
    EXPECT_EQ(c.text.size(), 32766u) << "the pair that would straddle the limit is left out whole";
    EXPECT_EQ(c.text.back(), u'x');
    c = convert("'x' * 32765 + '\\U0001F600' + 'tail'");
    EXPECT_EQ(c.text.size(), 32767u);
    EXPECT_EQ(c.text.back(), (char16_t)0xDE00);
}

// A text argument is decoded from Excel's UTF-16 in one step: a leading
// U+FEFF must stay a character (not be taken for a byte order mark), and a
// lone or reversed surrogate must arrive as itself, not fail the call.
TEST(py_conversion, text_arguments_keep_a_leading_feff_and_lone_surrogates_as_characters) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("got = None\ndef grab(*a):\n    global got\n    got = a\n    return len(a)");
    bind(0, "grab", 5);
    fts::text_arg bom(u"\uFEFFab"), swapped(u"\uFFFEab"), high_last(u"x\xD800"), low_first(u"\xDC00y"),
        reversed(u"\xDE00\xD83D");
    XLOPER12 *r = func_registry_slot_entries[0](&bom.oper, &swapped.oper, &high_last.oper, &low_first.oper,
                                                &reversed.oper, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(r->xltype, xltypeNum);
    EXPECT_TRUE(py_holds("got == ('\\ufeffab', '\\ufffeab', 'x\\ud800', '\\udc00y', '\\ude00\\ud83d')"));
    std::u16string long_text(32767, u'\u00e9');
    long_text[0] = 0xD83D;
    long_text[1] = 0xDE00;
    fts::text_arg longest(long_text);
    r = func_registry_slot_entries[0](&longest.oper, &longest.oper, &longest.oper, &longest.oper, &longest.oper,
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(py_holds("got[0] == '\\U0001F600' + '\\u00e9' * 32765"));
}

// A result's text is read from the str's own storage, which Python keeps in
// one of three widths: each must give the same UTF-16 and be cut at Excel's
// limit without splitting a pair, including two surrogates a str holds side
// by side (Excel reads them as one character).
TEST(py_conversion, text_results_of_every_storage_width_and_their_cut) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(convert("'plain ascii'").text, u"plain ascii");
    EXPECT_EQ(convert("'caf\\u00e9 \\u00ff'").text, u"caf\u00e9 \u00ff");
    EXPECT_EQ(convert("'\\u20ac\\ud800x\\udfff'").text, (std::u16string{0x20AC, 0xD800, u'x', 0xDFFF}));
    EXPECT_EQ(convert("'\\U0010FFFF\\u00e9\\udc00'").text, (std::u16string{0xDBFF, 0xDFFF, 0xE9, 0xDC00}));
    EXPECT_EQ(convert("'\\u00e9' * 40000").text, std::u16string(32767, u'\u00e9'));
    // A repr may be a str subclass, which Python stores apart from its header.
    fts::py_run("class S(str): pass\nclass R:\n    def __repr__(self):\n        return S('sub \\u00e9\\U0001F600')");
    EXPECT_EQ(convert("R()").text, (std::u16string{u's', u'u', u'b', u' ', 0xE9, 0xD83D, 0xDE00}));

    converted c = convert("'\\u20ac' * 32766 + '\\ud83d\\ude00'");  // two bytes a character
    EXPECT_EQ(c.text, std::u16string(32766, u'\u20ac')) << "the halves side by side are not split";
    c = convert("'\\u20ac' * 32766 + '\\ud800y'");
    EXPECT_EQ(c.text.size(), 32767u) << "a lone high half followed by no low half fits alone";
    EXPECT_EQ(c.text.back(), (char16_t)0xD800);
    c = convert("'\\U0001F600' + 'x' * 32764 + '\\ud83d\\ude00'");  // four bytes a character
    EXPECT_EQ(c.text.size(), 32766u) << "the halves side by side are not split";
    c = convert("'\\U0001F600' + 'x' * 32763 + '\\ud83d\\ude00'");
    ASSERT_EQ(c.text.size(), 32767u);
    EXPECT_EQ(c.text.substr(32765), (std::u16string{0xD83D, 0xDE00}));
    c = convert("'\\U0001F600' + 'x' * 32764 + '\\ud83dz'");
    EXPECT_EQ(c.text.size(), 32767u);
    EXPECT_EQ(c.text.back(), (char16_t)0xD83D);
}

TEST(py_conversion, raising_function_logs_its_message_and_shows_value_error) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("def boom(x):\n    raise ValueError('bad input %s' % x)");
    bind(2, "boom", 1);
    fts::text_arg arg(u"q");
    XLOPER12 *m = &arg.oper;
    XLOPER12 *r = func_registry_slot_entries[2](m, m, m, m, m, m, m, m, m, m);
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
    EXPECT_TRUE(fts::logged("Python error in boom: bad input q")) << fts::log_text();
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
}

TEST(py_conversion, result_whose_repr_fails_is_value_error_not_an_empty_record) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    // A subclass of a value type shows its repr (any other object goes to the
    // object store).
    fts::py_run("class Bad(int):\n    def __repr__(self):\n        raise RuntimeError('no repr')\n"
                "def bad():\n    return Bad(3)");
    bind(1, "bad", 0);
    XLOPER12 *r = func_registry_slot_entries[1](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
    EXPECT_EQ(r->xltype, xltypeErr) << "xltype " << r->xltype;
    EXPECT_EQ(r->val.err, xlerrValue);
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);
    EXPECT_TRUE(fts::logged("Python error in bad: no repr")) << fts::log_text();
}

TEST(py_conversion, same_slot_twice_without_autofree_gives_fresh_text_each_time) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("n = 0\ndef count():\n    global n\n    n += 1\n    return 'call %d' % n");
    bind(4, "count", 0);
    XLOPER12 *r = func_registry_slot_entries[4](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
    XCHAR *first = r->val.str;
    ASSERT_EQ(fts::text_of(r), u"call 1");
    r = func_registry_slot_entries[4](nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr);
    EXPECT_EQ(fts::text_of(r), u"call 2");
    (void)first;  // released by the second call; the sanitizer build checks it is not touched again
    xlAutoFree12(r);
    EXPECT_EQ(r->xltype, 0u);
}

// With def p(x, e=2), =P(3, NA()) gave 9: the error arrived as None and the
// package's wrapper took None for an omitted argument. Only an omitted or
// empty argument may take a default; an error stays an error.
TEST(py_conversion, error_argument_never_takes_the_parameters_default) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::install_fake_excel();
    fts::py_run("import tindral_xl\n"
                "tindral_xl._registry[:] = []\n"
                "@tindral_xl.xl_function(name='P')\n"
                "def p(x, e=2):\n"
                "    return x ** e\n"
                "@tindral_xl.xl_function(name='PLAIN')\n"
                "def plain(x, e):\n"
                "    return repr(e)\n");
    ASSERT_EQ(func_registry_register_all(), 1);
    ASSERT_EQ(func_registry.slot_count, 2);
    XLOPER12 three = fts::num_arg(3), na = of_type(xltypeErr), missing = of_type(xltypeMissing),
             nil = of_type(xltypeNil), cube = fts::num_arg(3);
    na.val.err = xlerrNA;
    auto call = [](int slot, XLOPER12 *a, XLOPER12 *b) {
        return func_registry_slot_entries[slot](a, b, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr);
    };
    XLOPER12 *r = call(0, &three, &na);
    EXPECT_EQ(r->xltype, xltypeErr) << "=P(3, NA()) is not 9 but the error the function meets";
    EXPECT_EQ(r->val.err, xlerrValue);
    r = call(0, &three, &missing);
    ASSERT_EQ(r->xltype, xltypeNum) << "=P(3) takes the default";
    EXPECT_EQ(r->val.num, 9.0);
    r = call(0, &three, &nil);
    ASSERT_EQ(r->xltype, xltypeNum) << "=P(3, A1) with A1 empty takes it too";
    EXPECT_EQ(r->val.num, 9.0);
    r = call(0, &three, &cube);
    ASSERT_EQ(r->xltype, xltypeNum);
    EXPECT_EQ(r->val.num, 27.0);
    // A function without defaults sees None for all three, as before: the
    // marker never leaves the package's wrapper.
    for (XLOPER12 *arg : {&na, &missing, &nil}) {
        r = call(1, &three, arg);
        ASSERT_EQ(r->xltype & ~xlbitDLLFree, xltypeStr);
        EXPECT_EQ(std::u16string((const char16_t *)r->val.str + 1, (uint16_t)r->val.str[0]), u"None");
        xlAutoFree12(r);
    }
}
