"""xllhost, the Excel stand-in: the suites of the add-in rely on every line it prints.

Most cases load probe_addin, a small test add-in that registers a few functions
through the real gateway (so the host's MdCallBack12 is found by name in the
process, as in Excel) and echoes what it is given.
"""

import json
import signal
import time

import pytest

PROBE_REGISTRATIONS = [
    "register 0 probe_echo QQ probe.echo",
    "xlfree 1",
    "register 0 probe_frees Q probe.frees",
    "xlfree 1",
    "register 0 probe_cmd A# probe_cmd",
    "xlfree 1",
    "register 0 probe_absent Q probe.absent",
    "xlfree 1",
    "xlcall 99 0",
    "open 1",
]


@pytest.fixture
def probe(addin_folder, target):
    return addin_folder(addin=target.fixture_library("probe_addin"))


def test_missing_add_in_is_an_error_not_a_crash(host, tmp_path):
    r = host(tmp_path / "absent" / "TindralXL.xll", "open")
    assert r.rc == 2
    assert r.lines == []
    assert len(r.errors()) == 1 and r.errors()[0].startswith("error cannot load add-in")


def test_add_in_without_exports_is_reported_by_name(host, addin_folder, target):
    empty = addin_folder(addin=target.fixture_library("empty_addin"))
    r = host(empty, "echo before", "open", "echo after")
    assert r.rc == 2
    assert r.lines == ["echo before"]
    assert r.errors() == ["error add-in exports no xlAutoOpen"]


@pytest.mark.parametrize("command", ["bogus", "open now", "sleep soon", "refuse f x", "free maybe", "call"])
def test_bad_command_stops_the_script_with_exit_2(host, probe, command):
    r = host(probe, "echo first", command, "echo never")
    assert r.rc == 2
    assert r.lines == ["echo first"]
    assert len(r.errors()) == 1


def without_arguments(lines):
    """The lines but the `register-args` one after each `register`."""
    return [l for l in lines if not l.startswith("register-args ")]


def test_registrations_are_printed_listed_and_freed(host, probe, target):
    r = host(probe, "open", "list")
    assert r.rc == 0, r.stderr
    # Every argument of each xlfRegister, the module text first, follows its line.
    args = [l for l in r.lines if l.startswith("register-args ")]
    assert [a.split(" ", 3)[:3] for a in args] == [
        ["register-args", "probe.echo", "4"], ["register-args", "probe.frees", "4"],
        ["register-args", "probe_cmd", "4"], ["register-args", "probe.absent", "4"]]
    module = json.loads(args[0].split(" ", 3)[3])[0]
    assert module.endswith(probe.name) and json.loads(args[0].split(" ", 3)[3])[1:] == [
        "probe_echo", "QQ", "probe.echo"]
    assert without_arguments(r.lines) == PROBE_REGISTRATIONS + [
        "function probe_echo QQ probe.echo",
        "function probe_frees Q probe.frees",
        "function probe_cmd A# probe_cmd",
        "function probe_absent Q probe.absent",
        "list 4",
    ]


def test_refused_registration_gets_the_code_and_stays_unlisted(host, probe):
    r = host(probe, "refuse probe.echo 5", "refuse * 64", "accept probe.cmd", "open", "list", "accept *", "open", "list")
    assert r.rc == 0, r.stderr
    lines = without_arguments(r.lines)
    first_open = lines[: lines.index("open 1") + 1]
    # The named refusal is found before the catch-all; no xlFree follows a
    # refusal, since the add-in got no id to free.
    assert first_open == [
        "refuse probe.echo 5",
        "refuse * 64",
        "accept probe.cmd",
        "register 5 probe_echo QQ probe.echo",
        "register 64 probe_frees Q probe.frees",
        "register 64 probe_cmd A# probe_cmd",
        "register 64 probe_absent Q probe.absent",
        "xlcall 99 0",
        "open 1",
    ]
    assert lines[len(first_open)] == "list 0"
    assert lines[-5:] == [
        "function probe_echo QQ probe.echo",
        "function probe_frees Q probe.frees",
        "function probe_cmd A# probe_cmd",
        "function probe_absent Q probe.absent",
        "list 4",
    ]


@pytest.mark.parametrize(
    "arg, printed",
    [
        ("n:1.5", "result num 1.5 xltype=0x0001"),
        ("n:0.1", "result num 0.1 xltype=0x0001"),
        ("n:-3", "result num -3 xltype=0x0001"),
        ("s:a\\sb\\\\c", 'result str "a b\\\\c" xltype=0x4002'),
        ("s:h\u00e9", 'result str "h\u00e9" xltype=0x4002'),
        ("s:\\ud83d\\ude00", 'result str "\U0001F600" xltype=0x4002'),
        ("s:", 'result str "" xltype=0x4002'),
        ("b:1", "result bool 1 xltype=0x0004"),
        ("b:0", "result bool 0 xltype=0x0004"),
        ("i:-42", "result int -42 xltype=0x0800"),
        ("e:7", "result err 7 xltype=0x0010"),
        ("nil", "result nil xltype=0x0100"),
        ("missing", "result missing xltype=0x0080"),
        ("m:2,2:1;s:x;b:1;e:42", 'result multi 2 2 [1,"x",true,{"err":42}] xltype=0x0040'),
        ("m:2,3:;s:a\\sb;nil;b:0;e:7;i:5", 'result multi 2 3 [null,"a b",null,false,{"err":7},5] xltype=0x0040'),
        ("g:2,3:10,0.5", "result multi 2 3 [10,10.5,11,11.5,12,12.5] xltype=0x0040"),
    ],
)
def test_typed_argument_reaches_the_add_in_and_comes_back(host, probe, arg, printed):
    r = host(probe, "open", "call probe.echo " + arg)
    assert r.rc == 0, r.stderr
    assert r.lines[-1] == printed


@pytest.mark.parametrize("arg", ["n:x", "s:bad\\q", "b:2", "i:99999999999", "m:2,2:1;2;3", "m:1,1:m:1,1:1", "q:1",
                                 "m:1048577,1:1", "m:1024,1025:1", "g:1,1:1", "g:0,1:1,1", "g:1,16385:1,1",
                                 "g:4096,4097:1,1", "m:1,1:g:1,1:1,1"])
def test_malformed_argument_is_a_script_error(host, probe, arg):
    r = host(probe, "open", "call probe.echo " + arg)
    assert r.rc == 2
    assert len(r.errors()) == 1 and "bad argument" in r.errors()[0]


def test_dll_owned_results_go_back_through_xlAutoFree12_only_when_free_is_on(host, probe):
    r = host(probe, "open", "call probe.echo s:a", "call probe.frees", "free off", "call probe.echo s:b",
             "call probe.echo s:c", "call probe.frees", "free on", "call probe.echo n:1", "call probe.frees")
    assert r.rc == 0, r.stderr
    frees = [l for l in r.lines if l.endswith("xltype=0x0001") and l.startswith("result num")]
    # One text freed; none while off; a number carries no xlbitDLLFree.
    assert frees == ["result num 1 xltype=0x0001", "result num 1 xltype=0x0001",
                     "result num 1 xltype=0x0001", "result num 1 xltype=0x0001"]


def test_function_names_match_without_regard_to_case(host, probe):
    r = host(probe, "open", "call PROBE.Echo n:2")
    assert r.rc == 0 and r.lines[-1] == "result num 2 xltype=0x0001"


def test_unknown_or_unexported_function_is_an_error(host, probe):
    r = host(probe, "open", "call probe.nothing")
    assert r.rc == 2 and r.errors() == ["error unknown function probe.nothing"]
    r = host(probe, "open", "call probe.absent")
    assert r.rc == 2 and r.errors() == ["error add-in exports no probe_absent"]


def test_run_calls_a_registered_command_and_prints_its_code(host, probe):
    r = host(probe, "open", "run probe_cmd")
    assert r.rc == 0 and r.lines[-1] == "run probe_cmd 7"


def test_script_from_standard_input_skips_blanks_and_comments(host, probe):
    r = host(probe, stdin="# a comment\n\necho  two  spaces\r\nsleep 10\nadd\n")
    assert r.rc == 0, r.stderr
    assert r.lines == ["echo two  spaces", "sleep 10", "add 1"]


def test_wait_lasts_until_standard_input_closes(start_host, probe):
    p = start_host(probe, "echo ready", "wait", "echo after")
    p.read_until("echo ready")
    time.sleep(0.3)
    assert p.lines == ["echo ready"], "wait ended while input was still open"
    assert p.finish() == 0
    assert p.lines == ["echo ready", "wait done", "echo after"]


@pytest.mark.linux_only
def test_sigterm_ends_wait_and_the_script_goes_on(start_host, probe):
    p = start_host(probe, "echo ready", "wait", "echo after")
    p.read_until("echo ready")
    p.proc.send_signal(signal.SIGTERM)
    p.read_until("echo after", timeout=10)
    assert p.lines == ["echo ready", "wait done", "echo after"]
    assert p.finish() == 0


def test_large_generated_array_reaches_the_add_in_whole(host, probe):
    r = host(probe, "open", "call probe.echo g:100000,2:0,1")
    assert r.rc == 0, r.stderr
    head = "result multi 100000 2 ["
    assert r.lines[-1].startswith(head) and r.lines[-1].endswith("] xltype=0x0040")
    values = r.lines[-1][len(head):-len("] xltype=0x0040")].split(",")
    assert values == [str(k) for k in range(200000)]
