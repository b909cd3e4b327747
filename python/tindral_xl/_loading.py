"""How the add-in imports user modules, and how the agent reloads them.

A module's registry entries are taken only when its import succeeds: each
import runs with a copy of ``_registry`` kept aside and put back if the module
raises, so a module that fails half way binds none of the functions it
registered before its failing line. A failure is described in a few bounded
lines (exception type and message, then the last frames of the module's own
code) for the add-in's log and the agent's answer.
"""

import importlib
import os
import sys
import traceback
import types

import tindral_xl

# A failure's description: the frames nearest the error, each line cut.
MAX_FRAMES = 3
MAX_LINE = 300

_EXEC_ENTRY = "tindral_xl._exec_entry"
_MCP_ENTRY = "tindral_xl._mcp_entry"


def _machinery(filename):
    """Frames of the import machinery (and of this file), not the module's code."""
    path = filename.replace("\\", "/")
    return path.startswith("<frozen ") or path.endswith("importlib/__init__.py") or filename == __file__


def _cut(text):
    text = text.replace("\r", " ").replace("\n", " ").rstrip()
    return text if len(text) <= MAX_LINE else text[: MAX_LINE - 3] + "..."


def describe_failure(exc):
    """The lines that say why an import failed: ``Type: message``, then the
    file, line and source of the last frames outside the import machinery."""
    try:
        message = str(exc)
    except BaseException:
        message = "<unprintable %s>" % type(exc).__name__
    lines = [_cut("%s: %s" % (type(exc).__name__, message) if message else type(exc).__name__)]
    frames = [f for f in traceback.extract_tb(exc.__traceback__) if not _machinery(f.filename)]
    for f in frames[-MAX_FRAMES:]:
        lines.append(_cut('  File "%s", line %s, in %s' % (f.filename, f.lineno, f.name)))
        if f.line:
            lines.append(_cut("    " + f.line.strip()))
    if isinstance(exc, SyntaxError) and exc.filename:
        # A syntax error has no frame of its own code: it names the place itself.
        lines.append(_cut('  File "%s", line %s' % (exc.filename, exc.lineno)))
        if exc.text:
            lines.append(_cut("    " + exc.text.strip()))
    return lines


def _guarded(action):
    """Runs ``action`` with the registry kept aside; on an exception puts the
    registry back as it was and returns the exception, else None."""
    registry = tindral_xl._registry
    saved = list(registry)
    try:
        action()
    except BaseException as exc:  # SystemExit from a module is a failure too
        registry[:] = saved
        tindral_xl._registry = registry
        return exc
    return None


def import_user_module(name):
    """The add-in's loader calls this for each file of ``modules``: None when
    the import succeeded, else the failure's description (lines joined by
    line feeds)."""
    exc = _guarded(lambda: importlib.import_module(name))
    if exc is None:
        return None
    # A module that failed must not stay half-made in sys.modules.
    sys.modules.pop(name, None)
    return "\n".join(describe_failure(exc))


def _owner(entry):
    return getattr(entry[1], "__module__", None)


def reload_user_module(module):
    """Reloads ``module`` (already imported). On success the names it no
    longer registers leave the registry and None is returned; on failure the
    registry is as before and the exception is returned."""
    name = module.__name__
    before = [e for e in tindral_xl._registry if type(e) is tuple and len(e) == 3 and _owner(e) == name]
    importlib.invalidate_caches()
    exc = _guarded(lambda: importlib.reload(module))
    if exc is not None:
        return exc
    # An entry of the module that the fresh run did not register again is
    # still the very tuple it was: the function is gone from the module.
    stale = {id(e) for e in before}
    tindral_xl._registry[:] = [e for e in tindral_xl._registry if id(e) not in stale]
    return None


def modules_folder():
    """The ``modules`` folder beside the add-in: the package lies beside it."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(tindral_xl.__file__))), "modules")


def refresh_exec_entry():
    """Makes ``tindral_xl._exec_entry`` in sys.modules the package's own
    working module again when something replaced or removed it, or swapped
    its ``dispatch_request``. True when it was imported afresh."""
    # An agent's request may be importing it on the server's thread right
    # now (the session file is out before the modules load): importing waits
    # for that import to end, so a module still being initialised is never
    # judged, nor taken out from under that thread.
    try:
        importlib.import_module(_EXEC_ENTRY)
    except ImportError:
        pass  # blocked (None in sys.modules) or broken: replaced below
    mod = sys.modules.get(_EXEC_ENTRY)
    own = os.path.join(os.path.dirname(os.path.abspath(tindral_xl.__file__)), "_exec_entry.py")
    sound = (
        isinstance(mod, types.ModuleType)
        and os.path.normcase(os.path.abspath(getattr(mod, "__file__", None) or "")) == os.path.normcase(own)
        and getattr(getattr(mod, "dispatch_request", None), "__code__", None) is getattr(mod, "_DISPATCH_CODE", 0)
    )
    if not sound:
        sys.modules.pop(_EXEC_ENTRY, None)
        importlib.import_module(_EXEC_ENTRY)
    _refresh_mcp_entry()
    return not sound


def _own_file(mod, name):
    own = os.path.join(os.path.dirname(os.path.abspath(tindral_xl.__file__)), name)
    path = getattr(mod, "__file__", None) or ""
    return os.path.normcase(os.path.abspath(path)) == os.path.normcase(own)


def _refresh_mcp_entry():
    """The same for ``tindral_xl._mcp_entry``, which /mcp imports by name,
    and which must also run on the ``_exec_entry`` now in sys.modules (its
    namespace and its interrupt classes). Not imported yet is fine: the
    first /mcp request imports it."""
    if _MCP_ENTRY not in sys.modules:
        return
    try:
        importlib.import_module(_MCP_ENTRY)  # waits for an import in progress
    except ImportError:
        pass  # blocked (None in sys.modules): replaced below
    mod = sys.modules.get(_MCP_ENTRY)
    sound = (
        isinstance(mod, types.ModuleType)
        and _own_file(mod, "_mcp_entry.py")
        and getattr(getattr(mod, "dispatch_mcp", None), "__code__", None) is getattr(mod, "_DISPATCH_CODE", 0)
        and getattr(mod, "_exec_entry", None) is sys.modules.get(_EXEC_ENTRY)
    )
    if sound:
        return
    sys.modules.pop(_MCP_ENTRY, None)
    importlib.import_module(_MCP_ENTRY)
    native = sys.modules.get("tindral_xl._native")
    if native is not None:
        native.log("func_registry: re-imported %s" % _MCP_ENTRY)
