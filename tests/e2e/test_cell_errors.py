"""Why a cell shows #VALUE!: the error a worksheet function raised, kept for
the cell Excel was computing (xlfCaller, asked only on the error path), for
users in the sheet and for agents over /exec and MCP."""

import http.client
import json

import pytest

MODULE = """\
from tindral_xl import xl_function


def _check(x):
    if x < 0:
        raise ValueError("negative: %r" % x)
    return x


@xl_function(name="ROOT2")
def root2(x):
    return _check(x) ** 0.5


@xl_function(name="DOUBLE")
def double(x):
    return 2 * x
"""


def shown(run):
    return [l for l in run.lines if l.startswith("show")]


def callers(run):
    return [l for l in run.lines if l.startswith("callers")]


# A success asked Excel for its cell with nothing stored, or never cleared
# the cell's record; the caller's reference was never handed back (xlowned).
# TINDRAL.ERROR is the package's own: a module need not register it, and it
# takes the cell itself (B3, Sheet1!$A$2), or its address as text.
@pytest.mark.needs_python
def test_error_is_kept_for_its_cell_shown_by_tindral_error_and_only_asks_while_stored(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"roots.py": MODULE})
    run = host(addin, "open",
               "seed A1 f:=ROOT2(4)", "callers",                  # a success with nothing stored: no ask
               "seed A2 f:=ROOT2(-1)", "callers",                 # the error asks once
               "seed B2 f:=TINDRAL.ERROR(A2)", "show B2",         # a success while stored: asks once
               "seed B3 f:=TINDRAL.ERROR(A3)", "show B3",         # a cell with no error: empty text
               "seed B5 f:=TINDRAL.ERROR(Sheet1!$A$2)", "show B5",
               "seed B6 f:=TINDRAL.ERROR(\"A2\")", "show B6",     # the address as text
               "callers",
               "seed A2 f:=ROOT2(16)", "callers",                 # clears A2
               "seed B2 f:=TINDRAL.ERROR(A2)", "show B2",         # nothing stored now: no ask
               "seed A3 f:=ROOT2(25)", "callers",
               "call ROOT2 n:-4", "callers",                      # not from a cell: asked, nothing kept
               "seed B4 f:=TINDRAL.ERROR(A4)", "show B4",
               "xlowned", "close")
    assert run.rc == 0, run.stderr
    assert callers(run) == ["callers 0", "callers 1", "callers 5", "callers 6", "callers 6", "callers 7"]
    message = "ValueError: negative: -1.0"
    assert shown(run) == [
        'show B2 1 1 [{"f":"=TINDRAL.ERROR(A2)","v":"%s"}]' % message,
        'show B3 1 1 [{"f":"=TINDRAL.ERROR(A3)","v":""}]',
        'show B5 1 1 [{"f":"=TINDRAL.ERROR(Sheet1!$A$2)","v":"%s"}]' % message,
        'show B6 1 1 [{"f":"=TINDRAL.ERROR(\\"A2\\")","v":"%s"}]' % message,
        'show B2 1 1 [{"f":"=TINDRAL.ERROR(A2)","v":""}]',
        'show B4 1 1 [{"f":"=TINDRAL.ERROR(A4)","v":""}]']
    assert "xlowned 0" in run.lines


# A cell whose formula changed from a failing function to another one that
# succeeds kept the old error as its own: the success of a function that had
# never failed did not look for its cell. A reference to another sheet finds
# that sheet's cell, not the same address on the formula's sheet.
@pytest.mark.needs_python
def test_a_cells_record_goes_when_another_function_succeeds_there(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"roots.py": MODULE})
    run = host(addin, "open",
               "seed A2 f:=ROOT2(-1)", "seed A3 f:=ROOT2(-2)",
               "sheet Data", "seed A2 f:=ROOT2(-3)",
               "sheet Sheet1", "seed A2 f:=DOUBLE(3)",            # a new formula in A2 that succeeds
               "seed B2 f:=TINDRAL.ERROR(A2)", "show B2",
               "seed B3 f:=TINDRAL.ERROR(A3)", "show B3",         # A3's own error stays
               "seed B4 f:=TINDRAL.ERROR(Data!A2)", "show B4",    # so does Data!A2's
               "close")
    assert run.rc == 0, run.stderr
    assert shown(run) == [
        'show B2 1 1 [{"f":"=TINDRAL.ERROR(A2)","v":""}]',
        'show B3 1 1 [{"f":"=TINDRAL.ERROR(A3)","v":"ValueError: negative: -2.0"}]',
        'show B4 1 1 [{"f":"=TINDRAL.ERROR(Data!A2)","v":"ValueError: negative: -3.0"}]']


def exec_op(port, token, **req):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        conn.request("POST", "/exec", body=json.dumps(req), headers={"Authorization": "Bearer " + token})
        return json.loads(conn.getresponse().read())
    finally:
        conn.close()


def mcp_call(port, token, name, arguments):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        body = {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": name, "arguments": arguments}}
        conn.request("POST", "/mcp", body=json.dumps(body),
                     headers={"Authorization": "Bearer " + token, "Content-Type": "application/json",
                              "Accept": "application/json, text/event-stream"})
        return json.loads(conn.getresponse().read())
    finally:
        conn.close()


# An agent asked why a cell shows #VALUE! could only read the whole log: the
# errors op and the cell_errors tool answer with the cell's own record.
@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_agent_reads_a_cells_error_with_its_traceback_over_exec_and_mcp(addin_folder, start_host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"roots.py": MODULE})
    p = start_host(addin)
    p.proc.stdin.write(b"open\nsheet Data\nseed C7 f:=ROOT2(-2)\nseed C8 f:=ROOT2(-3)\necho ready\n")
    p.proc.stdin.flush()
    p.read_until("echo ready", timeout=120)
    session = sandbox.session()
    port, token = session["port"], session["token"]

    every = exec_op(port, token, op="errors")
    assert every["ok"] is True, every
    assert [e["cell"] for e in every["errors"]] == ["[Book1]Data!$C$7", "[Book1]Data!$C$8"]
    (one,) = exec_op(port, token, op="errors", ref="Data!C7")["errors"]
    assert {k: one[k] for k in ("function", "args", "type", "message")} == {
        "function": "ROOT2", "args": ["-2.0"], "type": "ValueError", "message": "negative: -2.0"}
    tb = one["traceback"]
    assert tb.startswith("Traceback (most recent call last):\n") and tb.endswith("ValueError: negative: -2.0\n")
    assert "in root2" in tb and "in _check" in tb and "roots.py" in tb
    assert "tindral_xl" not in tb

    answer = mcp_call(port, token, "cell_errors", {"ref": "C8"})
    text = answer["result"]["content"][0]["text"]
    assert answer["result"].get("isError") is not True, answer
    assert json.loads(text)["errors"][0]["message"] == "negative: -3.0"
    answer = mcp_call(port, token, "cell_errors", {})
    assert len(json.loads(answer["result"]["content"][0]["text"])["errors"]) == 2
    p.proc.stdin.write(b"close\n")
    p.proc.stdin.close()
    p.finish()
