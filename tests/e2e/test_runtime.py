"""The embedded interpreter's start as the log shows it: a good home, a second
open in the same process, no home at all, and stand-in Python libraries that
lack symbols or cannot start. The stand-ins run on both builds, so under Wine
they show what the Windows add-in hands to Python."""

import re
import shutil

import pytest

OPENED = "xlAutoOpen: TindralXL loaded"
COMPLETE = "xlAutoOpen: complete"
INIT_FAILED = "xlAutoOpen: Python init failed \u2014 check %s for details. Stopping HTTP server."
COUNT_TAIL = " symbol(s) failed to load \u2014 Python will not work"


def python_lib(target):
    return "python312.dll" if target.is_wine else "libpython3.12.so"


def home_of(target, addin):
    return target.path_arg(addin.parent / "python")


def home_line(target, addin):
    return "detect_python_home: using embedded -> " + home_of(target, addin)


def opens(lines):
    """The log cut into one list of lines per xlAutoOpen."""
    runs = []
    for line in lines:
        if line == OPENED:
            runs.append([])
        if runs:
            runs[-1].append(line)
    return runs


def with_standin(addin_folder, target, variant):
    addin = addin_folder()
    python = addin.parent / "python"
    python.mkdir()
    standin = target.build / "standin" / variant / python_lib(target)
    if not standin.exists():
        pytest.fail("stand-in library not built: %s" % standin)
    shutil.copy2(standin, python / python_lib(target))
    return addin


def consecutive(lines, expected):
    """Whether `expected` appears in `lines` as one unbroken run."""
    n = len(expected)
    return any(lines[i:i + n] == expected for i in range(len(lines) - n + 1))


@pytest.mark.needs_python
def test_good_home_logs_home_binding_and_start_before_complete(host, sandbox, addin_folder, target):
    addin = addin_folder(python=True)
    r = host(addin, "open", "close")
    assert r.rc == 0 and r.lines[-2:] == ["open 1", "close 1"]
    lines = sandbox.log_lines()
    runtime = [home_line(target, addin), "pyapi: all symbols loaded", "Python initialized"]
    assert consecutive(lines, runtime), lines
    assert lines.index(OPENED) < lines.index(runtime[0]) < lines.index(COMPLETE)
    assert (INIT_FAILED % sandbox.log_hint) not in lines


@pytest.mark.needs_python
@pytest.mark.time_limit(60)
def test_reopening_reuses_the_interpreter_and_never_deadlocks(host, sandbox, addin_folder, target):
    addin = addin_folder(python=True)
    r = host(addin, *(["open", "close"] * 4))
    assert r.rc == 0
    assert [l for l in r.lines if l.startswith(("open", "close"))] == ["open 1", "close 1"] * 4
    runs = opens(sandbox.log_lines())
    assert len(runs) == 4
    assert all(COMPLETE in run for run in runs), runs
    assert "Python initialized" in runs[0]
    for run in runs[1:]:
        assert consecutive(run, [home_line(target, addin), "Python already initialized"]), run
        assert "pyapi: all symbols loaded" not in run and "Python initialized" not in run


def test_no_python_folder_logs_why_and_registers_nothing(host, sandbox, addin_folder, target):
    addin = addin_folder()
    r = host(addin, "open", "list", "close")
    assert r.rc == 0
    assert "open 1" in r.lines and "list 0" in r.lines
    assert not any(l.startswith("register ") for l in r.lines)
    lines = sandbox.log_lines()
    lib = home_of(target, addin) + target.sep + python_lib(target)
    start = lines.index(home_line(target, addin))
    load, runtime, failed = lines[start + 1:start + 4]
    m1 = re.fullmatch(re.escape("pyapi: LoadLibrary failed for " + lib) + r" \(error (\d+)\)", load)
    m2 = re.fullmatch(re.escape("python_runtime_init: failed to load Python DLL at " + lib) + r" \(error (\d+)\)",
                      runtime)
    assert m1 and m2, lines
    assert m1.group(1) == m2.group(1) != "0"
    assert failed == (INIT_FAILED % sandbox.log_hint)
    assert COMPLETE not in lines


@pytest.mark.parametrize("variant, missing", [
    ("missing_one", ["PyRun_SimpleString"]),
    ("missing_three", ["Py_IsInitialized", "PyErr_Fetch", "PyList_Type"]),
])
def test_library_lacking_symbols_names_each_then_counts_and_fails(host, sandbox, addin_folder, target,
                                                                  variant, missing):
    addin = with_standin(addin_folder, target, variant)
    r = host(addin, "open", "list", "close")
    assert r.rc == 0 and "list 0" in r.lines
    lines = sandbox.log_lines()
    start = lines.index(home_line(target, addin))
    expected = ["pyapi: GetProcAddress failed for " + name for name in missing]
    expected.append("pyapi: %d%s" % (len(missing), COUNT_TAIL))
    assert lines[start + 1:start + 1 + len(expected)] == expected, lines
    after = lines[start + 1 + len(expected):]
    lib = home_of(target, addin) + target.sep + python_lib(target)
    assert after[0].startswith("python_runtime_init: failed to load Python DLL at " + lib + " (error ")
    assert after[1] == (INIT_FAILED % sandbox.log_hint)


def test_python_gets_home_with_forward_slashes_and_search_paths_as_the_platform_writes_them(
        host, sandbox, addin_folder, target):
    # The stand-in reads what it was handed through Python 3.12's own PyConfig
    # layout for this platform, so wrong offsets show as Python's defaults.
    addin = with_standin(addin_folder, target, "complete")
    r = host(addin, "open", "close", "open", "close")
    assert r.rc == 0
    home = home_of(target, addin)
    failure = ("Python initialization failed: stand-in home=%s paths=%s%spython312.zip|%s "
               "env=0 signals=0 site=0 paths_set=1" % (home.replace(target.sep, "/"), home, target.sep, home))
    first, second = opens(sandbox.log_lines())
    init_failed = INIT_FAILED % sandbox.log_hint
    assert consecutive(first, [home_line(target, addin), "pyapi: all symbols loaded", failure, init_failed]), first
    # The library stayed bound: the second open goes straight to the start.
    assert consecutive(second, [home_line(target, addin), failure, init_failed]), second
