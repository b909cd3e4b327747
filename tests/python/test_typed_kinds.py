"""Annotations as the add-in's conversion kinds: what the fourth item of a
_registry entry holds, decided once when the function is registered."""

import datetime
import importlib
import os
import subprocess
import sys
import typing

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))


@pytest.fixture
def txl():
    import tindral_xl

    importlib.reload(tindral_xl)
    return tindral_xl


def kinds_of(txl, func, **kw):
    txl.register(func, name="F", **kw)
    entry = txl._registry[-1]
    return entry[3] if len(entry) == 4 else None


def test_each_annotation_maps_to_its_kind_and_flags(txl):
    from tindral_xl import _typed as t

    def f(a: float, b: int, c: bool, d: str, e: datetime.date, g: datetime.datetime, h: txl.Array,
          i: typing.Optional[float], j: "list[int] | None", k: typing.List[typing.List[typing.Optional[str]]]) -> str:
        pass

    assert kinds_of(txl, f) == (t.STR, (t.FLOAT, "a"), (t.INT, "b"), (t.BOOL, "c"), (t.STR, "d"), (t.DATE, "e"),
                                (t.DATETIME, "g"), (t.ARRAY, "h"), (t.FLOAT | t.OPTIONAL, "i"),
                                (t.LIST1 | t.INT | t.OPTIONAL, "j"),
                                (t.LIST2 | t.STR | t.ITEM_OPTIONAL, "k"))


def test_unannotated_and_unknown_annotations_keep_three_item_entries(txl):
    def plain(a, b):
        pass

    def unknown(a: object, b: "typing.Any", c: dict) -> list:
        pass

    assert kinds_of(txl, plain) is None
    assert kinds_of(txl, unknown) is None
    assert all(len(e) == 3 for e in txl._registry)


def test_a_default_makes_a_typed_parameter_optional_and_args_pads_untyped(txl):
    from tindral_xl import _typed as t

    def f(a: float, b: int = 3):
        pass

    assert kinds_of(txl, f) == (t.ANY, (t.FLOAT, "a"), (t.INT | t.OPTIONAL, "b"))
    assert kinds_of(txl, f, args=3) == (t.ANY, (t.FLOAT, "a"), (t.INT | t.OPTIONAL, "b"), (t.ANY, "arg3"))


# A result annotated as a list or buffer needs no check: it spills as it is.
def test_list_and_array_results_are_not_checked(txl):
    def f(a) -> txl.Array:
        pass

    def g(a) -> typing.List[float]:
        pass

    assert kinds_of(txl, f) is None and kinds_of(txl, g) is None


def test_registering_typed_functions_imports_neither_typing_nor_inspect():
    package = os.path.join(os.path.dirname(__file__), "..", "..", "python")
    code = ("import sys\nsys.path.insert(0, %r)\nimport tindral_xl\n"
            "exec('from __future__ import annotations\\n"
            "def f(a: float, b: Optional[int], c: tindral_xl.Array) -> str: pass\\n', globals())\n"
            "tindral_xl.register(f, name='F')\n"
            "print(sorted(m for m in ('inspect', 'typing') if m in sys.modules), len(tindral_xl._registry[-1]))"
            % package)
    out = subprocess.run([sys.executable, "-S", "-E", "-c", code], capture_output=True, text=True, check=True)
    # Optional names nothing there: logged (a warning outside the add-in), converted as unannotated.
    assert out.stdout.strip() == "[] 4", out.stdout + out.stderr
    assert "annotation 'Optional[int]' of parameter b of worksheet function F cannot be resolved" in out.stderr
