"""The diagnostic log as a user finds it in the temp folder after running the add-in."""

import os
import stat

import pytest


OPENED = "xlAutoOpen: TindralXL loaded"
CLOSED = "xlAutoClose: TindralXL unloaded"
FINALIZE = "Python finalize: skipped (intentional)"


def lifecycle_lines(lines):
    return [l for l in lines if l in (OPENED, CLOSED)]


def test_two_open_close_runs_in_one_process_log_in_order(host, sandbox, addin_folder):
    addin = addin_folder()
    r = host(addin, "open", "close", "open", "close")
    assert r.rc == 0 and r.lines == ["open 1", "close 1", "open 1", "close 1"]
    lines = sandbox.log_lines()
    assert lines[0] == OPENED
    assert lifecycle_lines(lines) == [OPENED, CLOSED, OPENED, CLOSED]
    # The close writes the interpreter line first, then its own.
    closes = [i for i, l in enumerate(lines) if l == CLOSED]
    assert all(lines[i - 1] == FINALIZE for i in closes)


def test_second_process_appends_after_the_first_ones_lines(host, sandbox, addin_folder):
    addin = addin_folder()
    assert host(addin, "open", "close").rc == 0
    first = sandbox.log_bytes()
    assert first
    assert host(addin, "open", "close").rc == 0
    both = sandbox.log_bytes()
    assert both.startswith(first), "the second run rewrote the first run's lines"
    second = both[len(first):].decode("utf-8").splitlines()
    assert lifecycle_lines(second) == [OPENED, CLOSED]
    assert second[0] == OPENED


def test_line_end_is_the_platforms_text_mode_one(host, sandbox, addin_folder, target):
    addin = addin_folder()
    assert host(addin, "open", "close").rc == 0
    data = sandbox.log_bytes()
    assert data.startswith(OPENED.encode() + target.line_end)
    # Every line feed belongs to a full line end: CR LF under Windows, LF alone on Linux.
    assert data.count(b"\n") == data.count(target.line_end)
    assert data.count(b"\r") == (data.count(b"\n") if target.is_wine else 0)


def test_read_only_log_is_left_unchanged_and_the_add_in_still_runs(host, sandbox, addin_folder, make_read_only):
    addin = addin_folder()
    sandbox.log_path.write_bytes(b"earlier\n")
    make_read_only(sandbox.log_path)
    r = host(addin, "open", "close")
    assert r.rc == 0 and r.lines == ["open 1", "close 1"]
    assert sandbox.log_bytes() == b"earlier\n"


def test_log_that_is_a_folder_drops_every_line_without_harm(host, sandbox, addin_folder):
    addin = addin_folder()
    sandbox.log_path.mkdir()
    r = host(addin, "open", "add", "close")
    assert r.rc == 0 and r.lines == ["open 1", "add 1", "close 1"]
    assert r.errors() == []
    assert list(sandbox.log_path.iterdir()) == []


def test_add_and_remove_answer_1_and_write_nothing(host, sandbox, addin_folder):
    addin = addin_folder()
    r = host(addin, "add", "remove", "add")
    assert r.rc == 0 and r.lines == ["add 1", "remove 1", "add 1"]
    assert sandbox.log_bytes() == b""


@pytest.mark.needs_python
def test_fifo_at_the_log_path_never_wedges_excel_and_the_session_file_says_why(start_host, sandbox, addin_folder,
                                                                               target):
    if target.is_wine:
        pytest.skip("a FIFO in the temp folder is a hazard of Linux's shared /tmp; Windows keeps a temp folder "
                    "per user and has no FIFOs in folders")
    # Nobody ever reads it: an open that waited for a reader would hold the
    # first logged line, and Excel's thread with it, for good.
    os.mkfifo(str(sandbox.log_path))
    addin = addin_folder(package=True, python=True)
    p = start_host(addin, "open", "echo opened", "wait", "close")
    p.read_until("echo opened", timeout=60)
    session = sandbox.session()
    assert session and "error" not in session, session
    assert session["log_error"] == "logging is off: %s is not a regular file" % sandbox.log_path, session
    p.finish()
    assert stat.S_ISFIFO(os.lstat(str(sandbox.log_path)).st_mode), "the FIFO is left as it was"


@pytest.mark.needs_python
def test_log_planted_by_another_user_receives_nothing_and_the_session_file_says_why(start_host, sandbox, addin_folder,
                                                                                     target):
    if target.is_wine:
        pytest.skip("another user's file in the temp folder is a hazard of Linux's shared /tmp; Windows keeps a "
                    "temp folder per user")
    if os.geteuid() != 0:
        pytest.skip("only root can plant a file that belongs to another user here")
    sandbox.log_path.write_bytes(b"planted\n")
    os.chmod(str(sandbox.log_path), 0o666)
    os.chown(str(sandbox.log_path), 65534, 65534)
    addin = addin_folder(package=True, python=True)
    p = start_host(addin, "open", "echo opened", "wait", "close")
    p.read_until("echo opened", timeout=60)
    session = sandbox.session()
    assert session["log_error"] == "logging is off: %s belongs to another user" % sandbox.log_path, session
    p.finish()
    assert sandbox.log_bytes() == b"planted\n"
