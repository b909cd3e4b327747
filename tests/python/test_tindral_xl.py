"""The package's registry as the add-in reads it: plain 3-tuples, one per name."""

import functools
import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))


@pytest.fixture
def txl():
    import tindral_xl

    importlib.reload(tindral_xl)
    # The package lists its own TINDRAL.ERROR first (see the test below);
    # these tests look at what a user's modules add after it.
    assert [e[0] for e in tindral_xl._registry] == ["TINDRAL.ERROR"]
    del tindral_xl._registry[:]
    return tindral_xl


def test_package_lists_its_own_error_function_taking_a_cell():
    import tindral_xl

    importlib.reload(tindral_xl)
    assert tindral_xl._registry == [("TINDRAL.ERROR", tindral_xl.cell_error, 1)]
    assert tindral_xl.cell_error._tindral_reference is True
    assert tindral_xl._categories == {"TINDRAL.ERROR": "TindralXL"}


def test_entries_are_exact_tuples_the_add_in_accepts(txl):
    @txl.xl_function
    def add(a, b):
        return a + b

    assert txl._registry == [("add", add, 2)]
    entry = txl._registry[0]
    assert type(entry) is tuple and type(entry[0]) is str and type(entry[2]) is int
    assert type(txl._registry) is list


def test_decorator_returns_function_unchanged_so_it_stays_callable(txl):
    @txl.xl_function(name="TWICE")
    def twice(x):
        return 2 * x

    assert twice(4) == 8
    assert txl._registry == [("TWICE", twice, 1)]


def test_rerunning_a_module_replaces_the_entry_in_place_not_appends(txl):
    txl.register(lambda a: a, name="f")
    txl.register(lambda: 0, name="g")
    newer = lambda a, b: a  # noqa: E731
    txl.register(newer, name="f")
    assert [(n, c) for n, _, c in txl._registry] == [("f", 2), ("g", 0)]
    assert txl._registry[0][1] is newer


def test_names_differing_in_case_are_two_entries_as_in_the_add_in(txl):
    txl.register(lambda: 1, name="ADD")
    txl.register(lambda: 2, name="add")
    assert txl.registered() == ["ADD", "add"]


def test_only_named_positional_parameters_are_counted(txl):
    def f(a, b=1, *, key=None):
        return a

    txl.register(f)
    assert txl._registry[0][2] == 2


def test_star_args_and_kwargs_are_refused_unless_args_is_given(txl):
    def f(a, b=1, *rest, key=None, **extra):
        return a

    with pytest.raises(ValueError, match=r"\*rest and \*\*extra; pass args="):
        txl.register(f)
    assert txl._registry == []
    txl.register(f, args=3)
    assert txl._registry[0][2] == 3


def test_omitted_or_empty_argument_takes_the_parameters_default(txl):
    @txl.xl_function
    def power_of(x, p=2, label="n"):
        return "%s=%s" % (label, x ** p)

    name, bound, count = txl._registry[0]
    assert count == 3
    assert bound._tindral_omitted is txl._OMITTED  # the add-in passes it for omitted or empty arguments
    assert bound(3.0, txl._OMITTED, txl._OMITTED) == "n=9.0"  # what the add-in passes for =POWER_OF(3)
    assert bound(3.0, 3.0, "v") == "v=27.0"
    assert bound.__name__ == "power_of" and power_of(2) == "n=4"


# =P(3, NA()) gave 9: an error value arrives as None, and None took the default.
def test_error_value_never_takes_the_default_and_the_marker_never_reaches_the_function(txl):
    seen = []

    @txl.xl_function(name="P")
    def p(x, e=2, note=None):
        seen.append((x, e, note))
        return x ** e

    bound = txl._registry[0][1]
    with pytest.raises(TypeError):
        bound(3.0, None, None)  # what the add-in passes for =P(3, NA()): the error reaches the function
    assert seen == [(3.0, None, None)]
    assert bound(3.0, txl._OMITTED, txl._OMITTED) == 9.0
    assert seen[-1] == (3.0, 2, None), "a parameter whose default is None gets None, never the marker"


def test_function_without_defaults_is_registered_as_itself_and_gets_no_marker(txl):
    def plain(x, y=None):
        return x

    txl.register(plain)
    assert txl._registry[0][1] is plain and not hasattr(plain, "_tindral_omitted")


def test_a_name_taken_over_by_another_module_warns_naming_both(txl):
    def first():
        return 1

    def second():
        return 2

    first.__module__, second.__module__ = "mod_a", "mod_b"
    txl.register(first, name="SAME")
    with pytest.warns(UserWarning, match="SAME of module mod_b replaces the one of module mod_a"):
        txl.register(second, name="SAME")
    assert [e[1] for e in txl._registry] == [second]


@pytest.mark.parametrize("count", [-1, 11, True, 2.0, "2"])
def test_counts_excel_cannot_pass_are_refused(txl, count):
    with pytest.raises(ValueError):
        txl.register(lambda *a: 0, name="f", args=count)
    assert txl._registry == []


def test_too_many_parameters_without_args_is_refused(txl):
    def eleven(a, b, c, d, e, f, g, h, i, j, k):
        return 0

    with pytest.raises(ValueError):
        txl.register(eleven)


@pytest.mark.parametrize("name", ["", 5, b"f", "x" * 256, "\u00e9" * 256, "\U0001D538" * 128, "a\ud800"])
def test_names_excel_would_refuse_are_refused(txl, name):
    with pytest.raises(ValueError):
        txl.register(lambda: 0, name=name)


def test_refusal_names_excels_limit_in_characters(txl):
    with pytest.raises(ValueError, match="longer than Excel's 255 characters"):
        txl.register(lambda: 0, name="x" * 256)


# The package stopped at 127 UTF-8 bytes while the add-in and Excel take 255
# characters: one limit everywhere, counted as Excel counts (UTF-16 units).
@pytest.mark.parametrize("name", ["x" * 255, "\u00e9" * 255, "\u20ac" * 255, "\U0001D538" * 127 + "x"])
def test_names_of_255_excel_characters_are_kept_whole(txl, name):
    txl.register(lambda: 0, name=name)
    assert txl.registered() == [name]


def test_callable_without_readable_signature_needs_args(txl):
    partial = functools.partial(max, 0)
    txl.register(partial, name="atleast0", args=1)
    assert txl._registry[0][2] == 1
    with pytest.raises(TypeError):
        txl.register(42, name="nope")


def test_foreign_entries_in_the_list_do_not_break_registration(txl):
    txl._registry.append(["odd", None, 1])
    txl._registry.append(("short",))
    txl.register(lambda: 0, name="odd")
    assert txl.registered() == ["odd"]
    assert len(txl._registry) == 3


# --- parameters read without inspect ---------------------------------------------------


def _shapes():
    def none():
        return 0

    def posonly(a, b=3, /, c=None, d="x"):
        return a

    def keyword_only_without_default(a, *, k, m=2):
        return a

    def star_between(a, b=1, *rest, key, flag=False, **extra):
        return a

    def only_kwargs(a, **kw):
        return a

    def uses_locals(a, b=5):
        c = a + b  # a local comes after the parameters in co_varnames
        return c

    return [none, posonly, keyword_only_without_default, star_between, only_kwargs, uses_locals,
            lambda x, y=0: x, lambda *a: 0]


@pytest.mark.parametrize("func", _shapes(), ids=lambda f: f.__name__)
def test_parameters_read_from_the_code_match_what_inspect_reads(txl, func):
    fields = lambda params: [(p.name, p.positional, p.star, p.default) for p in params]  # noqa: E731
    assert fields(txl._code_parameters(func)) == fields(txl._inspected_parameters(func))


def test_a_wrapper_made_with_wraps_counts_the_wrapped_functions_parameters(txl):
    def inner(a, b, c=4):
        return a + b + c

    @functools.wraps(inner)
    def wrapper(*args, **kwargs):
        return inner(*args, **kwargs)

    txl.register(wrapper, name="WRAPPED")
    name, bound, count = txl._registry[0]
    assert count == 3
    assert bound(1, 2, txl._OMITTED) == 7  # the wrapped function's default applies


def test_methods_and_callable_objects_count_without_self(txl):
    class Scale:
        def __init__(self, k):
            self.k = k

        def times(self, x, y=1):
            return self.k * x * y

        def __call__(self, x):
            return self.k * x

    s = Scale(3)
    txl.register(s.times, name="TIMES")
    txl.register(s, name="SCALE")
    assert [(n, c) for n, _, c in txl._registry] == [("TIMES", 2), ("SCALE", 1)]
    assert txl._registry[0][1](2, txl._OMITTED) == 6


def test_a_declared_signature_wins_over_the_code(txl):
    import inspect

    def f(*args):
        return len(args)

    f.__signature__ = inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                                         for n in ("a", "b")])
    txl.register(f)
    assert txl._registry[0][2] == 2


def test_opening_imports_neither_inspect_nor_the_agent_modules():
    import subprocess

    package = os.path.join(os.path.dirname(__file__), "..", "..", "python")
    code = ("import sys\nsys.path.insert(0, %r)\nimport tindral_xl, tindral_xl._loading\n"
            "tindral_xl.register(lambda a, b=2: a, name='F')\n"
            "assert tindral_xl._loading.refresh_exec_entry() is False\n"
            # what the registration at open reads for the function wizard
            "import tindral_xl._wizard as w\n"
            "for e in tindral_xl._registry: w.texts(e[0], e[1], e[2])\n"
            "print(sorted(m for m in ('inspect', 'ast', 'dis', 'traceback', 'tindral_xl._exec_entry')"
            " if m in sys.modules))" % package)
    out = subprocess.run([sys.executable, "-S", "-E", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]", out.stdout + out.stderr
