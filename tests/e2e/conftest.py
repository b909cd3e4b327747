"""End-to-end harness: drives xllhost in a fresh process per scenario.

The same tests run against the Linux build (``--target linux``, the default)
and, under Wine, against the Windows build (``--target wine``; or the
environment variable ``TINDRAL_TARGET``). ``--target tsan`` drives the Linux
build with ThreadSanitizer (build/tsan: the add-in and xllhost only), for the
cases marked ``tsan_only``; each host run there writes its race reports into
the test's own folder (``sandbox.tsan_reports()``).

Every test gets its own temp folder (where ``tindralxl.log`` goes) and its own
application data folder (where ``TindralXL/session.json`` goes):

* Linux: the environment variables ``TMPDIR``, ``XDG_CONFIG_HOME`` and
  ``HOME`` of the host process.
* Wine: ``GetTempPathA`` and ``SHGetFolderPathA(CSIDL_APPDATA)`` do not follow
  ``TEMP``/``TMP``/``APPDATA`` there: Wine takes them from the prefix's user
  profile. So one prefix serves the whole session (made once with
  ``wineboot -i`` and kept in ``~/.cache/tindralxl/wineprefix``, or
  ``TINDRAL_WINEPREFIX``), and before each test the profile's ``Temp`` and
  ``AppData/Roaming`` folders are replaced by symbolic links to that test's
  own folders. Tests therefore run one at a time per prefix; a lock file keeps
  two sessions from sharing it.

Python under Wine: the Windows add-in needs a Windows ``python312.dll``. By
default it gets the test bed's bridge (tests/standin/bridge, built by the
Linux build): a Winelib DLL that runs the Linux CPython 3.12, laid out by
``scripts/make_python_home.py --wine``. ``TINDRAL_WIN_PYTHON`` names a real
(embeddable) Windows Python folder to use instead. Tests whose outcome
depends on the interpreter being Linux underneath ask
``target.python_is_linux``.

Fixtures for the suites: ``target``, ``sandbox`` (the per-test folders, log and
session readers), ``addin_folder`` (a fresh folder with the add-in, optionally
the package, modules and a Python home), ``host`` (runs xllhost to its end) and
``start_host`` (a running xllhost to talk to while it waits).
"""

import fcntl
import http.client
import json
import os
import pathlib
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_TIME_LIMIT = 120  # seconds per test unless marked otherwise
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def pytest_addoption(parser):
    parser.addoption(
        "--target",
        choices=("linux", "wine", "tsan"),
        default=os.environ.get("TINDRAL_TARGET", "linux"),
        help="which build to drive: the Linux one natively or the Windows one under Wine",
    )


def pytest_configure(config):
    config.addinivalue_line("markers", "time_limit(seconds): hard limit for one test (default 120 s)")
    config.addinivalue_line("markers", "needs_python: needs a real Python 3.12 runtime beside the add-in")
    config.addinivalue_line("markers", "linux_only: meaningful only for the Linux build")
    config.addinivalue_line("markers", "wine_only: meaningful only for the Windows build under Wine")
    config.addinivalue_line("markers", "tsan_only: runs only against the ThreadSanitizer build (--target tsan)")


# --- the target build -----------------------------------------------------------


class Target:
    """One build of the add-in and its host, and how to run a program of it."""

    def __init__(self, name):
        self.name = name
        self.is_wine = name == "wine"
        self.is_tsan = name == "tsan"
        if self.is_wine:
            self.build = pathlib.Path(os.environ.get("TINDRAL_BUILD_WINDOWS", ROOT / "build" / "windows"))
            self.host = self.build / "tools" / "xllhost" / "xllhost.exe"
            self.addin = self.build / "TindralXL.xll"
            self.lib_suffix = ".dll"
            self.line_end = b"\r\n"
            self.sep = "\\"
        else:
            if self.is_tsan:
                self.build = pathlib.Path(os.environ.get("TINDRAL_BUILD_TSAN", ROOT / "build" / "tsan"))
            else:
                self.build = pathlib.Path(os.environ.get("TINDRAL_BUILD_LINUX", ROOT / "build" / "linux"))
            self.host = self.build / "tools" / "xllhost" / "xllhost"
            self.addin = self.build / "TindralXL.so"
            self.lib_suffix = ".so"
            self.line_end = b"\n"
            self.sep = "/"
        self.prefix = None  # the Wine prefix, once prepared
        # Under Wine without a real Windows Python the bridge runs Linux
        # CPython: sys.platform, os.sep and file names are Linux's.
        self.python_is_linux = not (self.is_wine and os.environ.get("TINDRAL_WIN_PYTHON"))

    def bridge(self):
        """The python312.dll bridge the Linux build makes (used under Wine)."""
        build = pathlib.Path(os.environ.get("TINDRAL_BUILD_LINUX", ROOT / "build" / "linux"))
        return build / "standin" / "bridge" / "python312.dll"

    def python_missing(self):
        """Why no Python can be put beside the add-in, or None."""
        if not self.is_wine or os.environ.get("TINDRAL_WIN_PYTHON"):
            return None
        if not self.bridge().exists():
            return ("needs a Windows Python: no python312.dll bridge at %s (install wine64-tools and build "
                    "build/linux), nor TINDRAL_WIN_PYTHON" % self.bridge())
        return None

    def fixture_library(self, stem):
        """A test library built beside the add-in (empty_addin, probe_addin)."""
        return self.build / (stem + self.lib_suffix)

    def path_arg(self, path):
        """How the host is told a path: Wine programs see Unix paths on drive Z:."""
        path = pathlib.Path(path)
        if not self.is_wine:
            return str(path)
        if self.prefix is not None:
            drive_c = self.prefix / "drive_c"
            try:
                rel = path.relative_to(drive_c)
                return "C:\\" + str(rel).replace("/", "\\") if str(rel) != "." else "C:\\"
            except ValueError:
                pass
        return "Z:" + str(path).replace("/", "\\")

    def command(self, program, args):
        if self.is_wine:
            return ["wine", str(program)] + list(args)
        return [str(program)] + list(args)


@pytest.fixture(scope="session")
def target(request):
    t = Target(request.config.getoption("--target"))
    if not t.host.exists() or not t.addin.exists():
        pytest.exit("build missing for target %s: %s / %s (run scripts/build.sh)" % (t.name, t.host, t.addin), 2)
    if t.is_wine:
        t.prefix = _wine_prefix(request)
    return t


# --- Wine prefix ------------------------------------------------------------------


def _wine_user():
    try:
        return pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        return os.environ.get("USER", "root")


def _wine_prefix(request):
    prefix = pathlib.Path(
        os.environ.get("TINDRAL_WINEPREFIX", pathlib.Path.home() / ".cache" / "tindralxl" / "wineprefix")
    )
    prefix.parent.mkdir(parents=True, exist_ok=True)
    lock = open(str(prefix) + ".lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)  # one session per prefix: the profile links are per test
    request.config.add_cleanup(lock.close)
    env = dict(os.environ, WINEPREFIX=str(prefix), **WINE_ENV)
    if not (prefix / "system.reg").exists() or not (prefix / "drive_c" / "users" / _wine_user()).exists():
        # First use on this machine: a minute or so.
        subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=600,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, timeout=600)
    # A persistent wineserver saves its start-up on every host run. Wine's own
    # background programs (services, explorer) start with the first program
    # and would inherit its output pipes, so a test would never see their end:
    # start them here, with no pipes to inherit.
    subprocess.run(["wineserver", "-p"], env=env, timeout=60)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, timeout=300, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    request.config.add_cleanup(lambda: subprocess.run(["wineserver", "-k"], env=env, timeout=60))
    return prefix


def _relink(link, folder):
    """Makes `link` a symbolic link to `folder`, whatever stood there before."""
    if link.is_symlink() or link.is_file():
        link.unlink()
    elif link.is_dir():
        shutil.rmtree(link)
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(folder, target_is_directory=True)


# --- per-test folders ---------------------------------------------------------------


class Sandbox:
    """The temp and app-data folders of one test, and the environment to use them."""

    def __init__(self, target, base):
        self.target = target
        self.base = base
        self.temp = base / "temp"
        self.appdata = base / "appdata"
        self.home = base / "home"
        for d in (self.temp, self.appdata, self.home):
            d.mkdir(parents=True)
        env = dict(os.environ)
        for name in ("PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP"):
            env.pop(name, None)
        if target.is_wine:
            env.update(WINE_ENV, WINEPREFIX=str(target.prefix))
            profile = target.prefix / "drive_c" / "users" / _wine_user()
            _relink(profile / "Temp", self.temp)
            _relink(profile / "AppData" / "Roaming", self.appdata)
        else:
            env.update(TMPDIR=str(self.temp), XDG_CONFIG_HOME=str(self.appdata), HOME=str(self.home))
        self.tsan = base / "tsan"
        if target.is_tsan:
            # Reports go to files (one per process, tsan.PID), not into the
            # host's standard error that tests read; every report is kept,
            # not only the first.
            self.tsan.mkdir()
            env["TSAN_OPTIONS"] = "log_path=%s:halt_on_error=0:history_size=7" % (self.tsan / "tsan")
        self.env = env

    def tsan_reports(self):
        """Every ThreadSanitizer report the host runs of this test wrote: a list of texts."""
        if not self.tsan.is_dir():
            return []
        reports = []
        for f in sorted(self.tsan.iterdir()):
            text = f.read_text(encoding="utf-8", errors="replace")
            for part in text.split("==================\n"):
                if "WARNING: ThreadSanitizer" in part:
                    reports.append("%s:\n%s" % (f.name, part.strip()))
        return reports

    @property
    def log_path(self):
        return self.temp / "tindralxl.log"

    @property
    def log_hint(self):
        """Where the add-in's messages send a user to find the log: Windows
        users' own name for it, elsewhere the log's path."""
        return "%TEMP%\\tindralxl.log" if self.target.is_wine else str(self.log_path)

    def log_bytes(self):
        """The raw log file, b"" when it does not exist."""
        try:
            return self.log_path.read_bytes()
        except FileNotFoundError:
            return b""

    def log_lines(self):
        """The log's lines without their line ends (the build's own line end)."""
        data = self.log_bytes()
        if not data:
            return []
        text = data.decode("utf-8", errors="replace")
        end = self.target.line_end.decode()
        lines = text.split(end)
        assert lines[-1] == "", "log does not end with a line end: %r" % text[-80:]
        return lines[:-1]

    @property
    def session_path(self):
        return self.appdata / "TindralXL" / "session.json"

    def session(self):
        """session.json parsed, or None when there is none."""
        try:
            return json.loads(self.session_path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return None

    def client_session_path(self):
        """The session file for the clients of tools/ (Linux processes). Under
        Wine the file names a Windows process id, which a Linux process cannot
        look up (it would take the file for a stale one): they get a copy
        without it, made now."""
        if not self.target.is_wine:
            return self.session_path
        record = self.session()
        record.pop("pid", None)
        copy = self.base / "client-session.json"
        copy.write_text(json.dumps(record), encoding="utf-8")
        return copy

    def exec_op(self, timeout=60, **req):
        """One /exec request with the running add-in's port and token; the parsed answer."""
        session = self.session()
        conn = http.client.HTTPConnection("127.0.0.1", session["port"], timeout=timeout)
        try:
            conn.request("POST", "/exec", body=json.dumps(req),
                         headers={"Authorization": "Bearer " + session["token"]})
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()


@pytest.fixture
def sandbox(target, tmp_path):
    return Sandbox(target, tmp_path / "sandbox")


# --- the add-in folder ----------------------------------------------------------------

_python_home_cache = {}


def _python_home(tmp_path_factory, target):
    """A Python home for the add-in's `python` folder, made once per session."""
    if target.is_wine and os.environ.get("TINDRAL_WIN_PYTHON"):
        return pathlib.Path(os.environ["TINDRAL_WIN_PYTHON"])
    missing = target.python_missing()
    if missing:
        pytest.skip(missing)
    if target.name not in _python_home_cache:
        script = ROOT / "scripts" / "make_python_home.py"
        if not script.exists():
            pytest.skip("scripts/make_python_home.py is not there yet")
        made = tmp_path_factory.mktemp("python-home")
        if target.is_wine:
            # OUT/python, with the bridge as python312.dll.
            args = ["--wine", "--bridge", str(target.bridge()), "--out", str(made)]
        else:
            args = ["--out", str(made / "python")]
        proc = subprocess.run([sys.executable, str(script)] + args, capture_output=True, text=True, timeout=600)
        if proc.returncode != 0:
            _python_home_cache[target.name] = RuntimeError(
                "make_python_home.py failed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr))
        else:
            _python_home_cache[target.name] = made / "python"
    home = _python_home_cache[target.name]
    if isinstance(home, Exception):
        pytest.fail(str(home))
    return home


@pytest.fixture
def addin_folder(target, tmp_path, tmp_path_factory, request):
    """Builds add-in folders: ``addin_folder(package=..., modules=..., python=..., where=...)``.

    Copies the add-in into a fresh folder and returns the add-in file's path.
    ``package=True`` copies python/tindral_xl beside it; ``modules`` is a dict
    of file name to source (or True for examples/modules) for the ``modules``
    folder; ``python=True`` links a Python home as the ``python`` folder
    (skips where none can be had); ``where`` puts it in a given folder instead.
    """
    made = []

    def build(package=False, modules=None, python=False, where=None, addin=None):
        folder = pathlib.Path(where) if where else tmp_path / ("addin%d" % len(made))
        folder.mkdir(parents=True, exist_ok=True)
        source = pathlib.Path(addin) if addin else target.addin
        dest = folder / source.name
        shutil.copy2(source, dest)
        made.append(dest)
        if package:
            shutil.copytree(ROOT / "python" / "tindral_xl", folder / "tindral_xl",
                            ignore=shutil.ignore_patterns("__pycache__"))
            # The build's release number, as every laid-out add-in folder has it.
            version = target.build / "generated" / "_version.py"
            if version.exists():
                shutil.copy2(version, folder / "tindral_xl" / "_version.py")
        if modules is True:
            shutil.copytree(ROOT / "examples" / "modules", folder / "modules",
                            ignore=shutil.ignore_patterns("__pycache__"))
        elif modules:
            (folder / "modules").mkdir(exist_ok=True)
            for name, text in modules.items():
                (folder / "modules" / name).write_text(text, encoding="utf-8")
        if python:
            home = _python_home(tmp_path_factory, target)
            (folder / "python").symlink_to(home, target_is_directory=True)
        return dest

    yield build
    for f in made:
        if where_is_shared(f, target):
            f.unlink(missing_ok=True)


def where_is_shared(path, target):
    """Files placed inside the shared Wine prefix must not outlive their test."""
    return target.prefix is not None and target.prefix in pathlib.Path(path).parents


# --- running the host -----------------------------------------------------------------


class HostResult:
    def __init__(self, argv, rc, stdout, stderr):
        self.argv = argv
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.lines = stdout.splitlines()

    def errors(self):
        """The host's own `error ...` lines (Wine may add noise of its own)."""
        return [l for l in self.stderr.splitlines() if l.startswith("error ")]


def _record(request, title, argv, rc, stdout, stderr):
    runs = getattr(request.node, "_tindral_runs", None)
    if runs is None:
        runs = request.node._tindral_runs = []
    runs.append("%s\n$ %s\nexit: %s\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
        title, " ".join(argv), rc, stdout, stderr))


@pytest.fixture
def host(target, sandbox, request):
    """Runs ``xllhost ADDIN COMMAND...`` to its end: ``host(addin, "open", "close")``.

    ``stdin`` gives a script on standard input instead; the add-in path is
    turned into the form the host understands. Returns a HostResult.
    """

    def run(addin, *commands, stdin="", timeout=90, env=None):
        argv = target.command(target.host, [target.path_arg(addin)] + list(commands))
        # Files rather than pipes: the end of the host is its exit, even if a
        # process it started still holds an inherited handle.
        with tempfile.TemporaryFile() as out_f, tempfile.TemporaryFile() as err_f:
            proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out_f, stderr=err_f, env=env or sandbox.env)
            try:
                proc.communicate(stdin.encode("utf-8"), timeout=timeout)
                rc = proc.returncode
            except BaseException:
                proc.kill()
                proc.wait(10)
                rc = None
                raise
            finally:
                out_f.seek(0)
                err_f.seek(0)
                out = out_f.read().decode("utf-8", errors="replace")
                err = err_f.read().decode("utf-8", errors="replace")
                _record(request, "xllhost" if rc is not None else "xllhost (timed out)", argv, rc, out, err)
        return HostResult(argv, rc, out, err)

    return run


class HostProcess:
    """A running xllhost whose output is read line by line while it runs."""

    def __init__(self, argv, env, request):
        self.argv = argv
        self.request = request
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines = []
        self._answered = 0  # lines already returned by command()
        self.stderr_chunks = []
        self._cond = threading.Condition()
        self._out_done = False
        self._reader = threading.Thread(target=self._read_out, daemon=True)
        self._reader.start()
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._err_reader.start()

    def _read_out(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self._out_done = True
            self._cond.notify_all()

    def _read_err(self):
        for raw in self.proc.stderr:
            self.stderr_chunks.append(raw.decode("utf-8", errors="replace"))

    @property
    def stderr(self):
        return "".join(self.stderr_chunks)

    def send(self, command):
        """Hands the host one more script line (when it reads its script from standard input)."""
        self.proc.stdin.write(command.encode("utf-8") + b"\n")
        self.proc.stdin.flush()

    def read_until(self, predicate, timeout=30):
        """Waits for an output line that satisfies `predicate` (or equals it); returns it."""
        test = predicate if callable(predicate) else (lambda l: l == predicate)
        deadline = time.monotonic() + timeout
        seen = 0
        with self._cond:
            while True:
                while seen < len(self.lines):
                    if test(self.lines[seen]):
                        return self.lines[seen]
                    seen += 1
                left = deadline - time.monotonic()
                if self._out_done or left <= 0:
                    raise AssertionError("xllhost never printed the awaited line; output so far:\n"
                                         + "\n".join(self.lines) + "\nstderr:\n" + self.stderr)
                self._cond.wait(left)

    def command(self, command, until, timeout=30):
        """Sends one script line and returns the output lines that followed the
        previous command's, up to the first that starts with `until`."""
        self.send(command)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                lines = self.lines[self._answered:]
                for i, line in enumerate(lines):
                    if line.startswith(until):
                        self._answered += i + 1
                        return lines[:i + 1]
                left = deadline - time.monotonic()
                if self._out_done or left <= 0:
                    raise AssertionError("no %r after %r; output:\n%s" % (until, command, "\n".join(self.lines)))
                self._cond.wait(left)

    def finish(self, timeout=60):
        """Closes standard input (ending `wait`) and waits for the exit; returns the code."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self._reader.join(10)
        self._err_reader.join(10)
        return rc

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def describe(self):
        return "xllhost (live)\n$ %s\nexit: %s\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            " ".join(self.argv), self.proc.poll(), "\n".join(self.lines), self.stderr)


@pytest.fixture
def start_host(target, sandbox, request):
    """Starts ``xllhost ADDIN COMMAND...`` and returns a HostProcess; put `wait`
    in the commands to keep it running until ``finish()``."""
    started = []

    def start(addin, *commands, env=None):
        argv = target.command(target.host, [target.path_arg(addin)] + list(commands))
        p = HostProcess(argv, env or sandbox.env, request)
        started.append(p)
        live = getattr(request.node, "_tindral_live", None)
        if live is None:
            live = request.node._tindral_live = []
        live.append(p)
        return p

    yield start
    for p in started:
        p.kill()


@pytest.fixture
def python_addin(sandbox, addin_folder, start_host):
    """An open add-in with the package and Python, serving its agent channel:
    (host process, port, token, add-in path)."""
    addin = addin_folder(package=True, python=True)
    p = start_host(addin, "open", "echo opened", "wait", "close")
    p.read_until("echo opened", timeout=120)
    session = sandbox.session()
    assert session and "error" not in session, session
    yield p, session["port"], session["token"], addin
    p.finish()


# --- reports and time limits --------------------------------------------------------------


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" or (report.when == "setup" and report.failed):
        for i, text in enumerate(getattr(item, "_tindral_runs", [])):
            report.sections.append(("xllhost run %d" % (i + 1), text))
        for i, p in enumerate(getattr(item, "_tindral_live", [])):
            report.sections.append(("xllhost live %d" % (i + 1), p.describe()))
        sandbox = getattr(item, "funcargs", {}).get("sandbox")
        if report.failed and sandbox is not None:
            for i, text in enumerate(sandbox.tsan_reports()):
                report.sections.append(("ThreadSanitizer report %d" % (i + 1), text))


class TimeLimitExceeded(Exception):
    pass


@pytest.fixture(autouse=True)
def _time_limit(request):
    """Every test ends within its limit: the alarm interrupts whatever it waits for."""
    marker = request.node.get_closest_marker("time_limit")
    seconds = marker.args[0] if marker else DEFAULT_TIME_LIMIT

    def expire(signum, frame):
        raise TimeLimitExceeded("test exceeded its time limit of %s s" % seconds)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def pytest_collection_modifyitems(config, items):
    name = config.getoption("--target")
    no_python = Target(name).python_missing()
    for item in items:
        if name == "wine" and item.get_closest_marker("linux_only"):
            item.add_marker(pytest.mark.skip(reason="Linux build only"))
        if name != "wine" and item.get_closest_marker("wine_only"):
            item.add_marker(pytest.mark.skip(reason="Windows build under Wine only"))
        if name != "tsan" and item.get_closest_marker("tsan_only"):
            item.add_marker(pytest.mark.skip(reason="ThreadSanitizer build only (--target tsan)"))
        if no_python and item.get_closest_marker("needs_python"):
            item.add_marker(pytest.mark.skip(reason=no_python))


@pytest.fixture
def make_read_only():
    """Makes a file unwritable even for root (chattr +i), or by mode bits for others."""
    done = []

    def apply(path):
        path = pathlib.Path(path)
        if os.geteuid() == 0:
            r = subprocess.run(["chattr", "+i", str(path)], capture_output=True)
            if r.returncode != 0:
                pytest.skip("cannot make a file read-only for root here: %s" % r.stderr.decode().strip())
            done.append(path)
        else:
            path.chmod(0o444)

    yield apply
    for p in done:
        subprocess.run(["chattr", "-i", str(p)], capture_output=True)
