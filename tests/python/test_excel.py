"""tindral_xl.excel without Excel: the add-in's native side is faked, so what
is checked is the package's own part: input checks before anything is
queued, the wait loop that gives a request up on time or on an interrupt,
error values, and the model-facing tools."""

import json
import os
import sys
import types

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

import tindral_xl  # noqa: E402
from tindral_xl import _workbook_tools, excel  # noqa: E402
from tindral_xl.excel import XLError  # noqa: E402


class FakeNative:
    """Records requests; answers each wait from a script of answers."""

    def __init__(self, answers=()):
        self.submits = []
        self.waits = 0
        self.cancelled = []
        self.answers = list(answers)
        self.started = False

    def excel_submit(self, request):
        self.submits.append(request)
        return 7

    def excel_wait(self, request):
        job, ms, errors = request
        assert job == 7 and 1 <= ms <= 50 and errors[7] == XLError("#DIV/0!")
        self.waits += 1
        answer = self.answers.pop(0) if self.answers else None
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def excel_cancel(self, job):
        self.cancelled.append(job)
        return self.started


@pytest.fixture
def native(monkeypatch):
    fake = FakeNative()
    module = types.ModuleType("tindral_xl._native")
    for name in ("excel_submit", "excel_wait", "excel_cancel"):
        setattr(module, name, getattr(fake, name))
    monkeypatch.setattr(tindral_xl, "_native", module, raising=False)
    monkeypatch.setitem(sys.modules, "tindral_xl._native", module)
    return fake


def test_error_values_name_the_error_and_compare_by_code():
    assert XLError("#DIV/0!") == XLError(7) and XLError("#n/a").name == "#N/A"
    assert repr(XLError(42)) == "XLError('#N/A')" and str(XLError(0)) == "#NULL!"
    assert tindral_xl.XLError is XLError
    assert len({XLError(7), XLError("#DIV/0!")}) == 1
    with pytest.raises(ValueError, match="unknown Excel error"):
        XLError("#OOPS")
    with pytest.raises(AttributeError):
        XLError(7).code = 8


def test_outside_excel_the_api_says_it_needs_the_add_in(monkeypatch):
    monkeypatch.setattr(tindral_xl, "_native", None, raising=False)
    with pytest.raises(RuntimeError, match="inside Excel"):
        excel.read("A1")


@pytest.mark.parametrize("rows, message", [
    ([1, 2], "row 1 is a int, not a list of values"),
    ("abc", "values are a list of rows"),
    ([], "no rows to write"),
    ([[]], "row 1 is empty"),
    ([[1, 2], [3]], "row 2 has 1 values but row 1 has 2"),
    ([[1, {"a": 1}]], "row 1, column 2 holds a dict"),
    ([[0] * 1001] * 1000, "1000 x 1001 is more than the 1,000,000 cells"),
])
def test_write_refuses_a_malformed_block_before_queueing_anything(native, rows, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        excel.write("A1", rows)
    assert native.submits == []


def test_write_hands_plain_values_row_by_row(native):
    class Money(float):
        pass

    native.answers = [("ok", 4)]
    assert excel.write(" Sheet1!A1 ", [[Money(1.5), True], [None, XLError("#N/A")]]) == 4
    [(op, ref, (flat, rows, cols, error_type))] = native.submits
    assert (op, ref, rows, cols, error_type) == (2, "Sheet1!A1", 2, 2, XLError)
    assert flat == [1.5, True, None, XLError(42)] and type(flat[0]) is float


@pytest.mark.parametrize("ref", [None, "", "   ", 5])
def test_a_reference_must_be_text(native, ref):
    with pytest.raises(ValueError):
        excel.read(ref)
    assert native.submits == []


def test_a_request_never_run_in_time_is_withdrawn(native):
    with pytest.raises(TimeoutError, match="within 0.12 s .*withdrawn and nothing changed"):
        excel.read("A1", timeout=0.12)
    assert native.cancelled == [7] and native.waits >= 2


def test_a_request_started_but_unfinished_may_still_take_effect(native):
    native.started = True
    with pytest.raises(TimeoutError, match="may still take effect"):
        excel.write("A1", [[1]], timeout=0.05)
    assert native.cancelled == [7]


def test_an_interrupt_while_waiting_gives_the_request_up(native):
    native.answers = [None, KeyboardInterrupt()]
    with pytest.raises(KeyboardInterrupt):
        excel.calculate()
    assert native.cancelled == [7]


def test_answers_become_values_or_the_right_exceptions(native):
    native.answers = [None, ("ok", [[1.0, XLError(7)]])]
    assert excel.read("A1:B1") == [[1.0, XLError("#DIV/0!")]]
    assert native.cancelled == []
    native.answers = [("ValueError", "no such sheet in the active workbook")]
    with pytest.raises(ValueError, match=r"read\(\"'My ''x'' sheet'!A1\"\): no sheet named \"My 'x' sheet\""):
        excel.read("'My ''x'' sheet'!A1")
    native.answers = [("RuntimeError", "Excel refused xlSet (code 32)")]
    with pytest.raises(RuntimeError, match=r"write\('A1'\): Excel refused xlSet"):
        excel.write("A1", [[1]])


@pytest.mark.parametrize("timeout", [0, -1, "5", True])
def test_timeout_must_be_a_positive_number(native, timeout):
    with pytest.raises(ValueError, match="timeout"):
        excel.sheets(timeout=timeout)
    assert native.submits == []


def test_tools_carry_schemas_a_model_can_use_and_json_cells(native):
    names = [t["name"] for t in _workbook_tools.TOOLS]
    assert names == ["read_range", "write_range", "set_formula", "list_sheets", "calculate"]
    for tool in _workbook_tools.TOOLS:
        assert tool["inputSchema"]["type"] == "object" and callable(tool["handler"]) and tool["description"]
        json.dumps(tool["inputSchema"])
    native.answers = [("ok", [[1.0, None, XLError(7)]])]
    assert _workbook_tools.read_range({"ref": "A1:C1"}) == {"ref": "A1:C1", "rows": [[1.0, None, {"error": "#DIV/0!"}]]}
    native.answers = [("ok", 2)]
    assert _workbook_tools.write_range({"ref": "A1", "values": [[{"error": "#N/A"}, "x"]]})["written"] == 2
    assert native.submits[-1][2][0] == [XLError(42), "x"]
    with pytest.raises(ValueError, match="list of rows"):
        _workbook_tools.write_range({"ref": "A1", "values": [1, 2]})
    with pytest.raises(ValueError, match="'ref'"):
        _workbook_tools.set_formula({"formula": "=1"})
