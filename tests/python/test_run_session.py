"""scripts/run_session.py: formulas typed by a user become host commands, and
host results become what a cell shows."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))

from run_session import (FormulaError, NeedsWorkbook, formulas_in, import_failures, parse_formula, raised_messages,  # noqa: E402
                         render_result, too_many_arguments, type_arity)


def test_formula_arguments_reach_the_host_as_one_typed_word_each():
    name, args = parse_formula('=Greet("a b; c,d ""q"" \\ é😀", 1.5e3, -2, TRUE, , #N/A, {1,"x";FALSE,2})')
    assert name == "Greet"
    # Spaces, backslashes and the array separators never split or end a word;
    # text beyond ASCII goes as UTF-16 units (a surrogate pair for the emoji).
    assert args == [
        "s:a\\sb\\u003B\\sc\\u002Cd\\s\"q\"\\s\\\\\\s\\u00E9\\uD83D\\uDE00",
        "n:1500", "n:-2", "b:1", "missing", "e:42", "m:2,2:1;s:x;b:0;2",
    ]
    assert parse_formula("F()") == ("F", [])
    assert parse_formula("=F(,)") == ("F", ["missing", "missing"])


@pytest.mark.parametrize("formula, why", [
    ('=F("open', "unterminated text"),
    ("=F(1", "expected , or )"),
    ("=F({1,2;3})", "as many values"),
    ("=F({{1}})", "cannot hold an array"),
    ("=F(1) + 2", "unexpected text"),
    ("=F(%s)" % ",".join("1" * 11), "at most 10 arguments"),
    ("=(1)", "expected a function name"),
    ("=F(1e999)", "beyond what a cell holds"),
    ('=F("%s")' % ("x" * 32768), "at most 32767 characters"),
    ('=F("%s", "%s")' % ("é" * 20000, "é" * 20000), "too long for one call"),
])
def test_formulas_the_stand_in_cannot_call_are_refused_with_the_reason(formula, why):
    with pytest.raises(FormulaError) as info:
        parse_formula(formula)
    assert why in str(info.value) and formula[:40] in str(info.value)


@pytest.mark.parametrize("formula, why", [
    ("=F(A1)", "a cell reference"),
    ("=F($B$2:C3)", "a cell reference"),
    ("=F(G(1))", "a call inside a call"),
])
def test_formulas_over_cells_or_with_nested_calls_go_to_the_workbook_not_to_one_call(formula, why):
    with pytest.raises(NeedsWorkbook) as info:
        parse_formula(formula)
    assert why in str(info.value)


def test_docstring_formulas_are_found_and_broken_ones_skipped():
    doc = '=GREET("Ada") gives "Hello, Ada!"; =GREET() or =GREET(A1), e.g. =LOAN(0.05, 30, 3e5).'
    assert formulas_in(doc) == ['=GREET("Ada")', "=GREET()", "=LOAN(0.05, 30, 3e5)"]


@pytest.mark.parametrize("line, shown", [
    ("result num 5 xltype=0x0001", ["5"]),
    ("result num 1610.4648690364195 xltype=0x0001", ["1610.46486903642"]),
    ("result num 2.43290200817664e+18 xltype=0x0001", ["2.43290200817664E+18"]),
    ("result num -1e-07 xltype=0x0001", ["-1E-07"]),
    ("result err 36 xltype=0x0010", ["#NUM!"]),
    ("result err 15 xltype=0x0010", ["#VALUE!"]),
    ("result err 99 xltype=0x0010", ["#ERR99"]),
    ('result str "say \\"hi\\"\\n" xltype=0x4002', ['"say ""hi""\n"']),
    ("result bool 0 xltype=0x0004", ["FALSE"]),
    ("result nil xltype=0x0100", ["(empty cell)"]),
    ("result int 42 xltype=0x0800", ["42"]),
    ("result none xltype=0x0000", ["(none)"]),
])
def test_results_show_as_the_cell_shows_them(line, shown):
    assert render_result(line) == shown


def test_array_results_show_as_a_grid_of_cells():
    lines = render_result('result multi 2 3 [1,"a b",true,null,{"err":7},2.5] xltype=0x4040')
    assert lines == [
        "2x3 array:",
        '1  "a b"    TRUE',
        "   #DIV/0!   2.5",
    ]
    tall = render_result("result multi 20 1 [%s] xltype=0x0040" % ",".join(str(i) for i in range(20)))
    assert tall[0] == "20x1 array:" and tall[-1] == "... 12 more rows" and len(tall) == 10


def test_extra_arguments_at_the_prompt_were_called_instead_of_refused_as_excel_does():
    # The count a formula may give is what the registration's type text
    # declares: its letters after the return type; flags are no arguments.
    assert type_arity("QQ") == 1
    assert type_arity("QQQ$") == 2
    assert type_arity("Q") == 0
    assert type_arity("") is None
    refusal = too_many_arguments('=GREET("a","b") ', "GREET", 1, 2)
    assert refusal.startswith('=GREET("a","b"): GREET takes 1 argument, 2 given')
    assert "too many arguments" in refusal
    assert "takes 0 arguments, 1 given" in too_many_arguments("=NOW2(1)", "NOW2", 0, 1)
    # As many or fewer (omitted ones arrive as missing) are called.
    assert too_many_arguments('=GREET("a")', "GREET", 1, 1) is None
    assert too_many_arguments("=GREET()", "GREET", 1, 0) is None
    assert too_many_arguments("=X(1)", "X", None, 1) is None


def test_value_error_at_the_prompt_hid_the_exception_the_log_holds():
    lines = ["Python error in IS_PRIME: n must be a whole number, not 1.5",
             "Python error in IS_PRIME_X: other",
             "Python error in GREET: not this one",
             "Python error in is_prime: registered names match whatever their case"]
    assert raised_messages(lines, "IS_PRIME") == ["n must be a whole number, not 1.5",
                                                  "registered names match whatever their case"]
    assert raised_messages(lines, "HYPOT") == []


def test_module_that_failed_to_import_went_unnamed_at_start():
    lines = ["Importing module: good", "Importing module: broken", "Failed to import module: broken",
             "ModuleNotFoundError: No module named 'numpy'", '  File "broken.py", line 1, in <module>',
             "Failed to import module: bare", "Failed to import module: last"]
    assert import_failures(lines) == [("broken", "ModuleNotFoundError: No module named 'numpy'"),
                                      ("bare", ""), ("last", "")]
