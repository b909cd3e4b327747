"""The per-cell error store without Excel: what the add-in hands it on a
failing call, what a success clears, its bound, and how a cell text is
looked up."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

from tindral_xl import _errors, _exec_entry  # noqa: E402


@pytest.fixture(autouse=True)
def empty_store():
    _errors.clear()
    yield
    _errors.clear()


def raised(func, *args):
    """(type, value, traceback) of func(*args), as the add-in fetches them."""
    try:
        func(*args)
    except Exception as e:
        return type(e), e, e.__traceback__
    raise AssertionError("did not raise")


def _inner(x):
    raise ValueError("negative: %r" % x)


def user_function(x):
    return _inner(x)


def test_record_is_replaced_by_the_cells_next_error_and_removed_by_its_success():
    assert _errors.record("[Book1]Sheet1!$B$3", "F", (-1.0,), *raised(user_function, -1.0)) == 1
    assert _errors.record("[Book1]Sheet1!$B$3", "F", (-2.0,), *raised(user_function, -2.0)) == 1
    (only,) = _errors.all_records()
    assert only["message"] == "negative: -2.0" and only["args"] == ["-2.0"] and only["type"] == "ValueError"
    # A success in another cell leaves this one; in this cell it clears it.
    assert _errors.forget("[Book1]Sheet1!$B$4") == 1
    assert _errors.forget("[Book1]Sheet1!$B$3") == 0
    assert _errors.all_records() == []


# The count the add-in keeps is the store's total: a count too low would
# leave a record no success ever clears, one too high would make every
# success ask Excel for its cell with nothing to clear. A cell taken over by
# another function's error, and that cell's success by a third function.
def test_count_answered_is_the_stores_total_across_functions():
    _errors.record("[Book1]Sheet1!$A$1", "F", (), *raised(user_function, 1))
    assert _errors.record("[Book1]Sheet1!$A$2", "F", (), *raised(user_function, 2)) == 2
    assert _errors.record("[Book1]Sheet1!$A$1", "G", (), *raised(user_function, 3)) == 2
    assert _errors.forget("[Book1]Sheet1!$Z$9") == 2
    assert _errors.forget("[Book1]Sheet1!$A$1") == 1
    assert _errors.cells() == ["[Book1]Sheet1!$A$2"]
    assert _errors.forget("[Book1]Sheet1!$A$2") == 0


def test_store_keeps_only_the_last_thousand_errors():
    for i in range(_errors.LIMIT + 5):
        held = _errors.record("[Book1]Sheet1!$A$%d" % (i + 1), "F", (i,), *raised(user_function, i))
    assert held == _errors.LIMIT == 1000
    cells = [r["cell"] for r in _errors.all_records()]
    assert len(cells) == 1000
    assert cells[0] == "[Book1]Sheet1!$A$6" and cells[-1] == "[Book1]Sheet1!$A$1005"
    assert _errors.find("A5") is None and _errors.find("A6")["args"] == ["5"]


def test_traceback_holds_the_users_frames_and_none_of_the_package():
    def wrapped(x):  # stands in for the package's own wrapper frames
        return user_function(x)
    wrapped.__code__ = wrapped.__code__.replace(co_filename=os.path.join(os.path.dirname(_errors.__file__),
                                                                         "__init__.py"))
    _errors.record("[Book1]Sheet1!$C$1", "F", (), *raised(wrapped, -1))
    tb = _errors.find("C1")["traceback"]
    assert tb.startswith("Traceback (most recent call last):\n")
    assert "in user_function" in tb and "in _inner" in tb and tb.endswith("ValueError: negative: -1\n")
    assert "tindral_xl" not in tb and "in wrapped" not in tb


def test_argument_reprs_are_short_and_a_failing_repr_does_not_lose_the_record():
    class Bad:
        def __repr__(self):
            raise RuntimeError("no repr")
    _errors.record("[Book1]Sheet1!$D$1", "F", ("x" * 5000, list(range(100)), Bad()), *raised(user_function, 0))
    args = _errors.find("D1")["args"]
    assert len(args[0]) < 80 and len(args[1]) < 80
    assert args[2].startswith("<Bad ")


@pytest.mark.parametrize("text", ["B3", "b3", "$B$3", "Sheet1!B3", "'Sheet1'!$B$3", "[Book1]Sheet1!$B$3",
                                  "sheet1!b3"])
def test_cell_texts_users_write_find_the_record(text):
    _errors.record("[Book1]Sheet1!$B$3", "F", (), *raised(user_function, 7))
    assert _errors.cell_error(text) == "ValueError: negative: 7"


def test_other_sheet_or_cell_finds_nothing_and_no_text_gives_empty():
    _errors.record("[Book1]Sheet1!$B$3", "F", (), *raised(user_function, 7))
    assert _errors.cell_error("Sheet2!B3") == "" and _errors.cell_error("B33") == ""
    assert _errors.cell_error(None) == "" and _errors.cell_error("") == ""


def test_sheet_names_with_quotes_and_bangs_are_told_apart():
    _errors.record("[Book1]It's!$A$1", "F", (), *raised(user_function, 1))
    _errors.record("[Book1]Sheet1!$A$1", "F", (), *raised(user_function, 2))
    assert _errors.cell_error("'It''s'!A1") == "ValueError: negative: 1"
    assert _errors.cell_error("A1") == "ValueError: negative: 2"  # the latest without a sheet


def test_errors_op_answers_all_or_one_cell_and_rejects_a_ref_that_is_not_text():
    import json
    _errors.record("[Book1]Sheet1!$A$1", "F", (1.0,), *raised(user_function, 1))
    _errors.record("[Book1]Sheet1!$A$2", "G", (2.0,), *raised(user_function, 2))
    every = json.loads(_exec_entry.dispatch_request(json.dumps({"op": "errors"})))
    assert every["ok"] and [e["cell"] for e in every["errors"]] == ["[Book1]Sheet1!$A$1", "[Book1]Sheet1!$A$2"]
    one = json.loads(_exec_entry.dispatch_request(json.dumps({"op": "errors", "ref": "a2"})))
    assert [e["function"] for e in one["errors"]] == ["G"]
    none = json.loads(_exec_entry.dispatch_request(json.dumps({"op": "errors", "ref": "A3"})))
    assert none["ok"] and none["errors"] == []
    bad = json.loads(_exec_entry.dispatch_request(json.dumps({"op": "errors", "ref": 3})))
    assert bad["ok"] is False
