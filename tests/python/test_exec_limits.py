"""What an agent's request may not do to others: time limits, output that
belongs to the request's own thread, an empty stdin, and size bounds."""

import ctypes
import json
import os
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

from tindral_xl import _exec_entry  # noqa: E402
from tindral_xl._exec_entry import dispatch_request  # noqa: E402

MAX = _exec_entry.MAX_CAPTURE


def call(req):
    text = dispatch_request(json.dumps(req))
    assert isinstance(text, str)
    return json.loads(text)


def interrupt_after(seconds, thread_id, exc):
    """Raises exc in the thread, as the add-in does when a limit runs out."""

    def fire():
        time.sleep(seconds)
        ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread_id), ctypes.py_object(exc))

    t = threading.Thread(target=fire, daemon=True)
    t.start()
    return t


# --- time limits ---------------------------------------------------------------------


@pytest.mark.parametrize("exc,kind", [(_exec_entry.RequestTimeout, "timeout"),
                                      (_exec_entry.AddinClosing, "interrupted")])
def test_interrupted_spin_answers_its_kind_with_output_so_far(exc, kind):
    code = "print('started')\nwhile True:\n    try:\n        pass\n    except Exception:\n        pass\n"
    t = interrupt_after(0.3, threading.get_ident(), exc)
    answer = call({"op": "exec", "code": code, "timeout": 7, "id": 3})
    t.join()
    assert answer["ok"] is False and answer["kind"] == kind and answer["id"] == 3
    assert answer["stdout"] == "started\n"
    assert answer["type"] == exc.__name__
    if kind == "timeout":
        assert answer["error"] == "the request ran past its time limit (7 s)"
        assert answer["traceback"].endswith("RequestTimeout: the request ran past its time limit (7 s)\n")
    # The next request runs normally.
    assert call({"op": "eval", "expr": "1 + 1"})["result"] == 2


@pytest.mark.parametrize("value", [0, -1, 3600.5, "5", True, None, [1], 1e400,
                                   pytest.param(10 ** 400, id="400 digits"),
                                   pytest.param(-(10 ** 400), id="minus 400 digits")])
def test_bad_timeout_is_a_request_error_and_runs_nothing(value):
    answer = call({"op": "exec", "code": "ran = 1", "timeout": value})
    assert answer["ok"] is False and answer["kind"] == "request"
    assert "timeout" in answer["error"]
    assert "ran" not in _exec_entry.namespace


@pytest.mark.parametrize("value", [0.001, 1, 60, 3600])
def test_timeout_in_range_is_accepted(value):
    assert call({"op": "eval", "expr": "3", "timeout": value})["result"] == 3


def test_limit_name_and_abandon_answers_reach_the_add_in_before_the_code_runs(recording_native):
    native = recording_native
    answer = call({"op": "exec", "code": "import tindral_xl._native as n\nlen(n.reports)", "timeout": 2.5, "id": "q7"})
    assert answer["result"] == 1, "reported before the agent's code ran"
    (seconds, label, on_timeout, on_close), = native.reports
    assert seconds == 2.5 and type(seconds) is float
    assert label == 'exec (id "q7")'
    assert json.loads(on_timeout) == {
        "id": "q7", "ok": False, "kind": "timeout", "abandoned": True,
        "error": "the request ran past its time limit of 2.5 s and did not stop when interrupted (blocked in a C "
                 "call); it was abandoned and its code may still be running"}
    closed = json.loads(on_close)
    assert closed["kind"] == "interrupted" and closed["abandoned"] is True and closed["id"] == "q7"
    assert "may still be running" in closed["error"]


def test_default_limit_is_reported_too_and_a_bad_one_never(recording_native):
    native = recording_native
    call({"op": "ping"})
    assert native.reports[0][:2] == (60.0, "ping")
    call({"op": "ping", "timeout": 10 ** 400})
    assert len(native.reports) == 1, "a refused limit is not handed on"


def test_without_the_add_in_requests_run_under_no_reported_limit(monkeypatch):
    monkeypatch.delitem(sys.modules, "tindral_xl._native", raising=False)
    assert _exec_entry.report_limit(5, "x", None, None) is False
    assert call({"op": "eval", "expr": "2", "timeout": 5})["result"] == 2


# --- the request's own streams -------------------------------------------------------


def test_other_threads_print_where_they_did_while_a_request_runs(capsys):
    go, done = threading.Event(), threading.Event()

    def other():
        go.wait(5)
        print("from another thread")
        sys.stderr.write("other err\n")
        done.set()

    threading.Thread(target=other).start()
    _exec_entry.namespace.update(go=go, done=done)
    answer = call({"op": "exec", "code": "print('mine')\ngo.set()\ndone.wait(5)\nprint('mine again')"})
    assert answer["stdout"] == "mine\nmine again\n" and answer["stderr"] == ""
    captured = capsys.readouterr()
    assert captured.out == "from another thread\n" and captured.err == "other err\n"


def test_thread_started_by_a_request_does_not_write_into_a_later_answer(capsys):
    code = ("import threading, time\n"
            "stop = threading.Event()\n"
            "def chatter():\n"
            "    while not stop.is_set():\n"
            "        print('chatter')\n"
            "        time.sleep(0.005)\n"
            "threading.Thread(target=chatter).start()\n")
    call({"op": "exec", "code": code})
    try:
        answer = call({"op": "exec", "code": "time.sleep(0.1)\nprint('later')"})
        assert answer["stdout"] == "later\n"
    finally:
        call({"op": "exec", "code": "stop.set()"})
    assert "chatter" in capsys.readouterr().out


def test_stdin_is_at_its_end_for_agent_code():
    answer = call({"op": "exec", "code": "import sys\nr = sys.stdin.read()\ninput('prompt> ')"})
    assert answer["kind"] == "exception" and answer["type"] == "EOFError"
    assert answer["stdout"] == "prompt> "
    assert _exec_entry.namespace["r"] == ""


def test_routers_keep_a_missing_console_silent():
    saved = sys.stdout
    try:
        sys.stdout = None
        call({"op": "ping"})  # routers are installed at the first capture
        call({"op": "exec", "code": "1"})
        print("nowhere")  # must not raise
        sys.stdout.flush()
    finally:
        sys.stdout = saved


# --- sizes ---------------------------------------------------------------------------


def test_long_text_result_and_repr_are_cut_with_a_marker():
    answer = call({"op": "eval", "expr": "'y' * (%d + 10)" % MAX})
    assert answer["ok"] is True and answer["truncated"] is True
    assert answer["result"] == "y" * MAX + "\n[... 10 more bytes cut]"
    assert answer["repr"] == "'" + "y" * (MAX - 1) + "\n[... 12 more bytes cut]"


def test_long_non_text_result_is_null_with_its_repr_cut():
    answer = call({"op": "eval", "expr": "list(range(300000))"})
    assert answer["result"] is None and answer["truncated"] is True
    assert answer["repr"].startswith("[0, 1, 2") and answer["repr"].endswith(" more bytes cut]")


def test_short_answers_carry_no_truncated_field():
    answer = call({"op": "exec", "code": "print('x' * 100)\n'z' * 100"})
    assert "truncated" not in answer


def test_cut_stderr_in_a_failure_is_marked():
    answer = call({"op": "exec", "code": "import sys\nsys.stderr.write('e' * (%d + 5))\n1/0" % MAX})
    assert answer["kind"] == "exception" and answer["truncated"] is True
    assert answer["stderr"].endswith("\n[... 5 more bytes cut]")


# The cap is in bytes of UTF-8: a million emoji used to pass as a million
# characters, four bytes each, and made a 12 MB answer once escaped.
def test_wide_characters_are_capped_by_their_utf8_bytes_never_split():
    answer = call({"op": "exec", "code": "print('\\U0001F600' * 400000, end='')"})
    assert answer["ok"] is True and answer["truncated"] is True
    kept, _, marker = answer["stdout"].partition("\n[... ")
    assert kept == "\U0001F600" * (MAX // 4)
    assert marker == "%d more bytes cut]" % (400000 * 4 - MAX)


def test_a_character_that_would_cross_the_cap_is_cut_whole_and_later_writes_are_counted():
    code = "import sys\nsys.stdout.write('x' * (%d - 1))\nsys.stdout.write('\\u00e9')\nsys.stdout.write('a')" % MAX
    answer = call({"op": "exec", "code": code})
    assert answer["stdout"] == "x" * (MAX - 1) + "\n[... 3 more bytes cut]"


def test_lone_surrogates_count_as_three_bytes_and_the_answer_stays_json():
    answer = call({"op": "eval", "expr": "'\\ud800' * (%d // 3 + 2)" % MAX})
    assert answer["truncated"] is True
    kept, _, marker = answer["result"].partition("\n[... ")
    assert kept == "\ud800" * (MAX // 3) and marker == "%d more bytes cut]" % (3 * (MAX // 3 + 2) - 3 * (MAX // 3))


def test_wide_text_result_and_repr_are_cut_by_bytes():
    answer = call({"op": "eval", "expr": "'\\u00e9' * %d" % MAX})
    assert answer["truncated"] is True
    assert answer["result"] == "\u00e9" * (MAX // 2) + "\n[... %d more bytes cut]" % MAX
    assert answer["repr"].startswith("'\u00e9\u00e9") and answer["repr"].endswith(" more bytes cut]")
    assert len(answer["repr"].partition("\n[... ")[0].encode("utf-8")) <= MAX
