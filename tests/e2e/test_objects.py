"""Python objects in cells: a result with no cell value is kept in the object
store and its cell shows a handle ("<Model #1>"); the handle given to another
function arrives as the object; the object lives as long as its cell's
formula keeps making it, and no longer than the add-in."""

import json

import pytest

from test_cell_errors import exec_op, mcp_call

MODULE = """\
import weakref

from tindral_xl import xl_function

made = []  # weak references to every Model made, in order


class Model:
    def __init__(self, slope):
        self.slope = slope
        made.append(weakref.ref(self))

    def __repr__(self):
        return "Model(slope=%r)" % self.slope


class Other:
    pass


@xl_function(name="FIT")
def fit(slope):
    return Model(slope)


@xl_function(name="PREDICT")
def predict(model: Model, x):
    return model.slope * x


@xl_function(name="ANY_LEN")
def any_len(thing):
    return len(thing) if not isinstance(thing, str) else -1


@xl_function(name="OTHER")
def other():
    return Other()


@xl_function(name="KEEP_LIST", returns="object")
def keep_list(n):
    return [1.0] * int(n)


@xl_function(name="MAYBE")
def maybe(make):
    return Model(1.0) if make else 0.0


@xl_function(name="ALIVE")
def alive():
    return float(sum(1 for r in made if r() is not None))
"""


def lines_of(run, word):
    return [l for l in run.lines if l.startswith(word + " ")]


# A result with no cell value showed its repr, which no second function could
# use; a handle text passed on must arrive as the very object (and a text that
# only looks like a handle of nothing must not be taken for text).
@pytest.mark.needs_python
def test_handle_made_in_one_cell_is_the_object_in_another(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    run = host(addin, "open",
               "seed A1 f:=FIT(2)", "show A1",
               'seed B1 f:=PREDICT("<Model\\s#1>",5)', "show B1",
               "seed A2 f:=KEEP_LIST(3)", "show A2",             # a list kept whole
               'seed B2 f:=ANY_LEN("<list\\s#2>")', "show B2",
               'seed B3 f:=ANY_LEN("<b>#1")', "show B3",         # no handle: plain text
               "close")
    assert run.rc == 0, run.stderr
    assert lines_of(run, "show") == [
        'show A1 1 1 [{"f":"=FIT(2)","v":"<Model #1>"}]',
        'show B1 1 1 [{"f":"=PREDICT(\\"<Model #1>\\",5)","v":10}]',
        'show A2 1 1 [{"f":"=KEEP_LIST(3)","v":"<list #2>"}]',
        'show B2 1 1 [{"f":"=ANY_LEN(\\"<list #2>\\")","v":3}]',
        'show B3 1 1 [{"f":"=ANY_LEN(\\"<b>#1\\")","v":-1}]']


# Recalculating a cell that makes an object each time kept every old object
# alive (a leak), or released the new one; a cell whose formula stops making
# objects kept its last one. The weak references in the module tell.
@pytest.mark.needs_python
def test_recalculation_releases_the_cells_previous_object_and_numbers_anew(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    run = host(addin, "open",
               "seed A1 f:=FIT(1)", "seed A2 f:=MAYBE(TRUE)", "seed C1 f:=ALIVE()", "show C1",
               "seed A1 f:=FIT(3)", "show A1", "seed C1 f:=ALIVE()", "show C1",
               'seed B1 f:=PREDICT("<Model\\s#1>",5)', "show B1",   # A1's first object is gone
               "seed A2 f:=MAYBE(FALSE)", "seed C1 f:=ALIVE()", "show C1",  # no object now: A2's goes
               "call FIT n:7", "seed C1 f:=ALIVE()", "show C1",   # not from a cell: owned by none, kept
               "seed A1 f:=FIT(4)", "seed C1 f:=ALIVE()", "show C1",
               "close")
    assert run.rc == 0, run.stderr
    assert lines_of(run, "show") == [
        'show C1 1 1 [{"f":"=ALIVE()","v":2}]',
        'show A1 1 1 [{"f":"=FIT(3)","v":"<Model #3>"}]',
        'show C1 1 1 [{"f":"=ALIVE()","v":2}]',
        'show B1 1 1 [{"f":"=PREDICT(\\"<Model #1>\\",5)","v":{"err":23}}]',
        'show C1 1 1 [{"f":"=ALIVE()","v":1}]',
        'show C1 1 1 [{"f":"=ALIVE()","v":2}]',
        'show C1 1 1 [{"f":"=ALIVE()","v":2}]']
    assert 'result str "<Model #4>" xltype=0x4002' in run.lines


# The store must cost a result that converts nothing: a value asks Excel for
# its cell only while its own function's cells hold objects.
@pytest.mark.needs_python
def test_only_object_results_and_functions_holding_objects_ask_for_the_cell(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    run = host(addin, "open",
               "seed A1 f:=ALIVE()", 'seed A2 f:=ANY_LEN("abc")', "callers",  # values: no ask
               "seed B1 f:=FIT(1)", "callers",                                 # an object: one ask
               "seed A1 f:=ALIVE()", "callers",                                # ALIVE holds none: no ask
               "seed C1 f:=MAYBE(FALSE)", "callers",                           # MAYBE holds none yet
               "seed C1 f:=MAYBE(TRUE)", "seed C1 f:=MAYBE(FALSE)", "callers",  # now it asks to release
               "seed C1 f:=MAYBE(FALSE)", "callers",                           # none left: no ask
               "close")
    assert run.rc == 0, run.stderr
    assert lines_of(run, "callers") == ["callers 0", "callers 1", "callers 1", "callers 1", "callers 3",
                                        "callers 3"]


# A gone handle must say so in the log (not a bare #VALUE!); a parameter
# annotated with a class must refuse another type with a line naming both.
@pytest.mark.needs_python
def test_gone_handle_is_ref_and_a_wrong_type_is_value_each_with_its_log_line(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    run = host(addin, "open",
               "seed A1 f:=OTHER()", "show A1",
               'seed B1 f:=PREDICT("<Other\\s#1>",5)', "show B1",
               'seed B2 f:=PREDICT("<Model\\s#99>",5)', "show B2",
               'seed B3 f:=PREDICT("<Other\\s#7>",5)', "show B3",     # never made in this session
               "close")
    assert run.rc == 0, run.stderr
    assert lines_of(run, "show") == [
        'show A1 1 1 [{"f":"=OTHER()","v":"<Other #1>"}]',
        'show B1 1 1 [{"f":"=PREDICT(\\"<Other #1>\\",5)","v":{"err":15}}]',
        'show B2 1 1 [{"f":"=PREDICT(\\"<Model #99>\\",5)","v":{"err":23}}]',
        'show B3 1 1 [{"f":"=PREDICT(\\"<Other #7>\\",5)","v":{"err":23}}]']
    log = "\n".join(sandbox.log_lines())
    assert "objects: PREDICT argument 1: <Other #1> is not a Model" in log
    assert "objects: PREDICT argument 1: <Model #99> is gone" in log


# Python is never finalized, so objects left in the store at close were
# never released: their finalizers (a file, a connection) never ran.
@pytest.mark.needs_python
def test_close_releases_every_object(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    run = host(addin, "open", "seed A1 f:=FIT(1)", "seed A2 f:=FIT(2)", "seed A3 f:=OTHER()",
               "unload", "load", "seed C1 f:=ALIVE()", "show C1", "close")
    assert run.rc == 0, run.stderr
    assert lines_of(run, "show") == ['show C1 1 1 [{"f":"=ALIVE()","v":0}]']
    assert any(l.endswith("func_registry: 3 object(s) released at close") for l in sandbox.log_lines())


# Agents see, fetch, put and delete objects over /exec, and list and inspect
# them over MCP; an agent's object serves cells and stays until deleted.
@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_agent_lists_fetches_puts_and_deletes_objects(addin_folder, start_host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"models.py": MODULE})
    p = start_host(addin)
    p.proc.stdin.write(b"open\nsheet Data\nseed C7 f:=FIT(2)\necho ready\n")
    p.proc.stdin.flush()
    p.read_until("echo ready", timeout=120)
    session = sandbox.session()
    port, token = session["port"], session["token"]

    answer = exec_op(port, token, op="objects")
    assert answer["ok"] is True, answer
    assert answer["objects"] == [
        {"handle": "<Model #1>", "type": "models.Model", "cell": "[Book1]Data!$C$7", "repr": "Model(slope=2.0)"}]
    answer = exec_op(port, token, op="exec", code=(
        "import tindral_xl\n"
        "m = tindral_xl.objects.get('<Model #1>')\n"
        "print(m.slope)\n"
        "h = tindral_xl.objects.put({'k': 'x' * 500})\n"
        "print(h)\n"))
    assert answer["ok"] is True, answer
    assert answer["stdout"] == "2.0\n<dict #2>\n"

    answer = mcp_call(port, token, "list_objects", {})
    listed = json.loads(answer["result"]["content"][0]["text"])["objects"]
    assert [o["handle"] for o in listed] == ["<Model #1>", "<dict #2>"]
    assert listed[1]["cell"] is None and len(listed[1]["repr"]) == 200
    answer = mcp_call(port, token, "inspect_object", {"handle": "<Model #1>"})
    one = json.loads(answer["result"]["content"][0]["text"])
    assert one["repr"] == "Model(slope=2.0)" and "slope" in one["attributes"]
    answer = mcp_call(port, token, "inspect_object", {"handle": "<Model #9>"})
    assert answer["result"]["isError"] is True

    p.proc.stdin.write(b'seed D1 f:=ANY_LEN("<dict\\s#2>")\nshow D1\necho used\n')
    p.proc.stdin.flush()
    p.read_until("echo used", timeout=60)
    answer = exec_op(port, token, op="exec", code="print(tindral_xl.objects.delete('<dict #2>'))")
    assert answer["stdout"] == "True\n", answer
    p.proc.stdin.write(b'seed D2 f:=ANY_LEN("<dict\\s#2>")\nshow D2\nclose\n')
    p.proc.stdin.close()
    p.finish()
    assert 'show D1 1 1 [{"f":"=ANY_LEN(\\"<dict #2>\\")","v":1}]' in p.lines
    assert 'show D2 1 1 [{"f":"=ANY_LEN(\\"<dict #2>\\")","v":{"err":23}}]' in p.lines
