"""Ranges in, arrays out, through xllhost: what a formula over a range gets and
what a cell that spills shows."""

import pytest

ARRAYS = r'''
import datetime
from tindral_xl import register

def total(r):
    return sum(v for row in r for v in row if type(v) is float)

register(total, name="TOTAL")
register(lambda r: repr(r), name="SHOWN")
register(lambda: [[1, "two", True], [None], (2.5, float("nan"), datetime.date(1900, 3, 1))], name="TABLE")
register(lambda: ("a", 2, ["nested"]), name="ROW")
register(lambda: [], name="NOTHING")
register(lambda: float("inf"), name="INF")
register(lambda: datetime.datetime(2024, 1, 15, 12), name="NOON")
register(lambda n: [[i, "t%d" % i] for i in range(int(n))], name="COUNT_ROWS")
register(lambda: [[0.0]] * 1048577, name="TOO_TALL")
register(lambda: ["\U0001F600x", "a" * 32766 + "\U0001F600", "\u00e9" * 3], name="TEXTS")
'''


def results(run):
    return [l for l in run.lines if l.startswith("result ")]


@pytest.fixture
def arrays_addin(addin_folder):
    return addin_folder(package=True, modules={"arrays.py": ARRAYS}, python=True)


@pytest.mark.needs_python
def test_range_argument_arrives_as_rows_of_values(arrays_addin, host):
    run = host(arrays_addin, "open", "call TOTAL g:100000,1:1,1", "call SHOWN m:2,3:1;s:x;b:1;e:42;;i:3",
               "call SHOWN m:1,1:7", "call TOTAL missing")
    assert run.rc == 0, run.stderr
    assert results(run) == [
        "result num 5000050000 xltype=0x0001",
        'result str "[[1.0, \'x\', True], [None, None, 3]]" xltype=0x4002',
        'result str "[[7.0]]" xltype=0x4002',
        "result err 15 xltype=0x0010",  # sum over None raises
    ]


@pytest.mark.needs_python
def test_list_results_spill_as_arrays_freed_once_whether_or_not_handed_back(arrays_addin, host, sandbox):
    run = host(arrays_addin, "open", "call TABLE", "call ROW", "call NOTHING", "call INF", "call NOON",
               "free off", "call COUNT_ROWS n:3", "call COUNT_ROWS n:2", "free on", "call COUNT_ROWS n:1",
               "call COUNT_ROWS n:20000", "call TOO_TALL", "close")
    assert run.rc == 0, run.stderr  # a double free aborts the host
    got = results(run)
    assert got[:8] == [
        'result multi 3 3 [1,"two",true,null,{"err":42},{"err":42},2.5,{"err":36},61] xltype=0x4040',
        'result multi 1 3 ["a",2,"[\'nested\']"] xltype=0x4040',
        "result err 42 xltype=0x0010",
        "result err 36 xltype=0x0010",
        "result num 45306.5 xltype=0x0001",
        'result multi 3 2 [0,"t0",1,"t1",2,"t2"] xltype=0x4040',
        'result multi 2 2 [0,"t0",1,"t1"] xltype=0x4040',
        'result multi 1 2 [0,"t0"] xltype=0x4040',
    ]
    big = ",".join('%d,"t%d"' % (i, i) for i in range(20000))
    assert got[8] == "result multi 20000 2 [%s] xltype=0x4040" % big
    assert got[9] == "result err 36 xltype=0x0010"
    assert ("func_registry: array result of 1048577 x 1 is beyond Excel's limits "
            "(1048576 rows, 16384 columns, 2097152 elements): #NUM!") in sandbox.log_lines()


@pytest.mark.needs_python
def test_texts_in_arrays_keep_pairs_and_lone_surrogates_and_are_cut_whole(arrays_addin, host):
    # Where wchar_t has 16 bits (the Windows build) the units pass through as
    # they are; on Linux they are joined into and split from UTF-32.
    run = host(arrays_addin, "open", "call SHOWN m:1,3:s:\\ud83d\\ude00;s:\\ud800x;s:caf\\u00e9", "call TEXTS")
    assert run.rc == 0, run.stderr
    assert results(run) == [
        "result str \"[['\U0001F600', '\\\\ud800x', 'caf\u00e9']]\" xltype=0x4002",
        # 32,766 units of "a" and a pair that does not fit: left out whole.
        'result multi 1 3 ["\U0001F600x","%s","\u00e9\u00e9\u00e9"] xltype=0x4040' % ("a" * 32766),
    ]
