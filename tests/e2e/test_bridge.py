"""The python312.dll bridge itself (Wine only): the entries whose Windows ABI it
converts, called by a Windows program (bridge_probe.exe) as the add-in would
call them, and the refusal of a record written with the wrong layout. The
rest of the suite exercises the bridge through the add-in."""

import os
import subprocess

import pytest

pytestmark = pytest.mark.wine_only


@pytest.fixture
def probe(target, addin_folder, sandbox):
    if os.environ.get("TINDRAL_WIN_PYTHON"):
        pytest.skip("TINDRAL_WIN_PYTHON is a real Windows Python: there is no bridge to probe")
    missing = target.python_missing()
    if missing:
        pytest.skip(missing)
    exe = target.build / "standin" / "bridge" / "bridge_probe.exe"
    home = addin_folder(python=True).parent / "python"

    def run(mode):
        argv = target.command(exe, [target.path_arg(home), mode])
        proc = subprocess.run(argv, env=sandbox.env, capture_output=True, timeout=90)
        out = proc.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        return proc.returncode, dict(l.split(" ", 1) for l in out.splitlines() if " " in l), \
            proc.stderr.decode("utf-8", "replace")

    return run


def test_record_written_at_linux_offsets_fails_the_start_loudly(probe):
    rc, lines, err = probe("layout")
    assert rc == 0, (lines, err)
    assert lines["init-failed"] == "python312 bridge: PyConfig layout mismatch (see stderr)"
    assert "PyConfig layout mismatch: the add-in wrote bytes 176..179 of the record" in err
    assert "site_import@168" in err


def test_converted_entries_behave_as_windows_python_does(probe):
    rc, lines, err = probe("calls")
    assert rc == 0, (lines, err)
    assert lines["init"] == "ok"
    # Windows varargs: long and unsigned long are 32 bits, the rest 8-byte slots.
    assert lines["numbers"] == "(-5, -7, 4000000000, -1099511627776, 9223372036854775808, -9, 2.5)"
    assert lines["containers"] == "(('abc', None), [b'xy'], {'k': '\\U0001f600'})"
    assert lines["text"] == "('w\\U0001f600', 'ab', 'given', 'converted')"
    assert lines["one-tuple"] == "(1, 2)"  # one tuple is the argument list, as in Python
    assert lines["no-format"] == "()"
    assert lines["bad-format"] == "NULL error=1"
    # long is 32 bits: PyLong_AsLong overflows past it as on Windows.
    assert lines["long-from"] == "(-2147483648,)"
    assert lines["long-as-big"] == "-1 error=1"
    assert lines["long-as-small"] == "-2147483648 error=0"
    # Data exports are libpython's own objects.
    assert lines["bool-is-true"] == "1"
    assert lines["float-type"] == "1"
    # UTF-16: a pair joins, a lone surrogate and an embedded NUL stay.
    assert lines["wide-in"] == "('a\\U0001f600\\udc00\\x00z',)"
    assert lines["wide-out"] == "6 1"
    assert lines["wide-out-nul"] == "0 error=1"
    # Linux underneath: extension modules are the Linux ones.
    assert lines["extension"].startswith("(<module 'math' from '/") and lines["extension"].endswith(".so'>,)")
