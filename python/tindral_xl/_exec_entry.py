"""The agent's way into Excel's Python: one JSON request in, one JSON answer out.

The add-in's control server hands the body of every authorised ``POST /exec``
to :func:`dispatch_request` and sends back what it returns. The function runs
on the server's one exec worker thread with the interpreter lock held; one
request runs at a time, and the server goes on answering ``/ping`` meanwhile.

Request: one JSON object::

    {"op": "<operation>", "id": <any JSON value, optional>,
     "timeout": <seconds, optional>, ...arguments}

``timeout`` (a number above 0 and at most 3600; 60 when absent) bounds the
whole request. When it runs out the add-in raises :class:`RequestTimeout` in
the thread running the request; code blocked inside a C call (a ``sleep``, a
socket read) sees it only when that call returns to Python. Still running 2 s
after the interrupt, the request is abandoned: its client gets the answer of
kind ``"timeout"`` with ``"abandoned": true`` at once, its code may go on
running (its eventual answer is dropped), and the next request runs on a fresh
worker thread. The limit reaches the add-in through :func:`report_limit`.

Operations:

``ping``
    ``{"ok": true, "op": "ping", "python": "3.12.1", "version": "0.1.0"}``:
    the interpreter's version and the add-in's (``tindral_xl.__version__``).
``exec``  (``"code": str``)
    Runs the code in the agent namespace, one dict that persists across
    requests. What the request's own thread writes to standard output and
    standard error is captured (other threads write where they always did),
    and standard input is at its end. When the last statement is an
    expression, its value is returned as well::

        {"ok": true, "stdout": "...", "stderr": "...", "result": <json>, "repr": "..."}

    ``result`` is the value when it is JSON-serialisable, else null; ``repr``
    is its ``repr`` (both null when the code does not end in an expression or
    the value is None).
``eval``  (``"expr": str``)
    Evaluates one expression in the same namespace; the answer has
    ``result``, ``repr``, ``stdout`` and ``stderr`` as above.
``functions``
    The worksheet functions and what Excel has of each:
    ``{"ok": true, "functions": [{"name", "nargs", "module", "doc", "async",
    "slot", "registered_nargs", "state"}, ...]}``, ``doc`` being the first line
    of the docstring or "", ``async`` true for an ``async def`` (Excel calls
    it asynchronously). ``state`` is ``"accepted"`` (Excel has it),
    ``"pending"`` (registered at the next tick), ``"removing"`` (a reload
    dropped it, the cell shows #NAME?, and Excel still has the name: the
    tick asks Excel to let it go at every run), ``"removed"`` (dropped, and
    Excel no longer has it) or ``"unbound"`` (listed, no slot yet);
    ``registered_nargs`` is the count Excel passes.
``reload``  (``"module": str``)
    Reloads an imported user module by name and rebinds its functions in the
    add-in at once. Answers ``{"ok": true, "module": name, "functions":
    [names now listed from it], "rebound": [...], "pending": [...],
    "removed": [...], "refused": [{"name", "why"}], "warnings": [...]}``. A
    module that raises leaves everything as it was (answer of kind
    ``"exception"``). Only modules of the ``modules`` folder are reloaded:
    the package, the standard library and any other module are refused.
``load``  (``"file": str``, or ``"module": str``)
    Imports a file of the ``modules`` folder that was added after the
    add-in started (``"pricing.py"`` or ``"pricing"``, no path); one that is
    imported already is reloaded. Answers as ``reload`` does. A file whose
    name the standard library, the package or a module found earlier on the
    search path takes is refused (a request error).
``read``  (``"ref": str``)
    The values of a range of the workbook: ``{"ok": true, "ref": ref,
    "rows": [[...], ...]}``; an empty cell is null, an error value
    ``{"error": "#N/A"}``. A bad reference or a refusal is an ``"exception"``
    failure (``ValueError``, ``RuntimeError`` or ``TimeoutError``).
``write``  (``"ref": str, "values": [[...], ...]``)
    Writes the rows into the range (or from the one cell ``ref`` on):
    ``{"ok": true, "ref": ref, "written": cells}``; null clears a cell.
``errors``  (``"ref": str``, optional)
    Why cells show an error: the last error of each cell whose worksheet
    function raised (the last 1,000; a success in the cell clears its
    record), oldest first: ``{"ok": true, "errors": [{"cell", "function",
    "args", "type", "message", "traceback"}, ...]}``. With ``ref``
    (``"B3"``, ``"Sheet1!$B$3"``) only that cell's record, if any; a
    ``ref`` without a sheet matches the address on any sheet.
``objects``  (``"handle": str``, optional)
    The Python objects cells hold by handle, oldest first: ``{"ok": true,
    "objects": [{"handle", "type", "cell", "repr"}, ...]}`` (``repr`` cut to
    200 characters, ``cell`` null for an agent's object). With ``handle``,
    ``{"ok": true, "object": {...}}``: that one with a longer ``repr`` and
    its ``attributes``; a handle of no live object is a request error.

Every answer is one JSON object with ``"ok"``, and carries the request's
``"id"`` when it had one. A failure has ``"ok": false`` and ``"error"``, a
message, and ``"kind"``:

* ``"request"``: the request itself is malformed (not JSON, not an object,
  unknown ``op``, an argument missing or of the wrong type);
* ``"exception"``: the agent's code (or the reload) raised; the answer also
  has ``"type"`` (the exception class name), ``"traceback"`` (text),
  ``"stdout"`` and ``"stderr"`` as captured up to the failure;
* ``"timeout"``: the request's time limit ran out; the fields are those of
  ``"exception"``;
* ``"interrupted"``: the add-in closed while the request ran; the same fields.

* ``"internal"``: the add-in's own dispatch failed (logged with its
  exception); the answer names the exception in ``"type"`` and ``"error"``.

A ``"traceback"`` starts at the agent's code (or the reloaded module's), not
at the add-in's own frames above it.

Captured output longer than 1,048,576 bytes of UTF-8, and a ``repr`` or
text ``result`` as long, is cut there (never inside a character) and ends
with a marker naming how many bytes were cut; the answer then has
``"truncated": true``. A non-text ``result`` whose JSON is that long is
null, its ``repr`` cut.

:func:`dispatch_request` never raises and always returns a ``str``, even for
code that raises ``SystemExit`` or ``KeyboardInterrupt``.
"""

import ast
import contextlib
import importlib
import io
import json
import math
import os
import sys
import threading
import traceback

__all__ = [
    "dispatch_request",
    "namespace",
    "modules_dir",
    "RequestInterrupted",
    "RequestTimeout",
    "AddinClosing",
]

# The namespace that exec and eval share across requests.
namespace = {"__name__": "__tindral_agent__", "__builtins__": __builtins__}

# Captured output larger than this many bytes of UTF-8 is cut, so one
# runaway print cannot make an answer of unbounded size. The same bound holds
# for a result and its repr.
MAX_CAPTURE = 1 << 20

# The request's time limit in seconds: the add-in reads the same field.
DEFAULT_TIMEOUT = 60
MAX_TIMEOUT = 3600


class RequestInterrupted(BaseException):
    """Raised by the add-in inside a running request. A BaseException, so
    that ``except Exception`` in agent code does not swallow it."""


class RequestTimeout(RequestInterrupted):
    """The request's time limit ran out."""


class AddinClosing(RequestInterrupted):
    """The add-in is closing while the request runs."""


class _RequestError(Exception):
    """The request is malformed; told apart from code that raised."""


def _cut_marker(count):
    return "\n[... %d more bytes cut]" % count


def _utf8(text):
    # Lone surrogates (which print accepts) count as the three bytes they
    # would take; the answer carries them as escapes.
    return text.encode("utf-8", "surrogatepass")


def _head(data, room):
    """The longest start of the UTF-8 bytes `data` within `room` bytes that
    ends on a character boundary, as text."""
    end = room
    while end > 0 and data[end] & 0xC0 == 0x80:
        end -= 1
    return data[:end].decode("utf-8", "surrogatepass")


class _Capture(io.StringIO):
    """A request's stdout or stderr: keeps the first MAX_CAPTURE bytes (as
    UTF-8, never half a character) and counts the bytes of the rest."""

    def __init__(self):
        super().__init__()
        self.kept = 0
        self.cut = 0

    def write(self, s):
        if not isinstance(s, str):
            raise TypeError("write() argument must be str, not %s" % type(s).__name__)
        if self.cut:
            # Once full, only counted: a character that fits later must not
            # land after the gap.
            self.cut += len(_utf8(s))
            return len(s)
        data = _utf8(s)
        room = MAX_CAPTURE - self.kept
        if len(data) <= room:
            super().write(s)
            self.kept += len(data)
            return len(s)
        head = _head(data, room)
        super().write(head)
        kept = len(_utf8(head))
        self.kept += kept
        self.cut += len(data) - kept
        return len(s)

    def text(self):
        value = self.getvalue()
        return value + _cut_marker(self.cut) if self.cut else value


# Thread id -> {"stdout", "stderr", "stdin"} of the request that thread runs.
# Only the exec worker's thread is ever entered here.
_routes = {}


class _ThreadRouter:
    """Stands in for sys.stdout, sys.stderr or sys.stdin, once and for good:
    the thread running a request reaches that request's own streams, every
    other thread (worksheet functions, threads an earlier request started)
    the stream that was in place before."""

    def __init__(self, name, fallback):
        self._name = name
        self._fallback = fallback

    def _target(self):
        streams = _routes.get(threading.get_ident())
        return self._fallback if streams is None else streams[self._name]

    def write(self, s):
        target = self._target()
        # No stream at all (a process without a console): print stays silent.
        return len(s) if target is None else target.write(s)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def flush(self):
        target = self._target()
        if target is not None and hasattr(target, "flush"):
            target.flush()

    def __getattr__(self, name):
        target = self._target()
        if target is None:
            raise AttributeError(name)
        return getattr(target, name)


def _install_routers():
    for name in ("stdout", "stderr", "stdin"):
        current = getattr(sys, name)
        if not isinstance(current, _ThreadRouter):
            setattr(sys, name, _ThreadRouter(name, current))


def _cut_text(text):
    if len(text) * 4 <= MAX_CAPTURE:  # no character takes more than four bytes
        return text, False
    data = _utf8(text)
    if len(data) <= MAX_CAPTURE:
        return text, False
    head = _head(data, MAX_CAPTURE)
    return head + _cut_marker(len(data) - len(_utf8(head))), True


def _jsonable(value):
    """(value, cut): the value when it is JSON-serialisable and not too long,
    a long text cut, else None."""
    if isinstance(value, str):
        return _cut_text(value)
    try:
        text = json.dumps(value, allow_nan=False)
    except (TypeError, ValueError, RecursionError):
        return None, False
    if len(text) > MAX_CAPTURE:
        return None, True
    return value, False


def _safe_repr(value):
    try:
        return repr(value)
    except BaseException as exc:  # a broken __repr__ must not break the answer
        return "<repr failed: %s>" % type(exc).__name__


def _value_fields(value):
    if value is None:
        return {"result": None, "repr": None}
    result, result_cut = _jsonable(value)
    text, repr_cut = _cut_text(_safe_repr(value))
    fields = {"result": result, "repr": text}
    if result_cut or repr_cut:
        fields["truncated"] = True
    return fields


# Each thread's capture objects, kept from one request to its next: a thread
# runs one request at a time, and only that thread's requests reach them
# (an abandoned request's thread keeps its own; the fresh worker has others).
_kept = threading.local()


def _emptied(stream, make):
    """`stream` emptied for the next request, or a fresh one from `make` when
    there is none or the last request's code closed it."""
    if stream is None or stream.closed:
        return make()
    stream.seek(0)
    stream.truncate(0)
    return stream


def _thread_streams():
    """This thread's stdout and stderr captures and stdin, empty."""
    streams = getattr(_kept, "streams", None)
    if streams is None:
        streams = _kept.streams = {"stdout": None, "stderr": None, "stdin": None}
    for name in ("stdout", "stderr"):
        capture = streams[name] = _emptied(streams[name], _Capture)
        capture.kept = 0
        capture.cut = 0
    streams["stdin"] = _emptied(streams["stdin"], io.StringIO)
    return streams


@contextlib.contextmanager
def _captured():
    """Routes this thread's stdout and stderr into two captures and gives it
    an empty stdin, for the length of the block. A block inside another
    (agent code that dispatches a request itself) gets captures of its own,
    and the outer block's come back when it ends."""
    _install_routers()
    nested = getattr(_kept, "busy", False)
    if nested:
        streams = {"stdout": _Capture(), "stderr": _Capture(), "stdin": io.StringIO()}
    else:
        streams = _thread_streams()
        _kept.busy = True
    tid = threading.get_ident()
    outer = _routes.get(tid)
    _routes[tid] = streams
    try:
        yield streams["stdout"], streams["stderr"]
    finally:
        if outer is None:
            _routes.pop(tid, None)
        else:
            _routes[tid] = outer
        if not nested:
            _kept.busy = False


def _output_fields(out, err):
    fields = {"stdout": out.text(), "stderr": err.text()}
    if out.cut or err.cut:
        fields["truncated"] = True
    return fields


# expression -> its code object, for the eval op: an agent that polls asks
# the same few expressions again and again, and compiling one cost as much
# as the rest of the request. A code object is never changed by running it.
_expressions = {}


def _compiled_expression(expr):
    code = _expressions.get(expr)
    if code is None:
        code = compile(expr, "<agent>", "eval")
        if len(_expressions) >= 128 or len(expr) > 1000:  # a few short ones are what repeats
            if len(expr) > 1000:
                return code
            _expressions.clear()
        _expressions[expr] = code
    return code


def _run(code, mode):
    """Runs code in the shared namespace, capturing output. Returns the
    answer fields; an exception of the code is re-raised with the captured
    output attached."""
    value = None
    with _captured() as (out, err):
        try:
            if mode == "eval":
                value = eval(_compiled_expression(code), namespace)
            else:
                tree = ast.parse(code, "<agent>", "exec")
                last = None
                if tree.body and isinstance(tree.body[-1], ast.Expr):
                    last = ast.Expression(tree.body.pop().value)
                exec(compile(tree, "<agent>", "exec"), namespace)
                if last is not None:
                    value = eval(compile(last, "<agent>", "eval"), namespace)
        except BaseException as exc:
            exc._tindral_output = _output_fields(out, err)
            raise
    fields = _output_fields(out, err)
    truncated = fields.pop("truncated", False)
    fields.update(_value_fields(value))
    if truncated:
        fields["truncated"] = True
    return fields


def _string_arg(req, key):
    value = req.get(key)
    if not isinstance(value, str):
        raise _RequestError('"%s" must be a string' % key)
    return value


def _op_ping(req):
    import tindral_xl

    return {"op": "ping", "python": "%d.%d.%d" % sys.version_info[:3], "version": tindral_xl.__version__}


def _op_exec(req):
    return _run(_string_arg(req, "code"), "exec")


def _op_eval(req):
    return _run(_string_arg(req, "expr"), "eval")


def _registry():
    import tindral_xl

    return getattr(tindral_xl, "_registry", [])


def _native():
    """The add-in's functions in the package; None outside the add-in."""
    return sys.modules.get("tindral_xl._native")


_CO_COROUTINE = 0x80  # the code flag of an ``async def``


def _describe(entry):
    name, func, nargs = entry[:3]
    doc = getattr(func, "__doc__", None) or ""
    lines = doc.strip().splitlines()
    return {
        "name": name,
        "nargs": nargs,
        "module": getattr(func, "__module__", None),
        "doc": lines[0].strip() if lines else "",
        # The package lists every asynchronous function as a plain async def.
        "async": bool(getattr(getattr(func, "__code__", None), "co_flags", 0) & _CO_COROUTINE),
    }


def list_functions():
    """Every listed worksheet function with what Excel has of it, then the
    removed names that still hold a slot."""
    native = _native()
    slots = {s["name"]: s for s in native.slots()} if native is not None else {}
    out = []
    for entry in list(_registry()):
        if type(entry) is not tuple or len(entry) not in (3, 4):
            continue
        item = _describe(entry)
        slot = slots.pop(item["name"], None)
        item["slot"] = slot["slot"] if slot else None
        item["registered_nargs"] = slot["nargs"] if slot else None
        item["state"] = slot["state"] if slot else "unbound"
        out.append(item)
    for name, slot in slots.items():
        out.append({"name": name, "nargs": None, "module": None, "doc": "", "async": bool(slot.get("async")),
                    "slot": slot["slot"], "registered_nargs": slot["nargs"], "state": slot["state"]})
    return out


def _op_functions(req):
    return {"functions": list_functions()}


# Names whose reload would empty the registry or replace this very channel.
_PACKAGE = "tindral_xl"


def _check_user_module(name):
    if name == _PACKAGE or name.startswith(_PACKAGE + "."):
        raise _RequestError(
            "reloading %s is refused: the package holds the registry and this agent channel; "
            "reload the modules that use it, or restart Excel to update the package" % name
        )


def _failed(exc, name, verb):
    from tindral_xl import _loading

    lines = _loading.describe_failure(exc)
    native = _native()
    if native is not None:
        native.log("Failed to %s module: %s\n%s" % (verb, name, "\n".join(lines)))
    raise exc


def _bind(name):
    """Rebinds the registry in the add-in now and answers what Excel has;
    outside the add-in (no Excel to bind to) only what the registry lists."""
    listed = [e[0] for e in list(_registry())
              if type(e) is tuple and len(e) in (3, 4) and getattr(e[1], "__module__", None) == name]
    native = _native()
    if native is None:
        return {"module": name, "functions": listed}
    outcomes = native.sync()
    if outcomes is None:
        raise RuntimeError("the add-in could not run its registration pass (see tindralxl.log)")
    mine = set(listed)
    answer = {"module": name, "functions": listed, "rebound": [], "pending": [], "removed": [], "refused": [],
              "warnings": []}
    for o in outcomes:
        state = o["state"]
        if state == "removed":
            answer["removed"].append(o["name"])
        elif o["name"] not in mine:
            continue
        elif state == "refused":
            answer["refused"].append({"name": o["name"], "why": o.get("why", "")})
        else:
            answer[state].append(o["name"])
            if o.get("why"):
                answer["warnings"].append("%s: %s" % (o["name"], o["why"]))
    return answer


def reload_module(name):
    """Reloads user module ``name`` and rebinds its functions in the add-in."""
    from tindral_xl import _loading

    _check_user_module(name)
    module = sys.modules.get(name)
    if module is None:
        raise _RequestError("module %r is not imported; use load for a file added after start" % name)
    folder = os.path.abspath(modules_dir())
    if not _loading.is_user_module(module, folder):
        # Re-running os, sys, builtins or encodings in place would break
        # Python itself under Excel, not just one worksheet function.
        raise _RequestError("reloading %s is refused: only modules of the modules folder (%s) are reloaded, and it "
                            "was imported from %s" % (name, folder, getattr(module, "__file__", None) or "a built-in"))
    exc = _loading.reload_user_module(module)
    if exc is not None:
        _failed(exc, name, "reload")
    return _bind(name)


def load_module(name):
    """Imports a file added to the modules folder after start and binds its
    functions (new names register at the next tick)."""
    from tindral_xl import _loading

    _check_user_module(name)
    if name in sys.modules:
        raise _RequestError("module %r is already imported; use reload" % name)
    importlib.invalidate_caches()
    folder = os.path.abspath(modules_dir())
    path = os.path.join(folder, name + ".py")
    if not name.isidentifier() or not os.path.isfile(path):
        raise _RequestError("no module file %s.py in %s" % (name, folder))
    why = _loading.user_module_refusal(name, folder)
    if why:
        raise _RequestError("module %s.py is refused: %s; rename the file" % (name, why))
    exc = _loading._guarded(lambda: _loading.load_user_module(name, folder))
    if exc is not None:
        sys.modules.pop(name, None)
        _failed(exc, name, "import")
    return _bind(name)


def modules_dir():
    """The ``modules`` folder beside the add-in: the package sits in the
    add-in's folder, so that folder is the package folder's parent."""
    from tindral_xl import _loading

    return _loading.modules_folder()


def _op_reload(req):
    return reload_module(_string_arg(req, "module"))


def _in_modules_dir(module, folder):
    path = getattr(module, "__file__", None)
    return bool(path) and os.path.normcase(os.path.dirname(os.path.abspath(path))) == os.path.normcase(folder)


def _op_load(req):
    # "file" names the file; "module" (the module's name) is taken too.
    file_name = _string_arg(req, "file" if "file" in req or "module" not in req else "module")
    name = file_name[:-3] if file_name.endswith(".py") else file_name
    if not name.isidentifier():
        raise _RequestError("%r is not a module file name of the modules folder (no path, e.g. pricing.py)" % file_name)
    folder = os.path.abspath(modules_dir())
    if not os.path.isfile(os.path.join(folder, name + ".py")):
        raise _RequestError("there is no %s.py in %s" % (name, folder))
    module = sys.modules.get(name)
    if module is not None:
        if not _in_modules_dir(module, folder):
            raise _RequestError("module %r is already imported from %s, not from the modules folder"
                                % (name, getattr(module, "__file__", None) or "a built-in"))
        return reload_module(name)
    return load_module(name)


def _op_read(req):
    from tindral_xl import _workbook_tools
    return _workbook_tools.read_range({"ref": _string_arg(req, "ref")})


def _op_write(req):
    from tindral_xl import _workbook_tools
    values = req.get("values")
    if not isinstance(values, list):
        raise _RequestError("'values' must be a list of rows")
    return _workbook_tools.write_range({"ref": _string_arg(req, "ref"), "values": values})


def _op_errors(req):
    from tindral_xl import _errors
    if req.get("ref") is None:
        return {"errors": _errors.all_records()}
    entry = _errors.find(_string_arg(req, "ref"))
    return {"errors": [entry] if entry else []}


def _op_objects(req):
    from tindral_xl import objects
    if req.get("handle") is None:
        return {"objects": objects.list()}
    try:
        return {"object": objects.inspect(_string_arg(req, "handle"))}
    except KeyError as e:
        raise _RequestError(e.args[0]) from None


_OPS = {
    "ping": _op_ping,
    "exec": _op_exec,
    "eval": _op_eval,
    "functions": _op_functions,
    "reload": _op_reload,
    "load": _op_load,
    "read": _op_read,
    "write": _op_write,
    "errors": _op_errors,
    "objects": _op_objects,
}


def _encode(answer):
    # ASCII only: a lone surrogate in captured output or a value stays an
    # escape, so the text always has a UTF-8 form for the add-in.
    try:
        return json.dumps(answer, allow_nan=False)
    except BaseException:
        # Only reachable through a value that slipped past _jsonable.
        answer = {k: v for k, v in answer.items() if k in ("ok", "error", "kind", "type")}
        answer.setdefault("ok", False)
        return json.dumps(answer, default=str)


# The add-in's own code: this package's files and the import machinery that
# a reload runs through.
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def _own_frame(filename):
    if filename.startswith("<"):  # "<agent>", "<string>": code without a file
        return filename.startswith("<frozen ")
    path = filename.replace("\\", "/")
    folder = os.path.normcase(os.path.dirname(os.path.abspath(filename)))
    return path.endswith("/importlib/__init__.py") or folder == os.path.normcase(_PACKAGE_DIR)


def _agent_frames(tb):
    """The traceback from the first frame that is not the add-in's own on:
    an agent reads from its own code down, not through the dispatcher."""
    while tb is not None and _own_frame(tb.tb_frame.f_code.co_filename):
        tb = tb.tb_next
    return tb


def _traceback_text(exc, message=None):
    """The traceback as Python prints it, from the agent's code on. With
    `message`, the last line says it after the class name (an interrupt
    raised as a bare class carries no message of its own)."""
    tb = _agent_frames(exc.__traceback__)
    if message is None:
        return "".join(traceback.format_exception(type(exc), exc, tb))
    head = "Traceback (most recent call last):\n" + "".join(traceback.format_tb(tb)) if tb is not None else ""
    return "%s%s: %s\n" % (head, type(exc).__name__, message)


def _failure_answer(exc, message=None):
    output = getattr(exc, "_tindral_output", None) or {"stdout": "", "stderr": ""}
    try:
        tb = _traceback_text(exc, message)
    except BaseException:
        tb = ""
    try:
        message = str(exc)
    except BaseException:
        message = "<unprintable %s>" % type(exc).__name__
    answer = {
        "ok": False,
        "kind": "exception",
        "type": type(exc).__name__,
        "error": message,
        "traceback": tb,
    }
    answer.update(output)
    return answer


def _interrupted_answer(exc, limit):
    if isinstance(exc, RequestTimeout):
        error = "the request ran past its time limit"
        kind, error = "timeout", error if limit is None else error + " (%g s)" % limit
    else:
        kind, error = "interrupted", "the add-in closed while the request ran"
    answer = _failure_answer(exc, error)
    answer.update(kind=kind, error=error)
    return answer


def _time_limit(req):
    """The request's time limit in seconds: a number above 0 and at most
    MAX_TIMEOUT. An int of any size is compared as it is (converting one of
    400 digits to float would raise)."""
    if "timeout" not in req:
        return DEFAULT_TIMEOUT
    value = req["timeout"]
    if (type(value) not in (int, float) or (type(value) is float and not math.isfinite(value))
            or not 0 < value <= MAX_TIMEOUT):
        raise _RequestError('"timeout" must be a number of seconds above 0 and at most %d' % MAX_TIMEOUT)
    return value


def report_limit(seconds, label, on_timeout, on_close):
    """Hands the running request's time limit to the add-in before anything
    runs: the add-in arms the default and never reads the body itself.
    `label` names the request in the busy answer and the log; `on_timeout`
    and `on_close` are the answers (texts) its client gets should the
    request be abandoned: when it does not stop within seconds of its
    interrupt (blocked in a C call) at its limit or at the add-in's close.
    The first report of a request counts. True when the add-in took it;
    False outside a request of the add-in (tests, a worksheet function)."""
    native = sys.modules.get("tindral_xl._native")
    report = getattr(native, "exec_limit", None)
    if report is None:
        return False
    try:
        return bool(report(float(seconds), label, on_timeout, on_close))
    except Exception:
        return False


def _abandon_fields(limit):
    """The fields of an abandoned request's answers, after its id."""
    timeout = {"ok": False, "kind": "timeout", "abandoned": True,
               "error": "the request ran past its time limit of %g s and did not stop when interrupted (blocked "
                        "in a C call); it was abandoned and its code may still be running" % limit}
    close = {"ok": False, "kind": "interrupted", "abandoned": True,
             "error": "the add-in closed while the request ran and the request did not stop when interrupted "
                      "(blocked in a C call); its code may still be running"}
    return timeout, close


# limit -> the two answers' texts after their opening brace, for requests
# that share a limit (most keep the default): every request reports them
# before it runs, and encoding them afresh each time cost more than a ping.
_abandon_tails = {}


def _abandon_answers(answer, limit):
    """The answers of an /exec request abandoned at its limit and at a close:
    the texts _encode makes of `answer` (empty, or just the id) with the
    fields above."""
    if set(answer) - {"id"}:
        timeout, close = _abandon_fields(limit)
        return _encode(dict(answer, **timeout)), _encode(dict(answer, **close))
    key = (type(limit), limit)
    tails = _abandon_tails.get(key)
    if tails is None:
        if len(_abandon_tails) >= 64:  # limits are chosen per request: keep a few
            _abandon_tails.clear()
        tails = tuple(_encode(fields)[1:] for fields in _abandon_fields(limit))
        _abandon_tails[key] = tails
    if "id" not in answer:
        return "{" + tails[0], "{" + tails[1]
    try:
        head = '{"id": %s, ' % json.dumps(answer["id"], allow_nan=False)
    except (TypeError, ValueError, RecursionError):
        timeout, close = _abandon_fields(limit)
        return _encode(dict(answer, **timeout)), _encode(dict(answer, **close))
    return head + tails[0], head + tails[1]


def _label(what, req):
    """What a request does, with its id: "exec (id 7)"."""
    if "id" not in req:
        return what
    try:
        shown = json.dumps(req["id"])
    except (TypeError, ValueError):
        shown = "?"
    return "%s (id %s)" % (what, shown if len(shown) <= 40 else shown[:37] + "...")


def _dispatch(body):
    if not isinstance(body, str):
        return {"ok": False, "kind": "request", "error": "request body must be text"}
    try:
        req = json.loads(body)
    except (ValueError, RecursionError) as exc:
        return {"ok": False, "kind": "request", "error": "request is not valid JSON: %s" % exc}
    return _dispatch_parsed(req)


def _dispatch_parsed(req):
    if not isinstance(req, dict):
        return {"ok": False, "kind": "request", "error": "request must be a JSON object"}
    answer = {}
    if "id" in req:
        if isinstance(req["id"], float) and not math.isfinite(req["id"]):
            # 1e999 reads as infinity, which no JSON answer can echo.
            return {"ok": False, "kind": "request", "error": '"id" must be a finite number, a string or another JSON value'}
        answer["id"] = req["id"]
    op = req.get("op")
    handler = _OPS.get(op) if isinstance(op, str) else None
    if handler is None:
        answer.update(ok=False, kind="request", error="unknown op %r; expected one of %s" % (op, ", ".join(_OPS)))
        return answer
    limit = DEFAULT_TIMEOUT
    try:
        limit = _time_limit(req)
        report_limit(limit, _label(op, req), *_abandon_answers(answer, limit))
        fields = handler(req)
    except _RequestError as exc:
        answer.update(ok=False, kind="request", error=str(exc))
        return answer
    except RequestInterrupted as exc:
        answer.update(_interrupted_answer(exc, limit))
        return answer
    except BaseException as exc:  # SystemExit and KeyboardInterrupt included
        answer.update(_failure_answer(exc))
        return answer
    answer["ok"] = True
    answer.update(fields)
    return answer


def dispatch_request(body):
    """Answers one agent request (a JSON text) with one JSON text. Never
    raises; always returns a str."""
    return _answer(_dispatch, body)


def dispatch_parsed_request(req):
    """dispatch_request for a body the add-in has already read as JSON:
    `req` is what json.loads would have made of it. The add-in's reader
    takes a big body in a fraction of json.loads' time, and gives the text
    to dispatch_request whenever it is not sure to read it the same way."""
    return _answer(_dispatch_parsed, req)


# How the add-in finds the parsed-request entry: on the function it would
# otherwise call, so a dispatch_request replaced at run time (until the next
# open repairs it) is still the one that answers, with the text.
dispatch_request.parsed = dispatch_parsed_request


def _answer(dispatch, *args):
    """The JSON text of dispatch(*args); never raises."""
    try:
        return _encode(dispatch(*args))
    except BaseException as exc:
        why = ""
        try:
            if isinstance(exc, RequestInterrupted):
                # The interrupt came outside the agent's code (while the
                # request was read or the answer made): still say what it was.
                return _encode(_interrupted_answer(exc, None))
            why = log_dispatch_failure(__name__, exc)
            return _encode({"ok": False, "kind": "internal", "type": type(exc).__name__,
                            "error": "dispatch failed: %s (see tindralxl.log)" % why})
        except BaseException:
            # json itself may be what broke (a module shadowing it): a fixed
            # text, with the reason kept to characters that need no escape.
            return ('{"ok":false,"kind":"internal","error":"dispatch failed: %s (see tindralxl.log)"}'
                    % plain_text(why))


def plain_text(text, limit=300):
    """`text` cut to `limit` characters, each one that JSON or a log would
    need to escape (quotes, backslashes, controls, beyond ASCII) made "?".
    For answers written without the json module."""
    keep = " .,:;'()<>_-/=+*#@!?[]{}%&|~^$"
    return "".join(c if c.isascii() and (c.isalnum() or c in keep) else "?" for c in str(text)[:limit])


def log_dispatch_failure(where, exc):
    """Logs that the add-in's own dispatch in module `where` failed, with the
    exception's type and message, and returns that "Type: message" text.
    Agent code that raises is an answer, not this: this is the channel itself
    broken (a module shadowing one the package needs, a package file damaged)."""
    try:
        message = str(exc)
    except BaseException:
        message = "<unprintable>"
    why = "%s: %s" % (type(exc).__name__, message) if message else type(exc).__name__
    why = why.replace("\r", " ").replace("\n", " ")  # one log line
    try:
        native = _native()
        if native is not None:
            native.log("%s: dispatch failed: %s" % (where, why))
    except BaseException:
        pass
    return why


# The add-in checks at every start that the module answering /exec still has
# this very function (tindral_xl._loading.refresh_exec_entry).
_DISPATCH_CODE = dispatch_request.__code__
