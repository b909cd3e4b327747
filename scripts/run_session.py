#!/usr/bin/env python3
"""The session half of scripts/run.sh: opens the laid-out add-in in xllhost
and shows what a spreadsheet user and an agent would see.

    run_session.py --target linux|windows --build DIR --folder DIR [--raw]

It starts xllhost with the add-in and plays Excel through the host's command
language on its standard input: open, list, one call per example formula
(shown as the formula and the value the cell would show), then the agent
exchange over the add-in's loopback channel. The add-in then stays open:
formulas typed on standard input are called too, and the end of standard
input (Ctrl-D) or Ctrl-C closes it (xlAutoClose), after which the lines the
add-in logged during the session are shown. Exit status: 0 after a close at
the end of input, 130 after a close on Ctrl-C, 1 when the host failed.

xllhost runs in a session of its own, so that the terminal's Ctrl-C reaches
this script only, which then closes the add-in in order instead of the host
(or Wine) dying halfway.

`--raw` shows the host's protocol lines (the commands sent, prefixed with
"> ", and every line the host printed) and the agent client's own output.
"""

import argparse
import hashlib
import json
import math
import os
import pathlib
import pwd
import queue
import re
import signal
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
AGENT = ROOT / "tools" / "agent" / "tindral_agent.py"
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
MAX_ARGS = 10  # every worksheet entry point receives ten arguments
MAX_TEXT = 32767  # UTF-16 units a cell (and the host) holds
MAX_COMMAND = 60000  # bytes of one host command: xllhost reads lines of up to 64 KiB
CLOSE_WAIT = 20  # seconds a close may take before the host is stopped

# Excel's error codes, as a cell shows them.
ERRORS = {0: "#NULL!", 7: "#DIV/0!", 15: "#VALUE!", 23: "#REF!", 29: "#NAME?", 36: "#NUM!", 42: "#N/A",
          43: "#GETTING_DATA"}
ERROR_CODES = {text: code for code, text in ERRORS.items()}

# Calls of the example modules worth showing, with what each one shows. A
# function of the user's own gets its call from its docstring when that
# holds one (for example "=HYPOT(3, 4) gives 5"); a call listed here for a
# function that is not registered is left out.
SAMPLES = [
    ("=HYPOT(3, 4)", ""),
    ("=LOAN_PAYMENT(0.05, 30, 300000)", ""),
    ("=CAGR(100, 200, 5)", ""),
    ("=FACTORIAL(20)", ""),
    ("=FACTORIAL(200)", "beyond a double"),
    ('=GREET("Ada")', ""),
    ("=GREET()", "an omitted argument arrives as None"),
    ('=SLUGIFY("Hello World, 2024!")', ""),
    ('=WORD_COUNT("one two three")', ""),
    ("=PYTYPE(TRUE)", ""),
    ("=PYTYPE({1,2;3,4})", "a range or an array"),
    ("=IS_PRIME(97)", ""),
    ("=IS_PRIME(1.5)", "the function raised: its message follows"),
    ("=SAFE_DIVIDE(1, 0, -1)", ""),
    ('=TOTAL({1,2,"x";3,4,TRUE})', "a range arrives as a list of rows"),
    ("=TIMES_TABLE(4)", "a list of rows spills"),
    ("=NEXT_WORKDAYS(46000, 3)", "dates come back as serial numbers"),
    ("=FIT_LINE({1,2,3,4}, {3,5,7,9})", "an object: the cell shows its handle"),
    ('=PREDICT_LINE("<LineFit #1>", 10)', "the handle passes the object itself"),
    ("=COMPOUND(1000, 0.05, 10)", "annotated float, float, int"),
    ("=COMPOUND(1000, 0.05, 2.5)", "an int parameter takes whole numbers only"),
    ("=ADD_MONTHS(45322, 1)", "a date in, a date out"),
    ("=SCALED({1,2;3,4}, 10)", "an Array in, a buffer of doubles out"),
    ("=SLOW_SQUARE(12)", "an async def: Excel goes on while it waits"),
]


# --- formulas -> host commands ----------------------------------------------------


class FormulaError(ValueError):
    """A formula this stand-in cannot call: the message says why."""


class NeedsWorkbook(FormulaError):
    """A formula with cell references or nested calls: the host's workbook
    computes it (its `eval` command), not one `call`."""


_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


def _host_text(text):
    """A text for the host's `s:` argument: spaces and backslashes escaped,
    and everything beyond printable ASCII as UTF-16 units, so that the command
    stays one word and reads the same on both builds."""
    out = []
    for ch in text:
        if ch == " ":
            out.append("\\s")
        elif ch == "\\":
            out.append("\\\\")
        elif 0x21 <= ord(ch) < 0x7F and ch not in ";,":
            out.append(ch)
        else:
            data = ch.encode("utf-16-le")
            for i in range(0, len(data), 2):
                out.append("\\u%04X" % int.from_bytes(data[i:i + 2], "little"))
    return "".join(out)


def _host_number(v):
    """The shortest text that reads back as `v` ("30", not "30.0")."""
    text = repr(v)
    return text[:-2] if text.endswith(".0") else text


class _Parser:
    def __init__(self, text, pos=0):
        self.text = text
        self.pos = pos

    def skip(self):
        while self.pos < len(self.text) and self.text[self.pos] in " \t":
            self.pos += 1

    def peek(self):
        self.skip()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def fail(self, why):
        raise FormulaError("%s: %s (column %d)" % (self.text.strip(), why, self.pos + 1))

    def scalar(self, in_array):
        """One value: number, "text", TRUE/FALSE or an error literal."""
        self.skip()
        rest = self.text[self.pos:]
        if rest.startswith('"'):
            i, chars = 1, []
            while True:
                if i >= len(rest):
                    self.fail("unterminated text")
                if rest[i] == '"':
                    if rest[i + 1:i + 2] == '"':  # "" is a quote inside a text
                        chars.append('"')
                        i += 2
                        continue
                    break
                chars.append(rest[i])
                i += 1
            text = "".join(chars)
            if len(text.encode("utf-16-le")) // 2 > MAX_TEXT:
                self.fail("a text holds at most %d characters" % MAX_TEXT)
            self.pos += i + 1
            return "s:" + _host_text(text)
        m = _NUMBER.match(rest)
        if m:
            value = float(m.group(0))
            if math.isinf(value):
                self.fail("%s is beyond what a cell holds" % m.group(0))
            self.pos += m.end()
            text = _host_number(value)
            return text if in_array else "n:" + text
        for word, arg in (("TRUE", "b:1"), ("FALSE", "b:0")):
            if rest[:len(word)].upper() == word and not rest[len(word):len(word) + 1].isalnum():
                self.pos += len(word)
                return arg
        for text, code in sorted(ERROR_CODES.items(), key=lambda kv: -len(kv[0])):
            if rest.upper().startswith(text):
                self.pos += len(text)
                return "e:%d" % code
        if re.match(r"(\$?[A-Za-z]{1,3}\$?[0-9]+\b|'|[A-Za-z_][A-Za-z0-9_.]*!)", rest):
            raise NeedsWorkbook("a cell reference")
        if _NAME.match(rest) and re.match(r"[A-Za-z_][A-Za-z0-9_.]*\s*\(", rest):
            raise NeedsWorkbook("a call inside a call")
        self.fail("expected a number, a \"text\", TRUE, FALSE, an error such as #N/A, or {array}")

    def array(self):
        """{a,b;c,d}: commas between columns, semicolons between rows."""
        self.pos += 1  # the brace
        rows, row = [], []
        while True:
            if self.peek() == "{":
                self.fail("an array cannot hold an array")
            row.append(self.scalar(in_array=True))
            c = self.peek()
            self.pos += 1
            if c == ",":
                continue
            if c == ";" or c == "}":
                rows.append(row)
                row = []
                if c == "}":
                    break
                continue
            self.pos -= 1
            self.fail("expected , ; or } in the array")
        if any(len(r) != len(rows[0]) for r in rows):
            self.fail("every row of an array needs as many values")
        return "m:%d,%d:%s" % (len(rows), len(rows[0]), ";".join(v for r in rows for v in r))

    def argument(self):
        c = self.peek()
        if c in (",", ")"):
            return "missing"
        if c == "{":
            return self.array()
        return self.scalar(in_array=False)

    def call(self):
        """NAME(arg, ...) from the current position: (name, host arguments)."""
        self.skip()
        m = _NAME.match(self.text, self.pos)
        if not m:
            self.fail("expected a function name")
        name = m.group(0)
        self.pos = m.end()
        if self.peek() != "(":
            self.fail("expected ( after %s" % name)
        self.pos += 1
        args = []
        if self.peek() == ")":
            self.pos += 1
            return name, args
        while True:
            args.append(self.argument())
            c = self.peek()
            self.pos += 1
            if c == ",":
                continue
            if c == ")":
                break
            self.pos -= 1
            self.fail("expected , or )")
        if len(args) > MAX_ARGS:
            raise FormulaError("%s: Excel hands a worksheet function at most %d arguments"
                               % (self.text.strip(), MAX_ARGS))
        if len(" ".join(["call", name] + args).encode("utf-8")) > MAX_COMMAND:
            raise FormulaError("%s...: too long for one call of the stand-in" % self.text.strip()[:40])
        return name, args


def parse_formula(text):
    """'=NAME(1, "a b", TRUE, , {1,2})' -> ("NAME", ["n:1.0", "s:a\\sb", "b:1", "missing", "m:1,2:1.0;2.0"])."""
    p = _Parser(text.strip())
    if p.peek() == "=":
        p.pos += 1
    name, args = p.call()
    if p.peek():
        p.fail("unexpected text after the call")
    return name, args


def formulas_in(text):
    """The calls written as formulas in a text (a docstring), e.g. "=HYPOT(3, 4)"."""
    found = []
    for m in re.finditer(r"=\s*(?=[A-Za-z_][A-Za-z0-9_.]*\s*\()", text):
        p = _Parser(text, m.end())
        try:
            p.call()
        except FormulaError:
            continue
        found.append("=" + text[m.end():p.pos].strip())
    return found


def type_arity(type_text):
    """The number of arguments a registration's type text declares (its
    letters after the first, the return type; "!", "#", "$" and "&" are
    flags), or None for a text that is not one."""
    letters = [c for c in type_text if c.isalnum()]
    if type_text.startswith(">"):
        # Asynchronous: no result letter, and the X is Excel's handle.
        return sum(1 for c in letters if c != "X")
    return len(letters) - 1 if letters else None


def too_many_arguments(formula, name, declared, given):
    """Excel's refusal of a formula with more arguments than the function
    declares, as the prompt says it; None when the count is within bounds."""
    if declared is None or given <= declared:
        return None
    return ("%s: %s takes %d argument%s, %d given (Excel refuses the formula: "
            "\"You've entered too many arguments for this function.\")"
            % (formula.strip(), name, declared, "" if declared == 1 else "s", given))


def raised_messages(lines, name):
    """The messages the add-in logged for exceptions `name` raised."""
    head = "Python error in %s: " % name
    return [l[len(head):] for l in lines if l.upper().startswith(head.upper())]


def refusals(lines, name):
    """Why the add-in refused an argument or result of `name` (its typed
    conversions): "argument 1 (x): text is not a number"."""
    found = []
    for l in lines:
        m = re.match(r"func_registry: (argument \d+ \(.*?\)|result) of (\S+): (.*)$", l)
        if m and m.group(2).upper() == name.upper():
            found.append("%s: %s" % (m.group(1), m.group(3)))
    return found


def import_failures(lines):
    """(module, reason) for each module the add-in failed to import: the
    reason is the line after "Failed to import module: NAME" ("Type: message")."""
    head = "Failed to import module: "
    found = []
    for i, line in enumerate(lines):
        if line.startswith(head):
            reason = lines[i + 1] if i + 1 < len(lines) and not lines[i + 1].startswith(head) else ""
            found.append((line[len(head):], reason))
    return found


# --- host results -> what a cell shows --------------------------------------------------


def _number(v):
    """A number as a wide cell in General format shows it: up to 15 digits."""
    if not isinstance(v, float):
        return str(v)
    text = "%.15g" % v
    if "e" in text:
        mantissa, _, exponent = text.partition("e")
        text = "%sE%s%02d" % (mantissa, exponent[0], int(exponent[1:]))
    return text


def _quoted(s, limit=200):
    shown = s if len(s) <= limit else s[:limit] + "..."
    text = '"' + shown.replace('"', '""') + '"'
    return text if len(s) <= limit else "%s (%d characters)" % (text, len(s))


def _element(v):
    """One element of an array result (decoded JSON) as a cell shows it."""
    if v is True or v is False:
        return "TRUE" if v else "FALSE"
    if v is None:
        return ""
    if isinstance(v, (int, float)):
        return _number(v)
    if isinstance(v, str):
        return _quoted(v, 40)
    if isinstance(v, dict) and "err" in v:
        return ERRORS.get(v["err"], "#ERR%s" % v["err"])
    return str(v)


def render_result(line):
    """A host `result ...` line as the lines a cell (or a spilled range) shows."""
    body = line[len("result "):] if line.startswith("result ") else line
    body = re.sub(r"\s+xltype=0x[0-9A-Fa-f]+$", "", body)
    kind, _, value = body.partition(" ")
    if kind == "num":
        return [_number(float(value))]
    if kind == "int":
        return [value]
    if kind == "str":
        return [_quoted(json.loads(value)) if value != "null" else "(a text with no buffer)"]
    if kind == "bool":
        return ["TRUE" if value == "1" else "FALSE"]
    if kind == "err":
        return [ERRORS.get(int(value), "#ERR%s" % value)]
    if kind == "nil":
        return ["(empty cell)"]
    if kind == "multi":
        m = re.match(r"(\d+) (\d+) (\[.*\])$", value)
        if not m:
            return [body]
        rows, cols, items = int(m.group(1)), int(m.group(2)), json.loads(m.group(3))
        if len(items) != rows * cols:
            return ["%dx%d array" % (rows, cols)]
        cells = [[_element(items[r * cols + c]) for c in range(cols)] for r in range(rows)]
        shown = cells[:8]
        widths = [max(len(row[c]) for row in shown) for c in range(cols)]
        lines = ["%dx%d array:" % (rows, cols)]
        for r, row in enumerate(shown):
            # As in a sheet: numbers to the right of their column, the rest to the left.
            numeric = [isinstance(items[r * cols + c], (int, float)) and not isinstance(items[r * cols + c], bool)
                       for c in range(cols)]
            lines.append("  ".join(v.rjust(widths[c]) if numeric[c] else v.ljust(widths[c])
                                   for c, v in enumerate(row)).rstrip())
        if rows > len(shown):
            lines.append("... %d more rows" % (rows - len(shown)))
        return lines
    return ["(%s)" % body]


# --- the host process -------------------------------------------------------------------


class HostGone(Exception):
    """xllhost ended (or failed) while an answer was awaited."""


class Host:
    def __init__(self, argv, env, raw, stderr_log):
        self.raw = raw
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, start_new_session=True)
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, args=(stderr_log,), daemon=True).start()

    def _read_out(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.lines.put(None)

    def _read_err(self, stderr_log):
        for raw in self.proc.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith("error "):
                self.errors.append(line)
            if stderr_log:
                with open(stderr_log, "a", encoding="utf-8") as f:
                    f.write(line + "\n")

    def send(self, command):
        if self.raw:
            print("> " + command, flush=True)
        try:
            self.proc.stdin.write((command + "\n").encode("utf-8"))
            self.proc.stdin.flush()
        except OSError:
            raise HostGone("xllhost no longer reads its commands")

    def expect(self, predicate, timeout=None):
        """Host lines until one satisfies `predicate`; returns (that line, the lines before it)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        seen = []
        while True:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                if deadline is not None and time.monotonic() > deadline:
                    raise TimeoutError()
                if self.proc.poll() is not None and self.lines.empty():
                    time.sleep(0.2)  # the last lines and the error may still be on their way
                    if self.lines.empty():
                        raise HostGone(self._gone())
                continue
            if line is None:
                self.proc.wait()
                time.sleep(0.1)
                raise HostGone(self._gone())
            if self.raw:
                print(line, flush=True)
            if predicate(line):
                return line, seen
            seen.append(line)

    def _gone(self):
        rc = self.proc.poll()
        why = "; ".join(self.errors) or "no message"
        return "xllhost ended (exit %s): %s" % (rc, why)

    def end_input(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def stop(self):
        """Ends the host (and, under Wine, its process group) at once."""
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                self.proc.kill()
            self.proc.wait()


# --- the session --------------------------------------------------------------------------


def wine_user_folder():
    prefix = pathlib.Path(os.environ.get("WINEPREFIX") or pathlib.Path.home() / ".wine")
    try:
        user = pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        user = os.environ.get("USER", "root")
    return prefix / "drive_c" / "users" / user


def places(target):
    """(the add-in's log, its session file) for this target."""
    if target == "windows":
        profile = wine_user_folder()
        return profile / "Temp" / "tindralxl.log", profile / "AppData" / "Roaming" / "TindralXL" / "session.json"
    temp = pathlib.Path(os.environ.get("TMPDIR") or "/tmp")
    config = pathlib.Path(os.environ.get("XDG_CONFIG_HOME") or pathlib.Path.home() / ".config")
    return temp / "tindralxl.log", config / "TindralXL" / "session.json"


# In the run folder's modules: the files the add-in wrote there (an agent's
# write_module), with their digests, so that the next run.sh keeps them as
# the run folder's own instead of setting the folder aside as the user's.
WRITTEN = ".tindral-written"


def _digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def written_manifest(modules):
    """{name: digest} of the manifest in `modules`; {} when there is none."""
    found = {}
    try:
        text = (modules / WRITTEN).read_text(encoding="utf-8")
    except OSError:
        return found
    for line in text.splitlines():
        digest, sep, name = line.partition("  ")
        if sep and name:
            found[name] = digest
    return found


def own_files(modules):
    """{name: digest} of the regular files (not links) in `modules`."""
    found = {}
    try:
        entries = list(modules.iterdir())
    except OSError:
        return found
    for entry in entries:
        if entry.name in (WRITTEN, "__pycache__") or entry.is_symlink() or not entry.is_file():
            continue
        try:
            found[entry.name] = _digest(entry)
        except OSError:
            continue
    return found


def home_relative(path):
    home = str(pathlib.Path.home())
    text = str(path)
    return "~" + text[len(home):] if home != "/" and text.startswith(home + "/") else text


class Session:
    def __init__(self, args):
        self.args = args
        self.raw = args.raw
        self.log, self.session = places(args.target)
        self.log_start = self.log.stat().st_size if self.log.exists() else 0
        self.names = []  # registered worksheet functions, as listed
        self.types = {}  # upper-case name -> the type text it was registered with
        self.example = ""  # the first example call, offered at the prompt
        self.modules = pathlib.Path(args.folder) / "modules"
        # Files of the run folder's modules at the start that the add-in did
        # not write: the user's (their folder is the run folder's own).
        listed = written_manifest(self.modules)
        self.theirs = {n for n, d in own_files(self.modules).items() if listed.get(n) != d}
        self.width = 34

    def say(self, text=""):
        if not self.raw:
            print(text, flush=True)

    # The host.

    def start(self):
        folder = pathlib.Path(self.args.folder).resolve()
        build = pathlib.Path(self.args.build).resolve()
        env = dict(os.environ)
        for name in ("PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP"):
            env.pop(name, None)
        if self.args.target == "windows":
            env.update(WINE_ENV)
            # The test bed's python312.dll runs Linux's CPython, whose package
            # finds the log (read_log) through $TMPDIR: point it at the folder
            # the Windows add-in writes to (GetTempPathW's, in the prefix), not
            # the Linux add-in's. A Windows Python ignores it.
            self.log.parent.mkdir(parents=True, exist_ok=True)
            env["TMPDIR"] = str(self.log.parent)
            self.addin = folder / "TindralXL.xll"
            argv = ["wine", str(build / "tools" / "xllhost" / "xllhost.exe"), "Z:" + str(self.addin).replace("/", "\\")]
        else:
            self.addin = folder / "TindralXL.so"
            argv = [str(build / "tools" / "xllhost" / "xllhost"), str(self.addin)]
        self.host = Host(argv, env, self.raw, self.args.host_log)

    def open(self):
        self.host.send("open")
        self.host.expect(lambda l: l.startswith("open "))
        # As an idle Excel does, the host runs the add-in's tick while it waits
        # for the next formula: new names a reload adds register, and the
        # agent's cell requests are served.
        self.host.send("idle on")
        self.host.expect(lambda l: l.startswith("idle "))
        self.refresh()
        where = os.path.relpath(self.addin, ROOT) if str(self.addin).startswith(str(ROOT)) else str(self.addin)
        self.say("TindralXL %s is open in xllhost, the Excel stand-in: %s" % (self.args.version, where))

    def refresh(self):
        """The worksheet functions Excel has now, as the host lists them: an
        agent may have loaded or written a module since the last look."""
        self.host.send("list")
        _, listed = self.host.expect(lambda l: l.startswith("list "))
        rows = [l.split() for l in listed if l.startswith("function ") and len(l.split()) >= 4]
        # Commands (the tick, the calculation-event handlers) are "A#".
        self.commands = [r[-1] for r in rows if r[2].startswith("A")]
        self.names = [r[-1] for r in rows if r[-1] not in self.commands]
        self.types = {r[-1].upper(): r[2] for r in rows}

    def call(self, formula, note=""):
        """Calls one formula and shows it with the cell's value; 1 when called."""
        try:
            name, args = parse_formula(formula)
        except NeedsWorkbook:
            return self.evaluate(formula, note)
        except FormulaError as exc:
            print("  %s" % exc, flush=True)
            return 0
        if name.upper() not in {n.upper() for n in self.names}:
            self.refresh()
        known = {n.upper(): n for n in self.names}
        if name.upper() not in known:
            print("  %s: no worksheet function %s here (there are: %s)" % (
                formula.strip(), name, ", ".join(sorted(self.names)) or "none"), flush=True)
            return 0
        name = known[name.upper()]
        refusal = too_many_arguments(formula, name, type_arity(self.types.get(name.upper(), "")), len(args))
        if refusal:
            print("  " + refusal, flush=True)
            return 0
        if self.raw:
            print("# " + formula.strip(), flush=True)
        log_at = self.log_size()
        self.host.send(" ".join(["call", name] + args))
        line, _ = self.host.expect(lambda l: l.startswith("result "))
        shown = render_result(line)
        text = formula.strip()
        first = "  %s  ->  %s" % (text.ljust(self.width), shown[0])
        if note:
            first += "    (%s)" % note
        self.say(first)
        for extra in shown[1:]:
            self.say(" " * (self.width + 8) + extra)
        if shown[0] in (ERRORS[15], ERRORS[36]):
            # What the cell cannot show: the exception's message or the
            # refused argument, from the log.
            self.explain(log_at, name)
        return 1

    def evaluate(self, formula, note=""):
        """Has the host's workbook compute a formula over its cells (the ones
        an agent wrote, say): references, ranges and nested calls. 1 when it
        was computed."""
        text = formula.strip()
        if self.raw:
            print("# " + text, flush=True)
        log_at = self.log_size()
        self.host.send("eval " + text)
        line, _ = self.host.expect(lambda l: l.startswith(("result ", "formula refused ")))
        if line.startswith("formula refused "):
            print("  %s: %s" % (text, line[len("formula refused "):]), flush=True)
            return 0
        shown = render_result(line)
        first = "  %s  ->  %s" % (text.ljust(self.width), shown[0])
        if note:
            first += "    (%s)" % note
        self.say(first)
        for extra in shown[1:]:
            self.say(" " * (self.width + 8) + extra)
        called = re.match(r"=?\s*([A-Za-z_][A-Za-z0-9_.]*)\s*\(", text)
        if shown[0] in (ERRORS[15], ERRORS[36]) and called:
            self.explain(log_at, called.group(1))
        return 1

    def explain(self, log_at, name):
        """What the log says about the call that just failed: the exception
        `name` raised, or which argument its annotations refused and why."""
        lines = self.log_lines_from(log_at)
        for message in raised_messages(lines, name):
            self.say(" " * (self.width + 8) + "raised: " + message)
        for message in refusals(lines, name):
            self.say(" " * (self.width + 8) + "refused " + message)

    def functions(self):
        """The registry as the agent channel reports it (name, nargs, doc), or []."""
        answer = self.agent_answer(["functions"])
        return answer.get("functions", []) if isinstance(answer, dict) else []

    def samples(self):
        """(formula, note) to show: the example calls of registered functions,
        then for every other function the calls its docstring shows."""
        known = {n.upper() for n in self.names}
        chosen, covered = [], set()
        for formula, note in SAMPLES:
            name = parse_formula(formula)[0].upper()
            if name in known:
                chosen.append((formula, note))
                covered.add(name)
        uncalled = []
        docs = {f.get("name", "").upper(): f.get("doc", "") for f in self.functions() if isinstance(f, dict)}
        for name in self.names:
            if name.upper() in covered:
                continue
            mine = [f for f in formulas_in(docs.get(name.upper(), "")) if parse_formula(f)[0].upper() == name.upper()]
            chosen.extend((f, "") for f in mine[:2])
            if not mine:
                uncalled.append(name)
        return chosen, uncalled

    # The agent channel.

    def channel_state(self):
        """(True, "") when the session file names a live server, else (False, why not)."""
        try:
            record = json.loads(self.session.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return False, "there is no session file at %s (the add-in removes it when its server stops)" % (
                home_relative(self.session))
        except (OSError, ValueError) as exc:
            return False, "its session file cannot be read: %s" % exc
        if "error" in record:
            return False, "the add-in reports: %s" % record["error"]
        return True, ""

    def client_session(self):
        """The session file for the agent client, a Linux process. The Windows
        add-in's file names a Windows process id, which the client cannot look
        up here and would take for a process that has ended: under Wine the
        client reads a copy without it, in the run folder."""
        if self.args.target != "windows":
            return None
        record = json.loads(self.session.read_text(encoding="utf-8"))
        record.pop("pid", None)
        copy = pathlib.Path(self.args.folder) / "client-session.json"
        copy.write_text(json.dumps(record), encoding="utf-8")
        return copy

    def agent_argv(self, words):
        argv = [sys.executable, str(AGENT)]
        if self.args.target == "windows":
            argv += ["--session", str(self.client_session())]
        return argv + list(words)

    def agent_answer(self, words):
        r = subprocess.run(self.agent_argv(words), capture_output=True, text=True, timeout=60)
        try:
            return json.loads(r.stdout)
        except ValueError:
            return None

    def agent_exchange(self):
        live, why = self.channel_state()
        if not live:
            self.say("Agent channel: none, %s." % why)
            return
        self.say("Agent channel (port and token in %s):" % home_relative(self.session))
        steps = [["ping"], ["functions"], ["eval", "sum(range(10))"]]
        # A module reloaded while the add-in is open: what you edited in it
        # reaches its cells at once (the call after the exchange shows it).
        reloaded = "text_tools" if (pathlib.Path(self.args.folder) / "modules" / "text_tools.py").exists() else ""
        if reloaded:
            steps.append(["reload", reloaded])
        # The workbook xllhost plays: the agent writes a block and reads it back.
        steps += [["write", "A1", '[["qty", "price"], [3, 9.5], [4, 12]]'], ["read", "A1:B3"]]
        for words in steps:
            shown = " ".join(w if re.fullmatch(r"[\w.-]+", w) else "'%s'" % w for w in words)
            if self.raw:
                print("$ tools/agent/tindral_agent.py " + shown, flush=True)
                r = subprocess.run(self.agent_argv(words), capture_output=True, text=True, timeout=60)
                sys.stdout.write(r.stdout + r.stderr)
                continue
            self.say("  $ tools/agent/tindral_agent.py " + shown)
            r = subprocess.run(self.agent_argv(words), capture_output=True, text=True, timeout=60)
            try:
                answer = json.loads(r.stdout)
            except ValueError:
                self.say("    (exit %d) %s" % (r.returncode, (r.stdout + r.stderr).strip()))
                continue
            if words[0] == "functions" and isinstance(answer, dict) and isinstance(answer.get("functions"), list):
                for f in answer["functions"]:
                    label = "%s/%s" % (f.get("name"), f.get("nargs"))
                    self.say("    %-16s %s" % (label, f.get("doc") or ""))
                continue
            text = json.dumps(answer, ensure_ascii=False)
            self.say("    " + (text if len(text) <= 160 else text[:157] + "..."))
        # Formulas over the cells the agent wrote, computed by the workbook.
        over_cells = [f for f, name in (("=TOTAL(A1:B3)", "TOTAL"), ("=DOT(A2:A3, B2:B3)", "DOT"))
                      if name in self.names]
        if over_cells:
            self.say("  Formulas over those cells:")
            for formula in over_cells:
                self.call(formula)
        if reloaded and "GREET" in self.names:
            self.say("  After the reload the cell runs the module's code as it is now:")
            self.call('=GREET("Ada")')

    # The whole run.

    def show(self):
        self.open()
        for module, reason in import_failures(self.new_log_lines()):
            self.say("Module %s failed to import%s (the log below has the rest)" % (
                module, ": " + reason if reason else ""))
        if not self.names:
            self.say("No worksheet functions were registered: %s" % self.why_no_functions())
        else:
            chosen, uncalled = self.samples()
            self.example = chosen[0][0] if chosen else "=%s()" % self.names[0]
            if chosen:
                self.width = min(max(len(f) for f, _ in chosen), 40)
                self.say()
                self.say("Worksheet calls, each a formula and the value its cell shows:")
                for formula, note in chosen:
                    self.call(formula, note)
            if uncalled:
                self.say("Also registered, with no example call in their docstring: %s" % ", ".join(uncalled))
        self.say()
        self.agent_exchange()

    def why_no_functions(self):
        if self.args.no_python_reason:
            return self.args.no_python_reason
        for line in self.new_log_lines():
            if "failed" in line or "No .py files" in line or "Error" in line:
                return line
        return "see the log below"

    def stay_open(self):
        """Formulas from standard input until it ends."""
        interactive = sys.stdin.isatty()
        live, _ = self.channel_state()
        if not self.names and not live:
            return  # nothing to call and nothing to connect to: close at once
        self.say()
        if self.names:
            self.say("The add-in stays open. Type a formula to call a function, e.g. %s" % self.example)
        else:
            self.say("The add-in stays open.")
        if live:
            self.say("An agent can connect from another terminal:  %s" % " ".join(
                ["python3", "tools/agent/tindral_agent.py"]
                + (["--session", str(self.client_session())] if self.args.target == "windows" else [])
                + ["eval", "'2 ** 10'"]))
        self.say("Ctrl-D or Ctrl-C closes it.")
        while True:
            if interactive:
                try:
                    line = input("formula> ")
                except EOFError:
                    print()
                    return
            else:
                line = sys.stdin.readline()
                if not line:
                    return
            if line.strip():
                self.call(line)

    def close(self):
        """xlAutoClose, then the end of the host; 1 when it closed in order."""
        try:
            self.host.send("close")
            self.host.expect(lambda l: l.startswith("close "), timeout=CLOSE_WAIT)
            self.host.end_input()
            self.host.proc.wait(timeout=CLOSE_WAIT)
            return 1
        except TimeoutError:
            print("run: the add-in did not close within %d s (a worksheet call may still be running); "
                  "stopping xllhost" % CLOSE_WAIT, file=sys.stderr)
        except subprocess.TimeoutExpired:
            print("run: xllhost did not end after the close; stopping it", file=sys.stderr)
        except HostGone as exc:
            print("run: %s" % exc, file=sys.stderr)
        except KeyboardInterrupt:
            print("run: interrupted again: stopping xllhost without a close", file=sys.stderr)
        self.host.stop()
        return 0

    def note_written(self):
        """Names the modules the add-in wrote into the run folder during this
        run, and lists every file it wrote there for the next run.sh."""
        if self.args.modules and pathlib.Path(self.args.modules).resolve() == self.modules.resolve():
            return  # the user's own folder is the run folder's: what was written is theirs
        before = written_manifest(self.modules)
        written = {n: d for n, d in own_files(self.modules).items() if n not in self.theirs}
        if written == before:
            return
        try:
            if written:
                (self.modules / WRITTEN).write_text("".join("%s  %s\n" % (d, n) for n, d in sorted(written.items())),
                                                    encoding="utf-8")
            else:
                (self.modules / WRITTEN).unlink()
        except OSError as exc:
            print("run: cannot list the modules the add-in wrote: %s" % exc, file=sys.stderr)
        new = sorted(n for n, d in written.items() if before.get(n) != d)
        if new:
            where = os.path.relpath(self.modules, ROOT) if str(self.modules.resolve()).startswith(str(ROOT)) \
                else str(self.modules)
            print("\nThe add-in wrote %s into the run folder's modules (%s)%s. They stay there for the next run."
                  % (", ".join(new), where,
                     "; your folder %s is only read" % self.args.modules if self.args.modules else ""), flush=True)

    def log_size(self):
        try:
            return self.log.stat().st_size
        except OSError:
            return 0

    def log_lines_from(self, offset):
        try:
            with open(self.log, "rb") as f:
                f.seek(offset)
                data = f.read()
        except OSError:
            return []
        return [l.rstrip("\r") for l in data.decode("utf-8", "replace").split("\n") if l.strip()]

    def new_log_lines(self):
        return self.log_lines_from(self.log_start)

    def show_log(self, limit=40):
        lines = self.new_log_lines()
        if not lines:
            return
        print("\nWhat the add-in logged (%s):" % home_relative(self.log), flush=True)
        shown = lines if len(lines) <= limit else lines[:limit // 2] + ["..."] + lines[-limit // 2:]
        for line in shown:
            print("  | " + line, flush=True)


class _Output:
    """Standard output that outlives its reader (`run.sh | head`): the add-in
    must still be closed in order when nobody reads any more."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        try:
            return self.stream.write(text)
        except (BrokenPipeError, ValueError):
            return len(text)

    def flush(self):
        try:
            self.stream.flush()
        except (BrokenPipeError, ValueError):
            pass

    def __getattr__(self, name):
        return getattr(self.stream, name)


def main(argv=None):
    p = argparse.ArgumentParser(description="The session of scripts/run.sh.")
    p.add_argument("--target", choices=("linux", "windows"), default="linux")
    p.add_argument("--build", required=True, help="the build folder holding tools/xllhost")
    p.add_argument("--folder", required=True, help="the laid-out add-in folder")
    p.add_argument("--version", default="?")
    p.add_argument("--raw", action="store_true", help="show the host's protocol lines")
    p.add_argument("--host-log", help="file that receives the host's standard error")
    p.add_argument("--no-python-reason", default="", help="why the add-in runs without Python")
    p.add_argument("--modules", default="", help="the user's modules folder (only read)")
    args = p.parse_args(argv)
    sys.stdout = _Output(sys.stdout)

    session = Session(args)
    rc = 0
    try:
        session.start()
        session.show()
        session.stay_open()
    except KeyboardInterrupt:
        print("\nrun: Ctrl-C: closing the add-in", flush=True)
        rc = 130
    except HostGone as exc:
        print("run: %s" % exc, file=sys.stderr)
        session.show_log()
        return 1
    # A Ctrl-C from now on is answered by the close itself.
    if not session.close():
        rc = 1
    session.note_written()
    session.show_log()
    if rc == 0 or rc == 130:
        left = session.session.exists()
        if left:
            print("run: the session file %s is still there after the close" % session.session, file=sys.stderr)
    return rc


if __name__ == "__main__":
    sys.exit(main())
