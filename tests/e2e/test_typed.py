"""Typed worksheet functions through xllhost, and formulas the workbook computes
against its cells: references, ranges passed as Excel passes them to a `Q`
argument, and nested calls."""

import pytest

from test_workbook import run_code, workbook  # noqa: F401 - the fixture, shared

TYPED = r'''
import array
import datetime
from typing import Optional
from tindral_xl import xl_function, Array

@xl_function(name="SCALE")
def scale(x: float, times: int = 2) -> float:
    return x * times

@xl_function(name="DAY_AFTER")
def day_after(d: datetime.date) -> datetime.date:
    return d + datetime.timedelta(days=1)

@xl_function(name="LABEL")
def label(x: str, n: Optional[int]) -> str:
    return x * (n or 1)

@xl_function(name="TOTAL")
def total(x: Array) -> float:
    return sum(v for v in x.cast("B").cast("d") if v == v)

@xl_function(name="SHAPE")
def shape(x: Array) -> str:
    return "%d x %d" % x.shape

@xl_function(name="DOUBLED")
def doubled(x: Array):
    out = array.array("d", x.cast("B").cast("d"))
    for i in range(len(out)):
        out[i] *= 2
    return memoryview(out).cast("B").cast("d", x.shape)

@xl_function(name="COUNT")
def count(xs: list[float]) -> int:
    return len(xs)

@xl_function(name="SEEN")
def seen(x):
    return repr(x)
'''


def lines(run, *starts):
    return [l for l in run.lines if l.startswith(starts)]


@pytest.fixture
def typed_addin(addin_folder):
    return addin_folder(package=True, modules={"typed.py": TYPED}, python=True)


@pytest.mark.needs_python
def test_annotated_parameters_convert_and_refuse_with_a_line_naming_argument_and_function(typed_addin, host, sandbox):
    run = host(typed_addin, "open", "call SCALE n:1.5", "call SCALE n:1.5 n:3", "call SCALE s:abc",
               "call SCALE n:1 n:2.5", "call DAY_AFTER n:59", "call LABEL n:3 missing", "call LABEL b:1 n:2",
               "call SCALE nil", "close")
    assert run.rc == 0, run.stderr
    assert lines(run, "result") == [
        "result num 3 xltype=0x0001",
        "result num 4.5 xltype=0x0001",
        "result err 15 xltype=0x0010",
        "result err 36 xltype=0x0010",
        "result num 61 xltype=0x0001",  # 1900-02-28, then Excel's 1 March
        'result str "3" xltype=0x4002',
        'result str "TRUETRUE" xltype=0x4002',
        "result err 15 xltype=0x0010",
    ]
    log = sandbox.log_lines()
    assert "func_registry: argument 1 (x) of SCALE: text is not a number" in log
    assert "func_registry: argument 2 (times) of SCALE: 2.5 is not a whole number" in log
    assert ("func_registry: argument 1 (x) of SCALE: an empty cell where a value is needed "
            "(annotate it Optional or give it a default)") in log


@pytest.mark.needs_python
def test_array_arguments_and_buffer_results_carry_numbers_without_objects(typed_addin, host):
    run = host(typed_addin, "open", "call TOTAL m:2,2:1;s:x;;4", "call TOTAL g:100000,1:1,1",
               "call SHAPE m:3,2:1;2;3;4;5;6", "call DOUBLED m:2,2:1;2;3;4", "call DOUBLED m:1,3:1;e:42;b:1",
               "call DOUBLED g:1000,100:0,1", "close")
    assert run.rc == 0, run.stderr
    got = lines(run, "result")
    assert got[:5] == [
        "result num 5 xltype=0x0001",
        "result num 5000050000 xltype=0x0001",
        'result str "3 x 2" xltype=0x4002',
        "result multi 2 2 [2,4,6,8] xltype=0x4040",
        'result multi 1 3 [2,{"err":36},{"err":36}] xltype=0x4040',  # NaN from #N/A and TRUE: #NUM!
    ]
    assert got[5] == "result multi 1000 100 [%s] xltype=0x4040" % ",".join(str(2 * k) for k in range(100000))


@pytest.mark.needs_python
def test_formulas_compute_against_cells_ranges_and_nested_calls(typed_addin, host):
    run = host(typed_addin, "open", "seed A1:B3 1 2 3 4 5 6", "seed C1 s:x",
               "seed D1 f:=TOTAL(A1:B3)", "seed D2 f:=SCALE(TOTAL(A1:B3),3)", "seed D3 f:=SHAPE(Sheet1!$A$1:$B$3)",
               "seed D4 f:=SCALE(B2)", "seed D5 f:=SCALE(C2)", "seed D6 f:=COUNT(A1:A3)", "seed D7 f:=SEEN(A1:C2)",
               "seed D8 f:=SEEN(SEEN(C1))", "seed D9 f:=SCALE(Nowhere!A1)", "seed D10 f:=COUNT(A1:B3)",
               "show D1:D10", "seed A1 10", "seed D11 f:=SCALE(D1,1)", "show D11", "close")
    assert run.rc == 0, run.stderr
    assert lines(run, "show") == [
        'show D1:D10 10 1 [{"f":"=TOTAL(A1:B3)","v":21},{"f":"=SCALE(TOTAL(A1:B3),3)","v":63},'
        '{"f":"=SHAPE(Sheet1!$A$1:$B$3)","v":"3 x 2"},{"f":"=SCALE(B2)","v":8},'
        '{"f":"=SCALE(C2)","v":{"err":15}},{"f":"=COUNT(A1:A3)","v":3},'
        '{"f":"=SEEN(A1:C2)","v":"[[1.0, 2.0, \'x\'], [3.0, 4.0, None]]"},'
        '{"f":"=SEEN(SEEN(C1))","v":"\\"\'x\'\\""},{"f":"=SCALE(Nowhere!A1)","v":{"err":15}},'
        '{"f":"=COUNT(A1:B3)","v":{"err":15}}]',
        # D1 keeps the value of its last computation until a recalculation.
        'show D11 1 1 [{"f":"=SCALE(D1,1)","v":21}]',
    ]


@pytest.mark.needs_python
def test_eval_computes_a_formula_against_the_workbook_from_no_cell(typed_addin, host):
    run = host(typed_addin, "open", "seed A1:B3 1 2 3 4 5 6", "eval =TOTAL(A1:B3)", "eval = DOUBLED( A1:B2 )",
               "eval =TOTAL(A1:B3", "eval =A1+1", "close")
    assert run.rc == 0, run.stderr
    assert lines(run, "result", "formula") == [
        "result num 21 xltype=0x0001",
        "result multi 2 2 [2,4,6,8] xltype=0x0040",
        "formula refused expected , or ) at column 13",
        "formula refused unexpected text after the expression (operators are not evaluated here) at column 4",
    ]


@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_agents_set_formula_of_a_range_function_computes_against_the_cells_it_wrote(workbook, sandbox):
    h = workbook(modules={"typed.py": TYPED})
    answer = run_code(sandbox, "from tindral_xl import excel\n"
                               "excel.write('A1', [[1, 2], [3, 4]])\n"
                               "excel.set_formula('C1', '=TOTAL(A1:B2)')\n"
                               "excel.set_formula('C2', '=SCALE(TOTAL(A1:B2), 3)')\n"
                               "excel.write('A1', [[10]])\n"
                               "excel.calculate()\n"
                               "excel.read('C1:C2')")
    assert answer["result"] == [[19.0], [57.0]]
    h.run("idle off", "idle off")
    assert h.last("xlowned", "xlowned") == "xlowned 0"
