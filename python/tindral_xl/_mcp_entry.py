"""TindralXL as a Model Context Protocol server: one JSON-RPC message in, one out.

The add-in's control server hands the body of every authorised ``POST /mcp``
to :func:`dispatch_mcp` through the same bridge as ``/exec`` (same locks, same
thread) and sends back what it returns: a JSON-RPC response as
``application/json``, or, when this returns ``""`` (a notification or a
client's response was accepted), ``202 Accepted`` with an empty body. The
server is stateless: no session id, no SSE stream, every request stands on
its own, so ``tools/list`` and ``tools/call`` work without a prior
``initialize`` (the stdio server in ``tools/mcp`` relies on that to survive
Excel restarts).

The tools run on ``_exec_entry``'s operations (its namespace, output capture,
reload and load), so an agent sees the same behaviour through MCP as through
``/exec``. Every tool argument is checked against the tool's input schema
before anything runs; a bad argument is a JSON-RPC ``-32602`` error, while a
failure of the work itself (agent code that raises, a module that does not
import) is a tool result with ``isError: true``.

:func:`dispatch_mcp` never raises and always returns a ``str``.
"""

import errno
import importlib.util
import json
import keyword
import math
import os
import re
import stat
import sys
import tempfile

from . import _exec_entry, _workbook_tools

# The add-in's watchdog raises these, found by name on this module, in the
# thread running a tools/call that outlives its time limit or the add-in.
from ._exec_entry import AddinClosing, RequestTimeout  # noqa: F401

__all__ = ["dispatch_mcp", "TOOLS", "PROTOCOL_VERSIONS"]

# Newest first. A client asking for another revision is offered the newest.
PROTOCOL_VERSIONS = ("2025-06-18", "2025-03-26")
SERVER_NAME = "TindralXL"

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603

LOG_NAME = "tindralxl.log"
# read_log reads at most this much of the log's end, so a huge log cannot
# make a huge answer.
MAX_LOG_BYTES = 1 << 20
MAX_LOG_LINES = 10000
# Plain ASCII identifiers: the add-in's loader hands module names to Python in
# the ANSI code page, and a path or a dot must never reach the file system.
MODULE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
MAX_MODULE_NAME = 100
# The add-in takes requests of up to 3,145,728 bytes, head and JSON framing
# included, and drops larger ones unanswered. Code and source are held to a
# third of that in characters: plain text fits however it is escaped, and
# a client that finds its request too large anyway says so before sending.
MAX_CODE = 1 << 20
# Windows opens a device for these names whatever the extension.
WINDOWS_DEVICE = re.compile(r"(con|prn|aux|nul|com[0-9]|lpt[0-9])\Z", re.IGNORECASE)

INSTRUCTIONS = (
    "TindralXL runs Python 3.12 inside Microsoft Excel. python_exec and python_eval run code in one "
    "persistent namespace inside Excel's process. Worksheet functions are Python functions in "
    "modules/<name>.py beside the add-in, decorated with @xl_function from tindral_xl; write_module "
    "writes such a file and loads it, list_functions shows what Excel has, read_log shows the add-in's log. "
    "read_range, write_range, set_formula, list_sheets and calculate reach the open workbook's cells. "
    "A cell showing <Type #N> holds a Python object by handle: list_objects and inspect_object show them."
)

TOOLS = [
    {
        "name": "python_exec",
        "description": (
            "Run Python code inside Excel's embedded Python 3.12, in a namespace that persists between calls "
            "(variables and imports stay defined). Returns captured stdout and stderr, and the value of the "
            "last line when it is an expression (as JSON 'result' when possible, and as 'repr'). If the code "
            "raises, the result is an error carrying the traceback and the output captured so far."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "code": {"type": "string", "maxLength": MAX_CODE, "description": "Python statements to run."},
                "timeout": {
                    "type": "number",
                    "exclusiveMinimum": 0,
                    "maximum": 3600,
                    "description": "Seconds the code may run before it is interrupted (default 60).",
                },
            },
            "required": ["code"],
            "additionalProperties": False,
        },
    },
    {
        "name": "python_eval",
        "description": (
            "Evaluate one Python expression in the same persistent namespace as python_exec and return its "
            "value (as JSON 'result' when possible, and as 'repr')."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "expr": {"type": "string", "maxLength": MAX_CODE, "description": "A single Python expression."}
            },
            "required": ["expr"],
            "additionalProperties": False,
        },
    },
    {
        "name": "list_functions",
        "description": (
            "List the worksheet functions the add-in has: for each its Excel name, argument count, the Python "
            "module that defines it, the first line of its docstring, and async: true for an async def, which "
            "Excel calls asynchronously."
        ),
        "inputSchema": {"type": "object", "properties": {}, "additionalProperties": False},
    },
    {
        "name": "reload_module",
        "description": (
            "Reload an already imported user module (a file of the modules folder, by module name) after its "
            "file changed, and report which worksheet functions it now defines."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "module": {
                    "type": "string",
                    "minLength": 1,
                    "maxLength": 255,
                    "description": "Module name, e.g. finance.",
                }
            },
            "required": ["module"],
            "additionalProperties": False,
        },
    },
    {
        "name": "load_module",
        "description": (
            "Import a module file that was added to the modules folder after Excel started (a module already "
            "imported is reloaded), and report which worksheet functions it defines."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "file": {
                    "type": "string",
                    "minLength": 1,
                    "maxLength": 255,
                    "description": "File name in the modules folder, e.g. pricing.py (no path).",
                }
            },
            "required": ["file"],
            "additionalProperties": False,
        },
    },
    {
        "name": "write_module",
        "description": (
            "Create or replace modules/<name>.py beside the add-in with the given Python source, then load or "
            "reload it; this is how to add worksheet functions. In the source, decorate functions with "
            "@xl_function (from tindral_xl import xl_function); Excel numbers arrive as float, text as str. "
            "Source that does not compile is refused and no file is written."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "name": {
                    "type": "string",
                    "pattern": "^[A-Za-z_][A-Za-z0-9_]*$",
                    "maxLength": MAX_MODULE_NAME,
                    "description": "Module name without .py and without any path, e.g. pricing.",
                },
                "source": {
                    "type": "string",
                    "maxLength": MAX_CODE,
                    "description": "The complete Python source of the module.",
                },
            },
            "required": ["name", "source"],
            "additionalProperties": False,
        },
    },
    {
        "name": "cell_errors",
        "description": (
            "Why cells show #VALUE!: the last error of each cell whose worksheet function raised (function, "
            "arguments, exception type and message, traceback of the user's code). With ref, that cell only."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "ref": {
                    "type": "string",
                    "maxLength": 300,
                    "description": "A cell such as B3 or Sheet1!B3 (optional: every cell's last error).",
                }
            },
            "additionalProperties": False,
        },
    },
    {
        "name": "list_objects",
        "description": (
            "The Python objects cells hold by handle (a cell shows <Type #N>; passing that cell to another "
            "function passes the object): handle, type, owning cell (null for an agent's object) and repr cut "
            "to 200 characters. In python_exec, tindral_xl.objects.get/put/delete reach them."
        ),
        "inputSchema": {"type": "object", "properties": {}, "additionalProperties": False},
    },
    {
        "name": "inspect_object",
        "description": (
            "One Python object of a cell by its handle (\"<Model #12>\"): type, owning cell, repr up to 2,000 "
            "characters and public attribute names."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "handle": {"type": "string", "maxLength": 300, "description": "The handle text a cell shows."}
            },
            "required": ["handle"],
            "additionalProperties": False,
        },
    },
    {
        "name": "read_log",
        "description": (
            "Read the last lines of the add-in's log (tindralxl.log in the temporary folder): start-up, "
            "module imports, registrations and worksheet function errors."
        ),
        "inputSchema": {
            "type": "object",
            "properties": {
                "lines": {
                    "type": "integer",
                    "minimum": 1,
                    "maximum": MAX_LOG_LINES,
                    "default": 100,
                    "description": "How many lines from the end (default 100).",
                }
            },
            "additionalProperties": False,
        },
    },
]
# The workbook's tools, carried out on Excel's main thread by the add-in's tick.
TOOLS += [{k: v for k, v in t.items() if k != "handler"} for t in _workbook_tools.TOOLS]

_TOOLS_BY_NAME = {tool["name"]: tool for tool in TOOLS}


class _ParamsError(Exception):
    """The request's params (or a tool's arguments) do not fit: -32602."""


class _ToolFailure(Exception):
    """The tool could not do its work: an isError result, never a protocol error."""

    def __init__(self, text, structured=None):
        super().__init__(text)
        self.text = text
        self.structured = structured


# --- argument checks -----------------------------------------------------------------


def _type_ok(kind, value):
    if kind == "null":
        return value is None
    if kind == "array":
        return isinstance(value, list)
    if kind == "string":
        return isinstance(value, str)
    if kind == "object":
        return isinstance(value, dict)
    if kind == "boolean":
        return isinstance(value, bool)
    if isinstance(value, bool):
        return False
    if kind == "integer":
        return isinstance(value, int) or (isinstance(value, float) and value.is_integer())
    if kind == "number":
        return isinstance(value, (int, float)) and value == value and value not in (float("inf"), float("-inf"))
    return False


def _check(schema, value, where):
    """Checks value against the subset of JSON Schema the tools use; raises
    _ParamsError naming the first thing that does not fit."""
    if "anyOf" in schema:
        for choice in schema["anyOf"]:
            try:
                _check(choice, value, where)
                return
            except _ParamsError:
                pass
        kinds = ", ".join(c.get("type", "?") for c in schema["anyOf"])
        raise _ParamsError("%s must be one of: %s" % (where, kinds))
    kind = schema.get("type")
    if kind and not _type_ok(kind, value):
        raise _ParamsError("%s must be of type %s" % (where, kind))
    if kind == "object":
        props = schema.get("properties", {})
        for key in schema.get("required", ()):
            if key not in value:
                raise _ParamsError("%s is missing the required argument %r" % (where, key))
        for key, item in value.items():
            if key in props:
                _check(props[key], item, "argument %r" % key)
            elif schema.get("additionalProperties", True) is False:
                raise _ParamsError("%s has an unknown argument %r; expected %s" % (where, key, ", ".join(props) or "none"))
    elif kind == "string":
        if len(value) < schema.get("minLength", 0):
            raise _ParamsError("%s must not be empty" % where)
        if "maxLength" in schema and len(value) > schema["maxLength"]:
            raise _ParamsError("%s is too large (%d characters, limit %d)" % (where, len(value), schema["maxLength"]))
        # JSON Schema's patterns are ECMA-262: "$" ends the text, while
        # Python's "$" also matches before a final line feed.
        pattern = schema.get("pattern")
        if pattern and not re.search(pattern[:-1] + r"\Z" if pattern.endswith("$") else pattern, value):
            raise _ParamsError("%s does not match %s" % (where, pattern))
    elif kind == "array":
        if len(value) < schema.get("minItems", 0):
            raise _ParamsError("%s must hold at least %d item(s)" % (where, schema["minItems"]))
        if "items" in schema:
            for i, item in enumerate(value):
                _check(schema["items"], item, "%s[%d]" % (where, i))
    elif kind in ("number", "integer"):
        if "minimum" in schema and value < schema["minimum"]:
            raise _ParamsError("%s must be at least %s" % (where, schema["minimum"]))
        if "exclusiveMinimum" in schema and value <= schema["exclusiveMinimum"]:
            raise _ParamsError("%s must be more than %s" % (where, schema["exclusiveMinimum"]))
        if "maximum" in schema and value > schema["maximum"]:
            raise _ParamsError("%s must be at most %s" % (where, schema["maximum"]))


# --- tool results ------------------------------------------------------------------------


def _result(structured, compact=False):
    """A successful tool result: the structured answer, and the same as JSON
    text for clients that read only text (compact for long lists)."""
    text = json.dumps(structured, separators=(",", ":")) if compact else json.dumps(structured, indent=2)
    return {"content": [{"type": "text", "text": text}], "structuredContent": structured}


def _error_result(text, structured=None):
    result = {"content": [{"type": "text", "text": text}], "isError": True}
    if structured is not None:
        result["structuredContent"] = structured
    return result


def _exec_op(req):
    """Runs one /exec operation through _exec_entry's own entry, so the
    namespace, capture and limits are the ones /exec has. Returns the answer
    fields; a failure answer becomes a _ToolFailure."""
    answer = json.loads(_exec_entry.dispatch_request(json.dumps(req)))
    ok = answer.pop("ok", None)
    if ok is True:
        return answer
    raise _ToolFailure(_failure_text(answer), answer)


def _failure_text(answer):
    parts = [answer.get("traceback") or answer.get("error") or "failed"]
    for key in ("stdout", "stderr"):
        if answer.get(key):
            parts.append("--- %s ---\n%s" % (key, answer[key]))
    return "\n".join(p.rstrip("\n") for p in parts)


def _tool_python_exec(args):
    req = {"op": "exec", "code": args["code"]}
    if "timeout" in args:
        req["timeout"] = args["timeout"]
    return _result(_exec_op(req))


def _tool_python_eval(args):
    return _result(_exec_op({"op": "eval", "expr": args["expr"]}))


def _tool_list_functions(args):
    return _result(_exec_op({"op": "functions"}), compact=True)


def _tool_cell_errors(args):
    req = {"op": "errors"}
    if "ref" in args:
        req["ref"] = args["ref"]
    return _result(_exec_op(req))


def _tool_list_objects(args):
    return _result(_exec_op({"op": "objects"}))


def _tool_inspect_object(args):
    return _result(_exec_op({"op": "objects", "handle": args["handle"]})["object"])


def _tool_reload_module(args):
    return _result(_exec_op({"op": "reload", "module": args["module"]}))


def _tool_load_module(args):
    return _result(_exec_op({"op": "load", "file": args["file"]}))


def _refuse_module_name(name):
    """Why `name` may not become modules/<name>.py, or None. The add-in
    would refuse to import a file whose name Python, the add-in or a module
    imported from elsewhere already takes, so it is never written."""
    if not MODULE_NAME.match(name) or len(name) > MAX_MODULE_NAME:
        return "%r is not a plain module name (letters, digits and _, no path)" % name
    if keyword.iskeyword(name):
        return "%r is a Python keyword" % name
    if name == "tindral_xl" or name in sys.builtin_module_names or name in getattr(sys, "stdlib_module_names", ()):
        return "%r is the name of a module Python or the add-in needs" % name
    if WINDOWS_DEVICE.match(name):
        return "%r is a device name on Windows" % name
    module = sys.modules.get(name)
    if module is not None and not _exec_entry._in_modules_dir(module, os.path.abspath(_exec_entry.modules_dir())):
        return "%r is already imported from %s" % (name, getattr(module, "__file__", None) or "a built-in")
    return None


def _write_atomically(path, data):
    """Writes data to path through a temporary file in the same folder and a
    rename, so a reader (or the next start) never sees half a file."""
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise


def _tool_write_module(args):
    name, source = args["name"], args["source"]
    why = _refuse_module_name(name)
    if why:
        raise _ToolFailure("refused: %s; choose another module name" % why)
    folder = os.path.abspath(_exec_entry.modules_dir())
    path = os.path.join(folder, name + ".py")
    try:
        compile(source, path, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as exc:
        raise _ToolFailure("the source does not compile, nothing was written: %s: %s" % (type(exc).__name__, exc))
    try:
        os.makedirs(folder, exist_ok=True)
        _write_atomically(path, source.encode("utf-8", "surrogatepass"))
    except OSError as exc:
        raise _ToolFailure("could not write %s: %s" % (path, exc))
    # The cached bytecode is checked against the source's size and whole
    # seconds of its time: a quick rewrite of the same length would run stale.
    try:
        os.remove(importlib.util.cache_from_source(path))
    except (OSError, NotImplementedError, ValueError):
        pass
    try:
        fields = _exec_op({"op": "load", "file": name + ".py"})
    except _ToolFailure as exc:
        exc.text = "%s was written, but loading it failed:\n%s" % (path, exc.text)
        raise
    fields["path"] = path
    return _result(fields)


def log_path():
    """The add-in's log: tindralxl.log in the temporary folder as the add-in
    finds it (GetTempPathW's rule on Windows, $TMPDIR else /tmp elsewhere;
    tempfile.gettempdir() follows other rules)."""
    return os.path.join(_temp_dir(), LOG_NAME)


def _temp_dir():
    if os.name == "nt":
        try:
            import ctypes

            buf = ctypes.create_unicode_buffer(520)
            n = ctypes.windll.kernel32.GetTempPathW(len(buf), buf)
            if 0 < n < len(buf):
                return buf.value
        except (ImportError, OSError, AttributeError):
            pass
        for var in ("TMP", "TEMP", "USERPROFILE"):
            if os.environ.get(var):
                return os.environ[var]
        return os.environ.get("SystemRoot", "C:\\Windows")
    return os.environ.get("TMPDIR") or "/tmp"


def _open_log(path):
    """Opens the log for reading by the add-in's own rule for it. Where the temp
    folder is shared (POSIX), only a regular file of this user's that no one
    else may write and that has no other name is read: anything else under
    the name was put there by someone else, and its lines would reach the
    agent as if the add-in had written them. The open never follows a link
    and never waits (a FIFO); the checks are made on the open file. Windows
    keeps a temp folder per user, and the file is opened as it is there.
    Raises _ToolFailure saying why a file is refused."""
    if os.name == "nt":
        return open(path, "rb")
    fd = None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise _ToolFailure("the log %s is a symbolic link; it is not read" % path)
        raise
    try:
        st = os.fstat(fd)
        why = None
        if not stat.S_ISREG(st.st_mode):
            why = "is not a regular file"
        elif st.st_uid != os.geteuid():
            why = "belongs to another user"
        elif st.st_mode & 0o022 or st.st_nlink != 1:
            why = "may be written by other users or has other names"
        if why:
            raise _ToolFailure("the log %s %s; it is not read" % (path, why))
        os.set_blocking(fd, True)
        f = os.fdopen(fd, "rb")
        fd = None
        return f
    finally:
        if fd is not None:
            os.close(fd)


def _tail(path, count):
    """The last `count` lines of the file (at most MAX_LOG_BYTES read from its
    end), and whether the read stopped short of the lines asked for."""
    with _open_log(path) as f:
        f.seek(0, os.SEEK_END)
        size = f.tell()
        start = max(0, size - MAX_LOG_BYTES)
        f.seek(start)
        data = f.read(size - start)
    lines = data.decode("utf-8", "replace").splitlines()
    cut = start > 0 and len(lines) <= count
    if start > 0 and lines:
        lines = lines[1:]  # the first line read is most likely a part of one
    return lines[-count:], cut


def _tool_read_log(args):
    count = int(args.get("lines", 100))
    path = log_path()
    try:
        lines, cut = _tail(path, count)
    except FileNotFoundError:
        raise _ToolFailure("there is no log at %s yet" % path)
    except OSError as exc:
        raise _ToolFailure("cannot read the log %s: %s" % (path, exc))
    text = "\n".join(lines)
    if cut:
        text = "[only the last %d bytes of the log were read]\n%s" % (MAX_LOG_BYTES, text)
    return {"content": [{"type": "text", "text": text}]}


def _workbook_tool(handler):
    """A workbook tool: a bad reference, Excel's refusal or a request Excel
    did not get to in time is the work failing, said in the result."""

    def run(args):
        try:
            return _result(handler(args))
        except (ValueError, RuntimeError, TimeoutError) as exc:
            raise _ToolFailure("%s: %s" % (type(exc).__name__, exc), {"type": type(exc).__name__, "error": str(exc)})

    return run


_TOOL_HANDLERS = {
    "python_exec": _tool_python_exec,
    "python_eval": _tool_python_eval,
    "list_functions": _tool_list_functions,
    "reload_module": _tool_reload_module,
    "load_module": _tool_load_module,
    "write_module": _tool_write_module,
    "read_log": _tool_read_log,
    "cell_errors": _tool_cell_errors,
    "list_objects": _tool_list_objects,
    "inspect_object": _tool_inspect_object,
}
_TOOL_HANDLERS.update({t["name"]: _workbook_tool(t["handler"]) for t in _workbook_tools.TOOLS})


# --- methods -------------------------------------------------------------------------------


def _package_version():
    import tindral_xl

    version = getattr(tindral_xl, "__version__", None)
    return version if isinstance(version, str) else "unknown"


def _m_initialize(params):
    asked = params.get("protocolVersion")
    if not isinstance(asked, str):
        raise _ParamsError('"protocolVersion" must be a string')
    return {
        "protocolVersion": asked if asked in PROTOCOL_VERSIONS else PROTOCOL_VERSIONS[0],
        "capabilities": {"tools": {"listChanged": False}},
        "serverInfo": {"name": SERVER_NAME, "version": _package_version()},
        "instructions": INSTRUCTIONS,
    }


def _m_ping(params):
    return {}


def _m_tools_list(params):
    cursor = params.get("cursor")
    if cursor is not None and not isinstance(cursor, str):
        raise _ParamsError('"cursor" must be a string')
    return {"tools": TOOLS}


def _report_call_limit(name, args, id_):
    """Hands the add-in the time limit of a tool call (python_exec's
    "timeout", else the default) and the JSON-RPC answers its client gets
    should the call be abandoned, blocked in C past the limit or the close."""
    limit = args.get("timeout", _exec_entry.DEFAULT_TIMEOUT) if name == "python_exec" else _exec_entry.DEFAULT_TIMEOUT
    label = "tools/call %s" % name
    try:
        shown = json.dumps(id_)
        label += " (id %s)" % (shown if len(shown) <= 40 else shown[:37] + "...")
        on_timeout = _encode({"jsonrpc": "2.0", "id": id_, "result": _error_result(
            "%s ran past its time limit (%g s) and did not stop when interrupted (blocked in a C call); it was "
            "abandoned and its code may still be running" % (name, limit))})
        on_close = _encode({"jsonrpc": "2.0", "id": id_, "result": _error_result(
            "the add-in closed while %s ran and it did not stop when interrupted (blocked in a C call); its code "
            "may still be running" % name)})
    except (TypeError, ValueError):
        on_timeout = on_close = None  # an id JSON cannot carry: the add-in's fixed answers
    _exec_entry.report_limit(limit, label, on_timeout, on_close)


def _m_tools_call(params, id_=None):
    name = params.get("name")
    if not isinstance(name, str):
        raise _ParamsError('"name" must be a string naming a tool')
    tool = _TOOLS_BY_NAME.get(name)
    if tool is None:
        raise _ParamsError("Unknown tool: %s" % name)
    args = params.get("arguments")
    if args is None:
        args = {}
    _check(tool["inputSchema"], args, "the arguments of %s" % name)
    # Before the tool runs; python_exec's own /exec request then reports
    # nothing more (the first report of a request counts).
    _report_call_limit(name, args, id_)
    try:
        return _TOOL_HANDLERS[name](args)
    except _ToolFailure as exc:
        return _error_result(exc.text, exc.structured)
    except BaseException as exc:  # a fault of the tool is still its result, not the protocol's
        return _error_result("%s failed: %s: %s" % (name, type(exc).__name__, exc))


_METHODS = {
    "initialize": _m_initialize,
    "ping": _m_ping,
    "tools/list": _m_tools_list,
    "tools/call": _m_tools_call,
}


# --- JSON-RPC framing --------------------------------------------------------------------


def _error(id_, code, message):
    return {"jsonrpc": "2.0", "id": id_, "error": {"code": code, "message": message}}


def _valid_id(value):
    # MCP narrows JSON-RPC's ids to strings and numbers; null is not one, nor
    # 1e999, which reads as infinity and could not be echoed in JSON.
    if isinstance(value, float):
        return math.isfinite(value)
    return isinstance(value, str) or (isinstance(value, int) and not isinstance(value, bool))


def _answer(message):
    """The response object for one parsed message, or None when nothing is
    sent back (a notification, or a response from the client)."""
    if isinstance(message, list):
        return _error(None, INVALID_REQUEST, "batches are not supported (removed in MCP 2025-06-18): send one message per request")
    if not isinstance(message, dict) or message.get("jsonrpc") != "2.0":
        return _error(None, INVALID_REQUEST, 'not a JSON-RPC 2.0 message (an object with "jsonrpc": "2.0")')
    has_id = "id" in message
    if has_id and not _valid_id(message["id"]):
        return _error(None, INVALID_REQUEST, '"id" must be a string or a number')
    id_ = message.get("id")
    method = message.get("method")
    if method is None:
        if has_id and ("result" in message or "error" in message):
            return None  # a response; this server sends no requests, so there is nothing to match
        return _error(id_, INVALID_REQUEST, 'a request needs a "method"')
    if not isinstance(method, str):
        return _error(id_, INVALID_REQUEST, '"method" must be a string')
    if not has_id:
        return None  # notifications (initialized, cancelled, ...) need no action here
    params = message.get("params", {})
    if not isinstance(params, dict):
        return _error(id_, INVALID_PARAMS, '"params" must be an object')
    handler = _METHODS.get(method)
    if handler is None:
        return _error(id_, METHOD_NOT_FOUND, "Method not found: %s" % method)
    try:
        result = _m_tools_call(params, id_) if handler is _m_tools_call else handler(params)
    except _ParamsError as exc:
        return _error(id_, INVALID_PARAMS, str(exc))
    return {"jsonrpc": "2.0", "id": id_, "result": result}


def _no_constant(name):
    raise ValueError("%s is not JSON" % name)


def _encode(answer):
    # ASCII only, as _exec_entry does: a lone surrogate stays an escape, so the
    # text always has a UTF-8 form for the add-in.
    return json.dumps(answer, allow_nan=False)


def dispatch_mcp(body):
    """Answers one MCP message (a JSON text): a JSON-RPC response as text, or
    "" when the message needs no answer (HTTP 202). Never raises."""
    id_ = None
    try:
        if not isinstance(body, str):
            return _encode(_error(None, PARSE_ERROR, "Parse error: the body must be text"))
        try:
            message = json.loads(body, parse_constant=_no_constant)
        except (ValueError, RecursionError) as exc:
            return _encode(_error(None, PARSE_ERROR, "Parse error: %s" % exc))
        if isinstance(message, dict) and _valid_id(message.get("id")):
            id_ = message["id"]
        answer = _answer(message)
        return "" if answer is None else _encode(answer)
    except BaseException as exc:
        why = ""
        try:
            why = _exec_entry.log_dispatch_failure(__name__, exc)
            return _encode(_error(id_, INTERNAL_ERROR, "Internal error: %s (see tindralxl.log)" % why))
        except BaseException:
            # json itself may be what broke: a fixed text, the reason kept plain.
            return ('{"jsonrpc":"2.0","id":null,"error":{"code":-32603,"message":"Internal error: %s '
                    '(see tindralxl.log)"}}' % _exec_entry.plain_text(why))


# The add-in checks at every start that the module answering /mcp still has
# this very function (tindral_xl._loading.refresh_exec_entry).
_DISPATCH_CODE = dispatch_mcp.__code__
