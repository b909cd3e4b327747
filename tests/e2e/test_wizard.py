"""Help in Excel's function wizard: what each registration passes beyond its
first four texts, as xllhost prints it (register-args) and shows it (help)."""

import json

import pytest

MODULE = '''\
from tindral_xl import xl_function


@xl_function(name="FV", category="Finance")
def future_value(rate, years: int, deposit=1.0):
    """Future value of a deposit.

    Args:
        rate: the yearly rate, as a fraction
        years: how long
    """
    return deposit * (1 + rate) ** years


@xl_function(name="LONG")
def long_texts(%s):
    """%s"""
    return 1
'''

LONG_PARAMS = ["p%d_%s" % (i, "x" * 40) for i in range(10)]


def wizard_module():
    return MODULE % (", ".join(LONG_PARAMS), "D" * 300)


def help_lines(run, name):
    return [l for l in run.lines if l.startswith("help %s " % name)]


def register_args(run, name):
    (line,) = [l for l in run.lines if l.startswith("register-args %s " % name)]
    _, _, count, args = line.split(" ", 3)
    args = json.loads(args)
    assert int(count) == len(args)
    return args


# The wizard showed no description, no argument names and no category: only
# the first four xlfRegister texts were passed. The procedure, type text and
# function text stay exactly as they were.
@pytest.mark.needs_python
def test_wizard_shows_description_argument_names_helps_and_category(addin_folder, host):
    addin = addin_folder(package=True, python=True, modules={"money.py": wizard_module()})
    run = host(addin, "open", "help FV", "help TINDRAL.ERROR", "call FV n:0.1 n:2 n:100", "close")
    assert run.rc == 0, run.stderr
    args = register_args(run, "FV")
    assert args[1:] == ["xll_slot_1", "QQQQ", "FV", "rate,years,deposit", 1, "Finance", None, None,
                        "Future value of a deposit.", "the yearly rate, as a fraction", "how long", "deposit", ""]
    assert help_lines(run, "FV") == [
        'help FV category "Finance"',
        'help FV syntax "FV(rate,years,deposit)"',
        'help FV description "Future value of a deposit."',
        'help FV argument 1 "rate" "the yearly rate, as a fraction"',
        'help FV argument 2 "years" "how long"',
        'help FV argument 3 "deposit" "deposit"',
        "help FV 3",
    ]
    assert help_lines(run, "TINDRAL.ERROR")[:2] == [
        'help TINDRAL.ERROR category "TindralXL"', 'help TINDRAL.ERROR syntax "TINDRAL.ERROR(ref)"']
    assert "register 0 xll_slot_1 QQQQ FV" in run.lines
    assert any(l.startswith("result num 121.0") for l in run.lines), run.stdout
    # The command keeps its own six arguments.
    assert register_args(run, "xll_register_pending")[1:] == [
        "xll_register_pending", "A#", "xll_register_pending", None, 2]


# Texts beyond Excel's 255 characters are cut (argument names shortened,
# each keeping a label; the description cut and marked) and the function is
# registered all the same.
@pytest.mark.needs_python
def test_texts_over_255_characters_are_cut_and_the_function_still_registers(addin_folder, host, sandbox):
    addin = addin_folder(package=True, python=True, modules={"money.py": wizard_module()})
    run = host(addin, "open", "help LONG", "call LONG n:1 n:2 n:3 n:4 n:5 n:6 n:7 n:8 n:9 n:10", "close")
    assert run.rc == 0, run.stderr
    args = register_args(run, "LONG")
    assert len(args) == 10 + 10 + 1
    names = args[4].split(",")
    assert len(args[4]) == 255 and len(names) == 10
    assert all(n.startswith("p%d_" % i) for i, n in enumerate(names))
    assert len(args[9]) == 255 and args[9] == "D" * 254 + "\u2026"
    assert all(len(a) <= 255 for a in args if isinstance(a, str))
    assert "Registered Excel function: LONG (10 args)" in sandbox.log_lines()
    assert help_lines(run, "LONG")[-1] == "help LONG 10"
    assert "result num 1 xltype=0x0001" in run.lines
