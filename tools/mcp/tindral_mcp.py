#!/usr/bin/env python3
"""TindralXL's MCP server for stdio clients (standard library only, Python 3.8+).

An MCP client (a desktop assistant, a coding agent, an IDE) starts this script
and speaks MCP to it over standard input and output, one JSON-RPC message per
line. Each message is forwarded to the running add-in's ``POST /mcp``; the port
and bearer token are read from session.json afresh for every message, so the
script survives Excel restarts and port changes. Diagnostics go to standard
error only; standard output carries nothing but protocol lines.

When no add-in answers, ``initialize``, ``ping`` and ``tools/list`` are still
answered here (from a copy of the add-in's tool list), and ``tools/call`` gets
an error result saying that Excel with TindralXL is not running.

    python tindral_mcp.py [--session PATH]

session.json: %APPDATA%\\TindralXL\\session.json on Windows,
$XDG_CONFIG_HOME (else ~/.config)/TindralXL/session.json elsewhere.
"""

import argparse
import ast
import http.client
import json
import os
import sys

# The add-in's answers when it cannot be asked. A test keeps these equal to
# the package's (tindral_xl._mcp_entry).
PROTOCOL_VERSIONS = ("2025-06-18", "2025-03-26")
SERVER_NAME = "TindralXL"


def _read_version():
    """The release number from its one source, the file VERSION: in the
    Windows package (agent/tindral_mcp.py) the build's copy of it,
    tindral_xl/_version.py beside agent/; in a source checkout VERSION itself
    (tools/mcp/../../VERSION). "unknown" when neither is there."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        with open(os.path.join(here, os.pardir, "tindral_xl", "_version.py"), encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for node in tree.body:
            if (isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__version__" for t in node.targets)
                    and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str)):
                return node.value.value
    except (OSError, ValueError, SyntaxError):
        pass
    try:
        with open(os.path.join(here, os.pardir, os.pardir, "VERSION"), encoding="ascii") as f:
            return f.read().strip() or "unknown"
    except (OSError, ValueError):
        return "unknown"


VERSION = _read_version()
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
                "code": {"type": "string", "maxLength": 1048576, "description": "Python statements to run."},
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
                "expr": {"type": "string", "maxLength": 1048576, "description": "A single Python expression."}
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
                    "maxLength": 100,
                    "description": "Module name without .py and without any path, e.g. pricing.",
                },
                "source": {
                    "type": "string",
                    "maxLength": 1048576,
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
                    "maximum": 10000,
                    "default": 100,
                    "description": "How many lines from the end (default 100).",
                }
            },
            "additionalProperties": False,
        },
    },
]
# The workbook's tools.
TOOLS += [{'name': 'read_range',
  'description': 'Read the values of a cell range of the open Excel workbook. Returns {ref, rows}: a list of '
                 'rows, each a list of values (number, string, boolean, null for an empty cell, {error: '
                 "'#DIV/0!'} for an error value). Formulas come back as their computed values. At most "
                 '1,000,000 cells per call.',
  'inputSchema': {'type': 'object',
                  'properties': {'ref': {'type': 'string',
                                         'description': "A1 reference: 'Sheet1!A1:C10', 'B2' (active sheet), "
                                                        "'My sheet'!A1 quoted, or a defined name.",
                                         'minLength': 1,
                                         'maxLength': 1024}},
                  'required': ['ref'],
                  'additionalProperties': False}},
 {'name': 'write_range',
  'description': "Write constant values into cells of the open Excel workbook. 'values' is a list of equally "
                 'long rows. Give the whole target range (its shape must match the values) or a single cell, '
                 'which becomes the top-left corner of the block. null clears a cell. Use set_formula for '
                 'formulas. Returns {ref, written}.',
  'inputSchema': {'type': 'object',
                  'properties': {'ref': {'type': 'string',
                                         'description': "A1 reference: 'Sheet1!A1:C10', 'B2' (active sheet), "
                                                        "'My sheet'!A1 quoted, or a defined name.",
                                         'minLength': 1,
                                         'maxLength': 1024},
                                 'values': {'type': 'array',
                                            'minItems': 1,
                                            'description': 'Rows of cell values.',
                                            'items': {'type': 'array',
                                                      'minItems': 1,
                                                      'items': {'description': 'A cell value: number, '
                                                                               'string, boolean, null '
                                                                               '(clears the cell), or '
                                                                               '{"error": "#N/A"}.',
                                                                'anyOf': [{'type': 'number'},
                                                                          {'type': 'string'},
                                                                          {'type': 'boolean'},
                                                                          {'type': 'null'},
                                                                          {'type': 'object',
                                                                           'properties': {'error': {'type': 'string'}},
                                                                           'required': ['error'],
                                                                           'additionalProperties': False}]}}}},
                  'required': ['ref', 'values'],
                  'additionalProperties': False}},
 {'name': 'set_formula',
  'description': "Enter a formula (such as '=SUM(A1:A10)' or '=MYFUNC(2, 3)', including worksheet functions "
                 'defined in Python) into one cell of the open Excel workbook. Excel computes it; read the '
                 'cell afterwards to see the result.',
  'inputSchema': {'type': 'object',
                  'properties': {'ref': {'type': 'string',
                                         'description': "The one cell to hold the formula, e.g. 'Sheet1!D2'.",
                                         'minLength': 1,
                                         'maxLength': 1024},
                                 'formula': {'type': 'string',
                                             'minLength': 1,
                                             'maxLength': 8192,
                                             'description': "The formula, starting with '='."}},
                  'required': ['ref', 'formula'],
                  'additionalProperties': False}},
 {'name': 'list_sheets',
  'description': 'List the sheets of the active Excel workbook, in order, and the current selection (an A1 '
                 'reference, or null). Returns {sheets, selection}.',
  'inputSchema': {'type': 'object', 'properties': {}, 'additionalProperties': False}},
 {'name': 'calculate',
  'description': 'Recalculate every open Excel workbook now (Calculate Now), e.g. after changing worksheet '
                 'functions.',
  'inputSchema': {'type': 'object', 'properties': {}, 'additionalProperties': False}}]

# Seconds to wait for the add-in beyond a tool's own time limit.
ANSWER_SLACK = 30.0
DEFAULT_TOOL_TIMEOUT = 60.0
# The add-in drops a request of 3,145,728 bytes or more (head included)
# without an answer; a body within this limit always leaves room for the head.
MAX_REQUEST = 3145728
MAX_BODY = MAX_REQUEST - 1024


class Unreachable(Exception):
    """No add-in to forward to; the message says why, for a model to read."""


class TooLarge(Exception):
    """A message the add-in would drop unanswered for its size; never sent."""


def log(message):
    sys.stderr.write("tindral_mcp: %s\n" % message)
    sys.stderr.flush()


def default_session_path():
    if os.name == "nt":
        base = os.environ.get("APPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Roaming")
    else:
        base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "TindralXL", "session.json")


def process_gone(pid):
    """True when no process `pid` runs any more; False when it runs or that
    cannot be told."""
    if type(pid) is not int or pid <= 0:
        return False
    if os.name == "nt":
        import ctypes
        from ctypes import wintypes

        PROCESS_QUERY_LIMITED_INFORMATION, ERROR_INVALID_PARAMETER, STILL_ACTIVE = 0x1000, 87, 259
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.OpenProcess.restype = wintypes.HANDLE
        kernel32.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
        kernel32.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
        kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
        if pid > 0xFFFFFFFF:
            return False
        handle = kernel32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, False, pid)
        if not handle:
            # No such process; "access denied" means one runs.
            return ctypes.get_last_error() == ERROR_INVALID_PARAMETER
        try:
            code = wintypes.DWORD()
            return bool(kernel32.GetExitCodeProcess(handle, ctypes.byref(code))) and code.value != STILL_ACTIVE
        finally:
            kernel32.CloseHandle(handle)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (OSError, OverflowError):
        return False  # another user's process, or a number no process can have
    return False


def read_session(path):
    """(port, token) of the running add-in, or Unreachable."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            session = json.load(f)
    except FileNotFoundError:
        raise Unreachable("Excel with the TindralXL add-in is not running (no session file at %s)" % path)
    except (OSError, ValueError) as exc:
        raise Unreachable("Excel with TindralXL is not running or its session file %s is unreadable: %s" % (path, exc))
    if not isinstance(session, dict):
        raise Unreachable("the session file %s is not valid" % path)
    if process_gone(session.get("pid")):
        raise Unreachable("Excel with the TindralXL add-in is not running: %s is a session file from a process "
                          "that has ended (process %d)" % (path, session["pid"]))
    if "error" in session:
        raise Unreachable("Excel with TindralXL is running but its Python did not start: %s" % session["error"])
    port, token = session.get("port"), session.get("token")
    if type(port) is not int or not 0 < port < 65536 or not isinstance(token, str) or not token:
        raise Unreachable("the session file %s has no usable port and token" % path)
    return port, token


def forward(session_path, body, timeout):
    """Posts one message to the add-in's /mcp. Returns the answer text ("" for
    202), or raises Unreachable or TooLarge."""
    if len(body) > MAX_BODY:
        raise TooLarge("the request is too large (%d bytes, limit %d): the add-in takes requests of less than %d "
                       "bytes; send less at once (a smaller module, code in parts)" % (len(body), MAX_BODY, MAX_REQUEST))
    port, token = read_session(session_path)
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    headers = {
        "Authorization": "Bearer " + token,
        "Content-Type": "application/json",
        "Accept": "application/json, text/event-stream",
    }
    try:
        conn.request("POST", "/mcp", body=body, headers=headers)
        resp = conn.getresponse()
        data = resp.read()
    except (OSError, http.client.HTTPException) as exc:
        raise Unreachable("Excel with TindralXL is not running: no answer on 127.0.0.1:%d (%s)" % (port, exc))
    finally:
        conn.close()
    text = data.decode("utf-8", "replace").strip()
    if resp.status == 202:
        return ""
    if resp.status == 200:
        return text
    if resp.status == 403:
        raise Unreachable("the add-in refused the token of %s (HTTP 403): the file may be from an earlier start" % session_path)
    raise Unreachable("the add-in answered HTTP %d: %s" % (resp.status, text[:200]))


def result(id_, value):
    return {"jsonrpc": "2.0", "id": id_, "result": value}


def error(id_, code, message):
    return {"jsonrpc": "2.0", "id": id_, "error": {"code": code, "message": message}}


def local_answer(message, why):
    """What to say for a request when the add-in cannot be asked."""
    id_ = message.get("id")
    method = message.get("method")
    params = message.get("params") if isinstance(message.get("params"), dict) else {}
    if method == "initialize":
        asked = params.get("protocolVersion")
        return result(id_, {
            "protocolVersion": asked if asked in PROTOCOL_VERSIONS else PROTOCOL_VERSIONS[0],
            "capabilities": {"tools": {"listChanged": False}},
            "serverInfo": {"name": SERVER_NAME, "version": VERSION},
            "instructions": INSTRUCTIONS,
        })
    if method == "ping":
        return result(id_, {})
    if method == "tools/list":
        return result(id_, {"tools": TOOLS})
    if method == "tools/call":
        return result(id_, {"content": [{"type": "text", "text": why}], "isError": True})
    return error(id_, -32601, "Method not found: %s" % method)


def tool_timeout(message):
    """How long a message may take to be answered."""
    params = message.get("params") if isinstance(message.get("params"), dict) else {}
    args = params.get("arguments") if isinstance(params.get("arguments"), dict) else {}
    limit = args.get("timeout")
    if isinstance(limit, (int, float)) and not isinstance(limit, bool) and 0 < limit <= 3600:
        return float(limit) + ANSWER_SLACK
    return DEFAULT_TOOL_TIMEOUT + ANSWER_SLACK


def handle(line, session_path):
    """Answers one line; returns the answer object, or None for no answer."""
    try:
        message = json.loads(line)
    except ValueError as exc:  # a line that is not UTF-8 JSON never reaches the add-in
        return error(None, -32700, "Parse error: %s" % exc)
    is_request = isinstance(message, dict) and "method" in message and "id" in message
    try:
        text = forward(session_path, line.encode("utf-8"), tool_timeout(message) if is_request else 10.0)
    except TooLarge as exc:
        log(str(exc))
        if not is_request:
            return None
        if message.get("method") == "tools/call":
            return result(message.get("id"), {"content": [{"type": "text", "text": str(exc)}], "isError": True})
        return error(message.get("id"), -32600, str(exc))
    except Unreachable as exc:
        if is_request:
            log(str(exc))
            return local_answer(message, str(exc))
        if isinstance(message, list):
            return error(None, -32600, "batches are not supported: send one message per line")
        return None  # notifications and client responses need no answer
    if not text:
        return None
    try:
        return json.loads(text)
    except ValueError:
        log("the add-in's answer is not JSON: %r" % text[:200])
        return error(message.get("id") if is_request else None, -32603, "Internal error: the add-in's answer is not JSON")


def write(answer):
    # One line of ASCII JSON: the client splits messages on line feeds, and
    # no console code page can garble it.
    sys.stdout.buffer.write(json.dumps(answer).encode("ascii") + b"\n")
    sys.stdout.buffer.flush()


def serve(session_path, stdin):
    for raw in stdin:
        try:
            line = raw.decode("utf-8").strip()
        except UnicodeDecodeError:
            write(error(None, -32700, "Parse error: the line is not UTF-8"))
            continue
        if not line:
            continue
        answer = handle(line, session_path)
        if answer is not None:
            write(answer)


def main(argv=None):
    p = argparse.ArgumentParser(description="TindralXL's MCP server over stdio; forwards to the running add-in.")
    p.add_argument("--session", help="session.json to use (default: the platform's app-data folder)")
    args = p.parse_args(argv)
    session_path = args.session or default_session_path()
    log("serving MCP on stdio; add-in session file: %s" % session_path)
    try:
        serve(session_path, sys.stdin.buffer)
    except KeyboardInterrupt:
        pass
    except BrokenPipeError:
        pass  # the client went away
    return 0


if __name__ == "__main__":
    sys.exit(main())
