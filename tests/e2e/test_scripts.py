"""The user-facing scripts as a newcomer runs them: scripts/run.sh and the
Windows package of scripts/package_windows.sh."""

import hashlib
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time
import zipfile

import pytest

from conftest import ROOT

VERSION = (ROOT / "VERSION").read_text(encoding="ascii").strip()

USER_MODULE = '''
from tindral_xl import xl_function


@xl_function(name="HYPOT")
def hypot(a, b):
    """Length of the hypotenuse: =HYPOT(3, 4) gives 5."""
    return (a * a + b * b) ** 0.5


@xl_function(name="HUGE")
def huge(n):
    """Too big for a cell: =HUGE(1)."""
    return 10 ** 400


@xl_function(name="HELLO")
def hello(who):
    """=HELLO("Ada") greets."""
    return 'Hello, "%s"' % who
'''


def tree(folder):
    """Every path below `folder` with a digest of each file's bytes."""
    out = {}
    for path in sorted(pathlib.Path(folder).rglob("*")):
        rel = str(path.relative_to(folder))
        out[rel] = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else "dir"
    return out


class RunScript:
    """scripts/run.sh started as from a terminal: in a process group of its
    own (the terminal's Ctrl-C reaches the whole group), its output read line
    by line."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen([str(ROOT / "scripts" / "run.sh")] + args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                                     start_new_session=True)
        self.lines = []
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            if line.endswith("closes it."):
                self.ready.set()
        self.ready.set()

    def wait_open(self, timeout=300):
        assert self.ready.wait(timeout), "\n".join(self.lines)
        assert self.proc.poll() is None, "run.sh ended before it kept the add-in open:\n" + "\n".join(self.lines)

    def finish(self, timeout=60):
        rc = self.proc.wait(timeout)
        self.proc.stdout.close()
        return rc

    @property
    def text(self):
        return "\n".join(self.lines)


@pytest.fixture
def run_env(target, sandbox, tmp_path):
    env = dict(sandbox.env, TINDRAL_SKIP_SETUP="1", TINDRAL_RUN_DIR=str(tmp_path / "run"))
    if target.is_wine:
        # The Windows build to run, and the Linux build that makes the bridge.
        env.update(TINDRAL_BUILD_WINDOWS=str(target.build),
                   TINDRAL_BUILD_LINUX=str(target.bridge().parent.parent.parent))
    else:
        env.update(TINDRAL_BUILD_LINUX=str(target.build))
    return env


def user_modules(tmp_path):
    mine = tmp_path / "my modules"
    mine.mkdir()
    (mine / "geometry.py").write_text(USER_MODULE, encoding="utf-8")
    return mine


@pytest.mark.linux_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_shows_formulas_and_agent_then_ctrl_c_closes_and_keeps_user_modules(run_env, sandbox, tmp_path):
    mine = user_modules(tmp_path)
    before = tree(mine)
    run = RunScript(["--modules", str(mine)], run_env)
    run.wait_open()
    assert sandbox.session_path.exists()
    os.killpg(run.proc.pid, signal.SIGINT)
    rc = run.finish()
    out = run.text

    assert rc == 130, out
    # One line per step with its time; no host protocol in the readable session.
    assert re.search(r"^run: build TindralXL and xllhost in .* ok \(\d+\.\d s\)$", out, re.M), out
    assert re.search(r"^run: lay out .* ok \(\d+\.\d s\)$", out, re.M), out
    assert not re.search(r"^(register|xlfree|result) ", out, re.M), out
    # Each call as a formula and the value its cell shows, taken from the docstrings.
    assert re.search(r"^  =HYPOT\(3, 4\) +-> +5$", out, re.M), out
    assert re.search(r"^  =HUGE\(1\) +-> +#NUM!$", out, re.M), out
    assert re.search(r'^  =HELLO\("Ada"\) +-> +"Hello, ""Ada"""$', out, re.M), out
    # The agent exchange follows, and its ping names this version.
    assert '"version": "%s"' % VERSION in out, out
    assert "Agent channel (port and token in" in out and "Agent channel: none" not in out, out

    # Ctrl-C closed the add-in in order.
    assert "xlAutoClose: TindralXL unloaded" in sandbox.log_lines(), sandbox.log_lines()
    assert "xlAutoClose: TindralXL unloaded" in out
    assert not sandbox.session_path.exists()
    # The user's folder is only read: not a byte changed, nothing added.
    assert tree(mine) == before


@pytest.mark.linux_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_again_calls_typed_formulas_and_never_deletes_files_left_in_the_run_folder(run_env, sandbox, tmp_path):
    mine = user_modules(tmp_path)
    first = subprocess.run([str(ROOT / "scripts" / "run.sh"), "--modules", str(mine)], env=run_env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=500)
    assert first.returncode == 0, first.stdout + first.stderr
    # What the README used to suggest: a module saved in the run folder's own modules.
    run_modules = tmp_path / "run" / "modules"
    (run_modules / "kept.py").write_text("X = 1\n", encoding="utf-8")

    # End of input (Ctrl-D) after two typed formulas: one called, one refused with a reason.
    second = subprocess.run([str(ROOT / "scripts" / "run.sh"), "--modules", str(mine)], env=run_env,
                            input='=HYPOT(6, 8)\n=NOPE(1)\n', capture_output=True, text=True, timeout=500)
    out = second.stdout
    assert second.returncode == 0, out + second.stderr
    assert re.search(r"^  =HYPOT\(6, 8\) +-> +10$", out, re.M), out
    assert "no worksheet function NOPE here" in out, out
    assert "xlAutoClose: TindralXL unloaded" in out
    assert not sandbox.session_path.exists()

    saved = [p for p in (tmp_path / "run").iterdir() if p.name.startswith("modules.saved-")]
    assert len(saved) == 1 and (saved[0] / "kept.py").read_text() == "X = 1\n", out
    assert "kept as" in out
    # The run folder's modules are links to the user's files, which stay as they were.
    assert sorted(p.name for p in run_modules.iterdir() if p.name != "__pycache__") == ["geometry.py"]
    assert (run_modules / "geometry.py").resolve() == (mine / "geometry.py").resolve()
    assert (mine / "geometry.py").read_text(encoding="utf-8") == USER_MODULE
    assert not (mine / "__pycache__").exists()


@pytest.mark.linux_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_prompt_computes_formulas_over_the_cells_the_agent_wrote(run_env, sandbox):
    r = subprocess.run([str(ROOT / "scripts" / "run.sh")], env=run_env,
                       input="=TOTAL(A1:B3)\n=SCALED(A2:B3, 2)\n=COMPOUND(A1, 0.05)\n=TOTAL(A1:B3\n",
                       capture_output=True, text=True, timeout=500)
    out = r.stdout
    assert r.returncode == 0, out + r.stderr
    # The agent wrote qty/price into A1:B3; the example modules' functions read them.
    assert re.search(r"^  =DOT\(A2:A3, B2:B3\) +-> +76.5$", out, re.M), out
    prompt = out.split("Ctrl-D or Ctrl-C closes it.", 1)[1]
    assert re.search(r"^  =TOTAL\(A1:B3\) +-> +28.5$", prompt, re.M), out
    assert re.search(r"^  =SCALED\(A2:B3, 2\) +-> +2x2 array:\n +6 +19\n +8 +24$", prompt, re.M), out
    assert re.search(r"^  =COMPOUND\(A1, 0.05\) +-> +#VALUE!\n +refused argument 1 \(principal\): text is not a "
                     r"number$", prompt, re.M), out
    assert "=TOTAL(A1:B3: expected , or ) at column 13" in prompt, out
    # Typed examples among the sample calls.
    assert re.search(r"^  =COMPOUND\(1000, 0.05, 2.5\) +-> +#NUM!", out, re.M), out


@pytest.mark.wine_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_windows_calls_python_and_the_agent_through_the_bridge_then_ctrl_d_closes(run_env, sandbox, tmp_path):
    mine = user_modules(tmp_path)
    r = subprocess.run([str(ROOT / "scripts" / "run.sh"), "--windows", "--modules", str(mine)], env=run_env,
                       input="=HYPOT(6, 8)\n", capture_output=True, text=True, timeout=500)
    out = r.stdout
    assert r.returncode == 0, out + r.stderr
    assert re.search(r"^run: Python for Wine \(the bridge\) in .* ok \(\d+\.\d s\)$", out, re.M), out
    assert "going on without Python" not in out and "No worksheet functions" not in out, out
    assert re.search(r"^  =HYPOT\(3, 4\) +-> +5$", out, re.M), out
    assert re.search(r"^  =HUGE\(1\) +-> +#NUM!$", out, re.M), out
    assert re.search(r"^  =HYPOT\(6, 8\) +-> +10$", out, re.M), out
    # The agent found the session file in the prefix's profile and reached Python.
    assert '"version": "%s"' % VERSION in out and "Agent channel: none" not in out, out
    assert "xlAutoClose: TindralXL unloaded" in sandbox.log_lines(), sandbox.log_lines()
    assert not sandbox.session_path.exists()


@pytest.mark.wine_only
@pytest.mark.time_limit(900)
def test_windows_package_holds_the_agent_side_and_names_one_version(target, tmp_path):
    out = tmp_path / "dist"
    env = dict(os.environ, TINDRAL_PACKAGE_BUILD=str(target.build))
    r = subprocess.run([str(ROOT / "scripts" / "package_windows.sh"), str(out)], env=env,
                       capture_output=True, text=True, timeout=800)
    assert r.returncode == 0, r.stdout + r.stderr
    zips = list(out.glob("*.zip"))
    assert [z.name for z in zips] == ["TindralXL-%s-windows-x64.zip" % VERSION]

    with zipfile.ZipFile(zips[0]) as z:
        names = set(z.namelist())
        read = lambda name: z.read("TindralXL/" + name)  # noqa: E731
        expected = {"TindralXL.xll", "INSTALL.txt", "tindral_xl/__init__.py", "tindral_xl/_exec_entry.py",
                    "tindral_xl/_version.py", "agent/tindral_agent.py", "docs/agent-protocol.md"}
        expected |= {"modules/" + p.name for p in (ROOT / "examples" / "modules").glob("*.py")}
        mcp = ROOT / "tools" / "mcp" / "tindral_mcp.py"
        if mcp.exists():
            expected |= {"agent/tindral_mcp.py", "tindral_xl/_mcp_entry.py"}
        assert {"TindralXL/" + n for n in expected} <= names, sorted(names)
        assert not [n for n in names if "__pycache__" in n]

        # One number everywhere: the package's __version__, the file
        # properties of the add-in (UTF-16 in its version resource) and the note.
        assert '__version__ = "%s"' % VERSION in read("tindral_xl/_version.py").decode()
        resource = re.escape("ProductVersion".encode("utf-16-le")) + b"(?:\0\0){1,2}" + re.escape(
            VERSION.encode("utf-16-le"))
        assert re.search(resource, read("TindralXL.xll"))
        note = read("INSTALL.txt").decode("utf-8")
    assert note.startswith("TindralXL %s " % VERSION)
    assert "\r\n" in note and "\n" not in note.replace("\r\n", "")
    assert "@" not in note.replace("@xl_function", "")  # no template marker left
    for needed in ("python-3.12", "python\\python312.dll", "Lib\\site-packages", "--target",
                   "Manage:", "Browse...", "Unblock-File", "%TEMP%\\tindralxl.log",
                   "%APPDATA%\\TindralXL\\session.json", "Authorization: Bearer", "agent\\tindral_agent.py ping",
                   "Uninstall"):
        assert needed in note, needed
    assert ("mcpServers" in note) == mcp.exists()
    if mcp.exists():  # both forms: stdio through the script, HTTP with the header
        assert "agent\\\\tindral_mcp.py" in note and '"url": "http://127.0.0.1:PORT/mcp"' in note, note


@pytest.mark.linux_only
def test_run_sh_package_check_demanded_node_and_npm_which_only_the_tests_use(tmp_path):
    # run.sh checks its packages with `setup.sh --run`. On a machine with no
    # Node and no npm that check must pass without installing anything: the
    # MCP clients from npm are a test dependency. apt-get, sudo and the
    # package query are stand-ins here; nothing is installed.
    shim = tmp_path / "bin"
    shim.mkdir()
    hidden = {"node", "nodejs", "npm", "npx", "apt-get", "sudo", "dpkg-query"}
    for tool in pathlib.Path("/usr/bin").iterdir():
        if tool.name not in hidden:
            (shim / tool.name).symlink_to(tool)
    calls = tmp_path / "calls"
    for tool in ("apt-get", "sudo"):
        (shim / tool).write_text('#!/bin/sh\necho "$0 $*" >> "%s"\nexit 1\n' % calls)
        (shim / tool).chmod(0o755)
    (shim / "dpkg-query").write_text("#!/bin/sh\nprintf 'install ok installed'\n")
    (shim / "dpkg-query").chmod(0o755)
    env = dict(os.environ, PATH="%s:%s" % (shim, ":".join(
        p for p in os.environ.get("PATH", "").split(":") if p and not p.startswith(("/usr", "/bin", "/sbin")))))
    r = subprocess.run([str(ROOT / "scripts" / "setup.sh"), "--run"], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not calls.exists(), calls.read_text()
    assert "npm" not in r.stdout + r.stderr


LATE_MODULE = '''
from tindral_xl import xl_function


@xl_function(name="LATE")
def late(x):
    if not x:
        raise ValueError("x must not be zero")
    return x * 21
'''


def agent(env, *words):
    r = subprocess.run([sys.executable, str(ROOT / "tools" / "agent" / "tindral_agent.py")] + list(words), env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


@pytest.mark.linux_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_prompt_ignored_agent_modules_hid_errors_and_set_the_agents_files_aside(run_env, sandbox, tmp_path):
    mine = user_modules(tmp_path)
    (mine / "broken.py").write_text("import no_such_module_here\n", encoding="utf-8")
    before = tree(mine)
    run = RunScript(["--modules", str(mine)], run_env)
    run.wait_open()
    # A module that failed to import is named at the start, with its reason.
    assert "Module broken failed to import: ModuleNotFoundError: No module named 'no_such_module_here'" in run.text

    # An agent writes a module into the add-in's modules folder and loads it.
    agent(run_env, "exec", "import os, tindral_xl._loading as l\n"
                           "open(os.path.join(l.modules_folder(), 'late.py'), 'w').write(%r)" % LATE_MODULE)
    agent(run_env, "load", "late")
    time.sleep(3)  # the add-in's tick registers the new name within about a second
    typed = '=LATE(2)\n=LATE(0)\n=HELLO("a", "b")\n'
    run.proc.stdin.write(typed.encode("utf-8"))
    run.proc.stdin.close()
    assert run.finish(120) == 0, run.text
    out = run.text
    # The prompt learned the new function without a restart.
    assert re.search(r"^  =LATE\(2\) +-> +42$", out, re.M), out
    # #VALUE! comes with the exception's message from the log.
    assert re.search(r"^  =LATE\(0\) +-> +#VALUE!\n +raised: x must not be zero$", out, re.M), out
    # Too many arguments are refused with the count, as Excel refuses the formula.
    assert '=HELLO("a", "b"): HELLO takes 1 argument, 2 given' in out, out
    assert "result " not in out.split('=HELLO("a", "b")')[1].split("\n")[0]
    # Where the agent's module went: the run folder, never the user's folder.
    assert "The add-in wrote late.py into the run folder's modules" in out, out
    assert tree(mine) == before
    run_modules = tmp_path / "run" / "modules"
    assert (run_modules / "late.py").is_file() and not (run_modules / "late.py").is_symlink()

    # The next run keeps the add-in's own file and sets nothing aside.
    again = subprocess.run([str(ROOT / "scripts" / "run.sh"), "--modules", str(mine)], env=run_env,
                           input="=LATE(1)\n", capture_output=True, text=True, timeout=500)
    assert again.returncode == 0, again.stdout + again.stderr
    assert "kept as" not in again.stdout, again.stdout
    assert not [p for p in (tmp_path / "run").iterdir() if p.name.startswith("modules.saved-")]
    assert re.search(r"^  =LATE\(1\) +-> +21$", again.stdout, re.M), again.stdout
    assert tree(mine) == before


@pytest.mark.wine_only
@pytest.mark.needs_python
@pytest.mark.time_limit(600)
def test_run_windows_read_log_read_the_linux_add_ins_log(run_env, sandbox, tmp_path):
    # The bridge's Python is Linux's: without a TMPDIR naming the prefix's
    # temp folder, read_log (and anything else of the package that reads the
    # log) read /tmp/tindralxl.log, the Linux add-in's.
    env = dict(run_env)
    env.pop("TMPDIR", None)
    run = RunScript(["--windows", "--modules", str(user_modules(tmp_path))], env)
    run.wait_open()
    try:
        answer = json.loads(agent(env, "--session", str(sandbox.session_path), "eval",
                                  "__import__('tindral_xl._mcp_entry', fromlist=['x']).log_path()"))
        assert os.path.realpath(answer["result"]) == os.path.realpath(sandbox.log_path), answer
        tail = json.loads(agent(env, "--session", str(sandbox.session_path), "eval",
                                "__import__('tindral_xl._mcp_entry', fromlist=['x'])._tool_read_log({'lines': 500})"))
        assert "xlAutoOpen: complete" in tail["result"]["content"][0]["text"], tail
    finally:
        run.proc.stdin.close()
        assert run.finish(120) == 0, run.text
