"""Worksheet functions end to end: modules imported, functions registered with
the host, called with typed arguments, results as Excel sees them."""

import json
import re
import shutil
import subprocess

import pytest

KINDS = r'''
import tindral_xl
from tindral_xl import register

class Sub(str):
    pass

class BadRepr(int):  # a value type's subclass still shows its repr; any other object a handle
    def __repr__(self):
        raise RuntimeError("repr refused")

register(lambda: None, name="none")
register(lambda: True, name="true")
register(lambda: 1, name="one")
register(lambda: 2 ** 31, name="two31")
register(lambda: 2 ** 53 + 1, name="two53p1")
register(lambda: 2 ** 1100, name="two1100")
register(lambda: 1.25, name="quarter")
register(lambda: "abc", name="text")
register(lambda: "\U0001F600", name="astral")
register(lambda: "x" * 40000, name="huge")
register(lambda: [1, 2], name="lst")
register(lambda: Sub("hi"), name="sub")
register(lambda: BadRepr(3), name="badrepr")
register(lambda x: type(x).__name__ + ":" + repr(x), name="show")

def boom(x):
    raise ValueError("bad input %s" % x)
register(boom, name="boom")
'''


def results(run):
    return [l for l in run.lines if l.startswith("result ")]


@pytest.fixture
def kinds_addin(addin_folder):
    return addin_folder(package=True, modules={"kinds.py": KINDS}, python=True)


@pytest.mark.needs_python
def test_each_python_result_kind_reaches_the_cell_as_excel_expects(kinds_addin, host, sandbox):
    run = host(kinds_addin, "open", "call none", "call true", "call one", "call two31", "call two53p1",
               "call two1100", "call quarter", "call text", "call astral", "call lst", "call sub",
               "call badrepr", "call boom s:q", "close")
    assert run.rc == 0, run.stderr
    assert results(run) == [
        "result nil xltype=0x0100",
        "result bool 1 xltype=0x0004",
        "result num 1 xltype=0x0001",
        "result num 2147483648 xltype=0x0001",
        "result num 9007199254740992 xltype=0x0001",
        "result err 36 xltype=0x0010",
        "result num 1.25 xltype=0x0001",
        'result str "abc" xltype=0x4002',
        'result str "\U0001F600" xltype=0x4002',
        "result multi 1 2 [1,2] xltype=0x4040",
        'result str "\'hi\'" xltype=0x4002',
        "result err 15 xltype=0x0010",
        "result err 15 xltype=0x0010",
    ]
    log = sandbox.log_lines()
    assert "Python error in boom: bad input q" in log
    assert "Python error in badrepr: repr refused" in log


@pytest.mark.needs_python
def test_arguments_arrive_as_python_values(kinds_addin, host):
    run = host(kinds_addin, "open", "call show n:2", "call show s:", "call show b:1", "call show i:7",
               "call show e:42", "call show missing", "call show nil", "call show m:1,2:1;2",
               "call show s:\\ud83d\\ude00")
    assert results(run) == [
        'result str "float:2.0" xltype=0x4002',
        'result str "str:\'\'" xltype=0x4002',
        'result str "bool:True" xltype=0x4002',
        'result str "int:7" xltype=0x4002',
        'result str "NoneType:None" xltype=0x4002',
        'result str "NoneType:None" xltype=0x4002',
        'result str "NoneType:None" xltype=0x4002',
        'result str "list:[[1.0, 2.0]]" xltype=0x4002',
        'result str "str:\'\U0001F600\'" xltype=0x4002',
    ]


@pytest.mark.needs_python
def test_overlong_text_is_cut_to_excels_limit(kinds_addin, host):
    run = host(kinds_addin, "open", "call huge")
    line = results(run)[0]
    assert line.endswith(" xltype=0x4002")
    text = json.loads(line[len("result str "):-len(" xltype=0x4002")])
    assert text == "x" * 32767


@pytest.mark.needs_python
def test_text_kept_by_excel_is_released_by_the_next_call_exactly_once(kinds_addin, host):
    run = host(kinds_addin, "free off", "open", "call text", "call text", "call text", "call astral",
               "call astral", "free on", "call text", "call text", "close")
    assert run.rc == 0, run.stderr  # a double free aborts the host
    assert results(run) == ['result str "abc" xltype=0x4002'] * 3 + \
        ['result str "\U0001F600" xltype=0x4002'] * 2 + ['result str "abc" xltype=0x4002'] * 2


@pytest.mark.needs_python
def test_refused_registration_waits_for_the_pending_command(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={
        "m.py": "from tindral_xl import register\nregister(lambda a, b: a + b, name='add')\n"
                "register(lambda: 'ok', name='other')\n"})
    run = host(addin, "refuse add 32", "open", "list", "accept add", "run xll_register_pending", "list",
               "call add n:1 n:2", "run xll_register_pending")
    assert run.rc == 0, run.stderr
    lists = [l for l in run.lines if l.startswith("function ") or l.startswith("list ")]
    # Slot 0 is the package's own TINDRAL.ERROR.
    assert lists == [
        "function xll_slot_0 QU TINDRAL.ERROR",
        "function xll_slot_2 Q other",
        "function xll_register_pending A# xll_register_pending",
        "list 3",
        "function xll_slot_0 QU TINDRAL.ERROR",
        "function xll_slot_2 Q other",
        "function xll_register_pending A# xll_register_pending",
        "function xll_slot_1 QQQ add",
        "list 4",
    ]
    assert results(run) == ["result num 3 xltype=0x0001"]
    log = sandbox.log_lines()
    assert "xlfRegister failed for add: rc=32" in log
    assert "func_registry: registered 3 functions" in log
    i = log.index("func_registry: processing deferred registrations (command)")
    assert log[i + 1] == "Registered Excel function: add (2 args)"
    # The second run finds nothing pending: only its opening line.
    assert log[-1] == "func_registry: processing deferred registrations (command)"


REBIND = '''
import tindral_xl

def f(a, b):
    return "old %s" % ((a, b),)

def rebind():
    def f(*args):
        return "new %s" % (args,)
    tindral_xl.register(f, name="f", args=3)
    return "rebound"

tindral_xl.register(f, name="f")
tindral_xl.register(rebind, name="rebind")
'''


@pytest.mark.needs_python
def test_second_open_hot_reloads_keeping_arity_and_registers_nothing_again(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"r.py": REBIND})
    run = host(addin, "open", "call f n:1 n:2", "call rebind", "close", "open", "call f n:1 n:2 n:3", "close")
    assert run.rc == 0, run.stderr
    assert [l for l in run.lines if l.startswith("register 0 xll_slot")] == [
        "register 0 xll_slot_0 QU TINDRAL.ERROR", "register 0 xll_slot_1 QQQ f", "register 0 xll_slot_2 Q rebind"]
    assert results(run) == [
        'result str "old (1.0, 2.0)" xltype=0x4002',
        'result str "rebound" xltype=0x4002',
        'result str "new (1.0, 2.0)" xltype=0x4002',  # Excel still passes two
    ]
    log = sandbox.log_lines()
    second = log[log.index("Python already initialized"):]
    assert second[:7] == [
        "Python already initialized",
        "Importing module: r",
        "Hot-reloaded function: TINDRAL.ERROR (slot 0)",
        "WARNING: f arity changed 2 -> 3, but Excel still passes 2 args (reload the add-in to fix)",
        "Hot-reloaded function: f (slot 1)",
        "Hot-reloaded function: rebind (slot 2)",
        "func_registry: registered 3 functions",
    ]
    assert "xlAutoOpen: complete" == second[8]


@pytest.mark.needs_python
def test_modules_load_in_listing_order_and_skip_what_is_not_a_module(addin_folder, host, sandbox, target):
    addin = addin_folder(package=True, python=True, modules={
        "b_two.py": "X = 2\n",
        "a_one.py": "X = 1\n",
        "broken.py": "raise RuntimeError('half written')\n",
        "tindral_xl.py": "raise SystemExit('the package must not be imported as a module')\n",
        "Tindral_XL.py": "X = 3\n",
        ".py": "raise SystemExit('no name')\n",
        ".hidden.py": "X = 4\n",
        "SHOUT.PY": "X = 5\n",
    })
    (addin.parent / "modules" / "folder.py").mkdir()
    run = host(addin, "open")
    assert run.rc == 0, run.stderr
    log = sandbox.log_lines()
    loader = [l for l in log if l.startswith(("Importing module", "Failed to import", "func_registry:"))]
    # The listing matches as FindFirstFileW does: a leading dot is no special
    # case and the extension matches in any case. ".hidden" is a relative name
    # and never imports; only Windows' Python takes SHOUT.PY for a .py file
    # (under Wine the bridge's interpreter is Linux's, which does not).
    shout_fails = ["Failed to import module: SHOUT"] if target.python_is_linux else []
    imports = {
        ".hidden": ["Failed to import module: .hidden"],
        "SHOUT": shout_fails,
        "Tindral_XL": [],
        "a_one": [],
        "b_two": [],
        "broken": ["Failed to import module: broken"],
    }
    # The Linux build lists in byte order; Windows (NTFS, and Wine) lists in
    # the order of the upper-cased names.
    order = sorted(imports, key=str.upper if target.is_wine else None)
    assert loader == [line for name in order for line in ["Importing module: " + name] + imports[name]] + [
        "func_registry: registered 1 functions",  # the package's own TINDRAL.ERROR
        "func_registry: registered command xll_register_pending",
    ]


NON_ASCII = "from tindral_xl import register\nregister(lambda: 'caf\\u00e9', name='cafe')\n"


@pytest.mark.needs_python
def test_non_ascii_module_name_reaches_the_import_in_the_ansi_code_page(addin_folder, host, sandbox, target):
    addin = addin_folder(package=True, python=True, modules={"caf\u00e9.py": NON_ASCII})
    run = host(addin, "open", "list", *([] if target.is_wine else ["call cafe"]))
    assert run.rc == 0, run.stderr
    log = sandbox.log_bytes()
    if target.is_wine:
        # Windows-1252 (Wine's ANSI code page here) makes the name b"caf\xe9":
        # logged as such, and no UTF-8 for the import, which fails cleanly.
        end = target.line_end
        assert b"Importing module: caf\xe9" + end in log
        assert b"Failed to import module: caf\xe9" + end in log
        assert "list 2" in run.lines  # the package's TINDRAL.ERROR and the command
    else:
        # The Linux build's narrow text is UTF-8: the module imports.
        assert "Importing module: caf\u00e9" in sandbox.log_lines()
        assert results(run) == ['result str "caf\u00e9" xltype=0x4002']


@pytest.mark.needs_python
def test_empty_modules_folder_registers_only_the_command(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={})
    (addin.parent / "modules").mkdir(exist_ok=True)
    run = host(addin, "open", "list")
    assert "list 1" in run.lines
    log = sandbox.log_lines()
    assert "No .py files found in modules/" in log
    assert not any(l.startswith("func_registry: registered ") and l.endswith(" functions") for l in log)


SIXTY_FIVE = '''
from tindral_xl import register
for i in range(65):
    register((lambda n: lambda: n)(i), name="f%d" % i)
'''


# The package's own TINDRAL.ERROR takes slot 0, so a user's modules have 63.
@pytest.mark.needs_python
def test_every_one_of_the_64_entry_points_calls_its_own_function(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"many.py": SIXTY_FIVE})
    run = host(addin, "open", "call TINDRAL.ERROR s:A1", *["call f%d" % i for i in range(63)])
    assert run.rc == 0, run.stderr
    assert results(run) == ['result str "" xltype=0x4002'] + ["result num %d xltype=0x0001" % i for i in range(63)]
    procs = [l.split()[2] for l in run.lines if l.startswith("register 0 xll_slot")]
    assert procs == ["xll_slot_%d" % i for i in range(64)]
    log = sandbox.log_lines()
    assert "WARNING: slot limit (64) reached, cannot register f63" in log
    assert "WARNING: slot limit (64) reached, cannot register f64" in log
    assert "func_registry: registered 64 functions" in log


@pytest.mark.needs_python
def test_example_modules_answer(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules=True)
    run = host(addin, "open", "call GREET s:Ada", "call GREET missing", "call IS_PRIME n:97",
               "call SAFE_DIVIDE n:1 n:0 missing", "call FACTORIAL n:171", "call PYTYPE n:3",
               "call TOTAL m:2,2:1;2;s:x;4", "call TIMES_TABLE n:3", "call NEXT_WORKDAYS n:45306 n:3",
               "call SLOW_SQUARE n:12 n:0.01")
    assert results(run) == [
        'result str "Hello, Ada!" xltype=0x4002',
        'result str "Hello, world!" xltype=0x4002',
        "result bool 1 xltype=0x0004",
        "result err 15 xltype=0x0010",
        "result err 36 xltype=0x0010",
        'result str "float" xltype=0x4002',
        "result num 7 xltype=0x0001",
        "result multi 3 3 [1,2,3,2,4,6,3,6,9] xltype=0x4040",
        "result multi 3 1 [45307,45308,45309] xltype=0x4040",
        "result num 144 xltype=0x0001",
    ]


def test_addin_exports_exactly_the_lifecycle_the_commands_and_64_slots(target):
    # The commands: the tick and the two calculation-event handlers.
    expected = sorted(["xlAutoOpen", "xlAutoClose", "xlAutoAdd", "xlAutoRemove", "xlAutoFree12",
                       "xll_register_pending", "xll_calc_cancelled", "xll_calc_ended"]
                      + ["xll_slot_%d" % i for i in range(64)])
    if target.is_wine:
        tool = shutil.which("x86_64-w64-mingw32-objdump")
        out = subprocess.run([tool, "-p", str(target.addin)], capture_output=True, text=True, check=True).stdout
        table = out.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
        names = re.findall(r"\[\s*\d+\]\s+(\S+)", table)
    else:
        out = subprocess.run(["nm", "-D", "--defined-only", str(target.addin)], capture_output=True, text=True,
                             check=True).stdout
        names = [l.split()[-1] for l in out.splitlines() if l.strip()]
    assert sorted(names) == expected


# With def p(x, e=2), =P(3, NA()) gave 9: the error value took the default,
# a wrong answer shown as a right one. Defaults stand only for omitted or
# empty arguments; an error arrives as None and here fails the call.
@pytest.mark.needs_python
def test_error_argument_does_not_take_the_parameters_default(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={
        "p.py": "from tindral_xl import xl_function\n@xl_function(name='P')\ndef p(x, e=2):\n    return x ** e\n"})
    run = host(addin, "open", "call P n:3 e:42", "call P n:3 e:7", "call P n:3 missing", "call P n:3 nil",
               "call P n:3 n:3", "seed A1 f:=P(3,)", "show A1", "close")
    assert run.rc == 0, run.stderr
    assert [l for l in run.lines if l.startswith(("result", "show"))] == [
        "result err 15 xltype=0x0010", "result err 15 xltype=0x0010",  # #N/A and #DIV/0! are not 9
        "result num 9 xltype=0x0001", "result num 9 xltype=0x0001", "result num 27 xltype=0x0001",
        'show A1 1 1 [{"f":"=P(3,)","v":9}]']


# The package stopped names at 127 UTF-8 bytes, the add-in at 255 bytes, and
# Excel takes 255 characters; non-ASCII names reached Excel byte by byte.
@pytest.mark.needs_python
def test_name_of_255_characters_of_any_script_registers_whole_and_longer_is_refused(addin_folder, host, sandbox):
    long_name = "\u00e9" * 254 + "X"
    addin = addin_folder(package=True, python=True, modules={
        "n.py": "from tindral_xl import register\n"
                "register(lambda: 1, name=%r)\n"
                "try:\n    register(lambda: 2, name='y' * 256)\nexcept ValueError as e:\n"
                "    why = str(e)[-37:]\n"
                "register(lambda: why, name='WHY')\n" % long_name})
    run = host(addin, "open", "call " + long_name, "call WHY", "close")
    assert run.rc == 0, run.stderr
    assert "register 0 xll_slot_1 Q " + long_name in run.lines
    results = [l for l in run.lines if l.startswith("result")]
    assert results == ["result num 1 xltype=0x0001", 'result str "is longer than Excel\'s 255 characters" xltype=0x4002']
    assert "Registered Excel function: %s (0 args)" % long_name in sandbox.log_lines()
