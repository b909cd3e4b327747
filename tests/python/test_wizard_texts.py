"""What Excel's function wizard is told about a worksheet function: argument
names, category, description and argument helps, each within Excel's 255
characters, cut and never a reason to refuse the function."""

import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))


@pytest.fixture
def txl():
    import tindral_xl

    importlib.reload(tindral_xl)
    from tindral_xl import _wizard

    return tindral_xl, _wizard


def units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


GOOGLE = '''Future value of a deposit.

    Compounded once a year.

    Args:
        rate (float): the yearly rate,
            as a fraction
        years: how long
    Returns:
        the value
    '''

NUMPY = '''Future value of a deposit.

    Parameters
    ----------
    rate : float
        the yearly rate,
        as a fraction
    years : int
        how long

    Returns
    -------
    float
        the value
    '''

SPHINX = '''Future value of a deposit.

    :param float rate: the yearly rate,
        as a fraction
    :param years: how long
    :returns: the value
    '''


# Each docstring style users write gives the same helps; a section heading
# after the parameters ("Returns") is no parameter.
@pytest.mark.parametrize("doc", [GOOGLE, NUMPY, SPHINX], ids=["google", "numpy", "sphinx"])
def test_parameter_helps_come_from_each_docstring_style(txl, doc):
    tindral_xl, wizard = txl

    def future(rate, years, deposit: float = 1.0):
        return deposit * (1 + rate) ** years

    future.__doc__ = doc
    tindral_xl.register(future, name="FV", category="Finance")
    name, bound, count = tindral_xl._registry[-1][:3]
    assert wizard.texts(name, bound, count) == (
        "rate,years,deposit", "Finance", "Future value of a deposit.",
        "the yearly rate, as a fraction", "how long", "deposit: float")


# With no docstring the wizard still names each argument (and its annotation),
# and the category is the module's name; re-registering without a category
# drops the one given before.
def test_without_docstring_names_annotations_and_the_module_stand_in(txl):
    tindral_xl, wizard = txl

    def area(width: float, height: "metres", label):
        return width * height

    tindral_xl.register(area, category="Shapes")
    tindral_xl.register(area)
    assert wizard.texts("area", area, 3) == (
        "width,height,label", __name__, "", "width: float", "height: metres", "label")


# A function registered with args= beyond its named parameters (*values)
# still gets one name per argument Excel passes.
def test_star_arguments_registered_with_args_get_numbered_names(txl):
    tindral_xl, wizard = txl

    def total(first, *values):
        return first + sum(values)

    tindral_xl.register(total, args=4)
    assert wizard.texts("total", total, 4)[0] == "first,values1,values2,values3"


# Texts at Excel's 255 characters pass whole; longer ones are cut to 255,
# marked, never splitting a surrogate pair; the function is not refused.
def test_texts_at_the_limit_pass_whole_and_longer_ones_are_cut(txl):
    _, wizard = txl
    assert wizard.cut("x" * 255) == "x" * 255
    cut = wizard.cut("x" * 256)
    assert units(cut) == 255 and cut.endswith("\u2026")
    pairs = wizard.cut("\U0001d538" * 200)
    assert units(pairs) <= 255 and pairs[:-1] == "\U0001d538" * 127
    assert wizard.cut("a\udc00b") == "a\ufffdb"  # a lone surrogate Excel could not show


# The argument text holds all names in 255 characters: the longest names are
# shortened first, every argument keeps a label.
def test_argument_text_over_255_shortens_the_longest_names_and_keeps_every_one(txl):
    _, wizard = txl
    names = ["n%02d_" % i + "x" * 40 for i in range(10)]
    text = wizard.argument_text(names)
    assert units(text) == 255
    parts = text.split(",")
    assert len(parts) == 10 and all(p.startswith("n%02d_" % i) for i, p in enumerate(parts))
    assert max(len(p) for p in parts) - min(len(p) for p in parts) <= 1
    exact = ["a" * 127, "b" * 127]  # 127 + 1 + 127 = 255: whole
    assert wizard.argument_text(exact) == ",".join(exact)


# A docstring's long first line, a long category and a long help are cut,
# each to 255 characters.
def test_overlong_description_category_and_help_are_cut_to_255(txl):
    tindral_xl, wizard = txl

    def f(x):
        pass

    f.__doc__ = "D" * 400 + "\n\n    Args:\n        x: " + "h" * 400 + "\n"
    tindral_xl.register(f, category="C" * 300)
    texts = wizard.texts("f", f, 1)
    assert [units(t) for t in texts] == [1, 255, 255, 255]
