"""The add-in's start and stop as Excel drives them, seen through the log."""

import pytest

OPENED = "xlAutoOpen: TindralXL loaded"
COMPLETE = "xlAutoOpen: complete"
CLOSED = "xlAutoClose: TindralXL unloaded"
PY_FAILED = "xlAutoOpen: Python init failed \u2014 check %s for details. Stopping HTTP server."


def test_without_python_folder_the_start_fails_softly_and_registers_nothing(host, sandbox, addin_folder):
    addin = addin_folder()
    r = host(addin, "open", "list", "close")
    assert r.rc == 0, r.stderr
    assert r.lines == ["open 1", "list 0", "close 1"]
    lines = sandbox.log_lines()
    assert lines[0] == OPENED
    # Where the log is, as the platform's users name it (no %TEMP% on Linux).
    assert PY_FAILED % sandbox.log_hint in lines, lines
    assert COMPLETE not in lines
    # The runtime names its own failure before the lifecycle's summary line.
    failed_at = lines.index(PY_FAILED % sandbox.log_hint)
    assert any(l.startswith("python_runtime_init:") or l.startswith("pyapi:") for l in lines[:failed_at])
    assert lines[-1] == CLOSED


@pytest.mark.wine_only
def test_add_in_at_a_drive_root_uses_the_drive_letter_alone(host, sandbox, addin_folder, target):
    # C:\TindralXL.xll gives the folder "C:", so the home is "C:\python".
    addin = addin_folder(where=target.prefix / "drive_c")
    r = host(addin, "open", "close")
    assert r.rc == 0, r.stderr
    assert "detect_python_home: using embedded -> C:\\python" in sandbox.log_lines()


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_start_with_python_completes_and_a_second_open_runs_again(host, sandbox, addin_folder, target):
    addin = addin_folder(package=True, python=True)
    r = host(addin, "open", "close", "open", "close")
    assert r.rc == 0, r.stderr
    assert [l for l in r.lines if not l.startswith(("register", "xlfree"))] == ["open 1", "close 1", "open 1", "close 1"]
    lines = sandbox.log_lines()
    marks = [l for l in lines if l in (OPENED, COMPLETE, CLOSED, PY_FAILED % sandbox.log_hint)]
    assert marks == [OPENED, COMPLETE, CLOSED, OPENED, COMPLETE, CLOSED]
    home = str(addin.parent / "python").replace("/", target.sep) if not target.is_wine else None
    if home:
        assert "detect_python_home: using embedded -> " + home in lines


@pytest.mark.linux_only
@pytest.mark.needs_python
def test_add_in_linked_into_a_folder_starts_from_that_folder_not_the_links_target(host, sandbox, addin_folder,
                                                                                 target):
    # The system reports the path the add-in was loaded by, links not followed,
    # so the Python home and the modules are the ones beside the link.
    addin = addin_folder(package=True, python=True, modules={"m.py": "import tindral_xl\n"
                                                                    "tindral_xl._registry.append(('ONE', lambda: 1, 0))\n"})
    addin.unlink()
    addin.symlink_to(target.addin)
    r = host(addin, "open", "call ONE", "close")
    assert r.rc == 0, r.stderr
    assert "result num 1 xltype=0x0001" in r.lines
    lines = sandbox.log_lines()
    assert "detect_python_home: using embedded -> %s" % (addin.parent / "python") in lines
    assert COMPLETE in lines


UNLOAD_MODULE = '''
import sys
import tindral_xl


def bump():
    # Kept on sys: the interpreter's state, not the module's, which a reopen re-imports.
    sys.tindral_bumps = getattr(sys, "tindral_bumps", 0) + 1
    return sys.tindral_bumps


tindral_xl._registry.append(("BUMP", bump, 0))
'''


@pytest.mark.needs_python
@pytest.mark.time_limit(240)
def test_unticking_and_ticking_the_add_in_again_pulled_its_code_from_under_python(host, sandbox, addin_folder):
    # The user unticks the add-in in the Add-In Manager and ticks it again in
    # the same Excel: the file is freed and loaded again while Python, never
    # finalized, still holds the add-in's method tables and function pointers.
    # Pinned, the add-in is the same code with the same state at the reopen.
    addin = addin_folder(package=True, python=True, modules={"bump.py": UNLOAD_MODULE})
    # Excel unregistered BUMP after xlAutoClose: the add-in registers it
    # again by its first tick after the open, at the latest (`advance`).
    again = "unload\nload\nadvance 1500\ncall BUMP\n"
    r = host(addin, stdin="open\ncall BUMP\n" + again + again + "close\n", timeout=180)
    assert r.rc == 0, r.stderr + r.stdout
    shown = [l for l in r.lines if not l.startswith(("register", "xlfree", "unregister", "advance", "ontime"))]
    # Excel unregisters three names: TINDRAL.ERROR, BUMP and the command.
    assert shown == ["open 1", "result num 1 xltype=0x0001",
                     "remove 1", "close 1", "unload 3", "load", "add 1", "open 1", "result num 2 xltype=0x0001",
                     "remove 1", "close 1", "unload 3", "load", "add 1", "open 1", "result num 3 xltype=0x0001",
                     "close 1"], r.stdout
    assert "register 0 xll_slot_1 Q BUMP" in r.lines[r.lines.index("load"):], r.stdout  # slot 0: TINDRAL.ERROR
    lines = sandbox.log_lines()
    assert [l for l in lines if l in (OPENED, COMPLETE, CLOSED)] == [OPENED, COMPLETE, CLOSED] * 3
    assert lines.count("Python already initialized") == 2
    assert not [l for l in lines if "cannot pin" in l], lines
