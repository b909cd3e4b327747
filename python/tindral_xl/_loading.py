"""How the add-in imports user modules, and how the agent reloads them.

A user module is a file ``NAME.py`` of the ``modules`` folder beside the
add-in, imported under its own name. That folder comes last on the module
search path, so a file there never stands in for a module of the standard
library, of site-packages or of the package; a file whose name is taken that
way is refused (``user_module_refusal``) rather than imported as something
else. Only user modules are ever reloaded.

The add-in and the agent import and reload a user module by its file, from
its source as it is on disk at that moment. Going through the import
system's finders instead meant trusting their cached listing of the folder,
which another thread's import can refill with a listing older than a file
just written (a directory's time stamp may not move within a clock tick),
and trusting a cached .pyc, which is taken as current when it matches the
source's size and the whole second of its time: a module rewritten within
the second, at the same length, ran its old code. The bytecode cache kept
here is keyed by the source's hash instead. Modules the user modules
import themselves come through the ordinary import system.

A module's registry entries are taken only when its import succeeds: each
import runs with a copy of ``_registry`` kept aside and put back if the module
raises, so a module that fails half way binds none of the functions it
registered before its failing line. A failure is described in a few bounded
lines (exception type and message, then the last frames of the module's own
code) for the add-in's log and the agent's answer.
"""

import importlib
import importlib.machinery
import importlib.util
import marshal
import os
import sys
import threading
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
    import traceback  # only when an import failed: it costs start-up more than the rest

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


def _same_path(a, b):
    return os.path.normcase(os.path.abspath(a)) == os.path.normcase(os.path.abspath(b))


def is_user_module(module, folder=None):
    """True when ``module`` was imported from a file of the modules folder
    (``folder``, by default the one beside the add-in)."""
    path = getattr(module, "__file__", None)
    if not isinstance(path, str) or not path:
        return False
    return _same_path(os.path.dirname(path), folder or modules_folder())


def user_module_refusal(name, folder=None):
    """Why the file ``name``.py of the modules folder may not be imported as
    module ``name``, or None. The name is taken when the standard library or
    the package owns it, when a module of that name came from elsewhere, or
    when the search path finds another file for it first."""
    folder = folder or modules_folder()
    if name == tindral_xl.__name__ or name.startswith(tindral_xl.__name__ + "."):
        return "its name is taken by the add-in's package"
    if name in sys.builtin_module_names or name in getattr(sys, "stdlib_module_names", ()):
        return "its name is taken by Python's standard library"
    module = sys.modules.get(name)
    if module is not None:
        if is_user_module(module, folder):
            return None
        return "its name is taken by the module already imported from %s" % (
            getattr(module, "__file__", None) or "a built-in")
    try:
        spec = importlib.util.find_spec(name)
    except Exception:  # a finder that cannot tell: the import itself will say
        return None
    if spec is None or (spec.origin and _same_path(spec.origin, os.path.join(folder, name + ".py"))):
        return None
    return "its name is taken by %s, which comes first on the module search path" % (
        spec.origin or "the package folder %s" % ", ".join(spec.submodule_search_locations or ()))


class _CurrentSourceLoader(importlib.machinery.SourceFileLoader):
    """Runs a user module's source as it is on disk now. Its bytecode is
    cached in a checked hash-based .pyc: the source's hash, not its time and
    size, says whether the cache is current, so a module rewritten within the
    same second at the same length never runs its old code, and an unchanged
    module is not compiled again at every open of the add-in."""

    def get_code(self, fullname):
        path = self.get_filename(fullname)
        source = self.get_data(path)
        key = importlib.util.source_hash(source)
        try:
            cache = importlib.util.cache_from_source(path)
        except NotImplementedError:  # an implementation without a cache tag
            cache = None
        code = _cached_code(cache, key) if cache else None
        if code is None:
            code = self.source_to_code(source, path)
            if cache and not sys.dont_write_bytecode:
                _write_cached_code(cache, key, code)
        return code


# A checked hash-based .pyc: the magic number, these flags, the source's
# hash, then the marshalled code.
_HASH_PYC_FLAGS = (0b11).to_bytes(4, "little")  # hash-based, source checked


def _cached_code(cache, key):
    """The code kept in ``cache`` for the source whose hash is ``key``; None
    when there is none, it is of another source or another Python, or it is
    damaged."""
    try:
        with open(cache, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if (data[:4] != importlib.util.MAGIC_NUMBER or data[4:8] != _HASH_PYC_FLAGS
            or data[8:16] != key):
        return None
    try:
        code = marshal.loads(memoryview(data)[16:])
    except (EOFError, ValueError, TypeError):
        return None
    return code if isinstance(code, types.CodeType) else None


def _write_cached_code(cache, key, code):
    """Writes the cache whole or not at all (a reader never sees half a file);
    a folder that cannot take it just means compiling again next time."""
    tmp = "%s.%d.%d.tmp" % (cache, os.getpid(), threading.get_ident())
    try:
        os.makedirs(os.path.dirname(cache), exist_ok=True)
        with open(tmp, "wb") as f:
            f.write(importlib.util.MAGIC_NUMBER + _HASH_PYC_FLAGS + key + marshal.dumps(code))
        os.replace(tmp, cache)
    except OSError:
        try:
            os.unlink(tmp)
        except OSError:
            pass


def _user_spec(name, folder):
    path = os.path.join(folder, name + ".py")
    return importlib.util.spec_from_file_location(name, path, loader=_CurrentSourceLoader(name, path))


def load_user_module(name, folder=None):
    """Imports the file ``name``.py of the modules folder as module ``name``
    by its path, from its current source; the module is in sys.modules while
    it runs, and out of it again when it raises. Returns the module."""
    if not name.isidentifier():
        # ".hidden.py", "my-mod.py": no import statement could name them.
        raise ModuleNotFoundError("%r is not a module name (letters, digits and _, not starting with a digit)"
                                  % name, name=name)
    spec = _user_spec(name, folder or modules_folder())
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        if sys.modules.get(name) is module:
            del sys.modules[name]
        raise
    return sys.modules.get(name, module)


def import_user_module(name):
    """The add-in's loader calls this for each file of ``modules``: None when
    the import succeeded (or another user module imported it already), else
    the failure's description (lines joined by line feeds). A name that is
    taken is not imported (the loader asks ``user_module_refusal`` first and
    logs why)."""
    why = user_module_refusal(name)
    if why:
        return "refused: %s" % why
    if name in sys.modules:
        return None
    exc = _guarded(lambda: load_user_module(name))
    if exc is None:
        return None
    # A module that failed must not stay half-made in sys.modules.
    sys.modules.pop(name, None)
    return "\n".join(describe_failure(exc))


def _owner(entry):
    return getattr(entry[1], "__module__", None)


def reload_user_module(module):
    """Reloads ``module`` (already imported; the caller has made sure it is a
    user module). On success the names it no longer registers leave the
    registry and None is returned; on failure the registry is as before and
    the exception is returned."""
    name = module.__name__
    before = [e for e in tindral_xl._registry if type(e) is tuple and len(e) in (3, 4) and _owner(e) == name]
    # What it imports itself may be new files of the folder.
    importlib.invalidate_caches()
    exc = _guarded(lambda: _rerun(module))
    if exc is not None:
        return exc
    # An entry of the module that the fresh run did not register again is
    # still the very tuple it was: the function is gone from the module.
    stale = {id(e) for e in before}
    tindral_xl._registry[:] = [e for e in tindral_xl._registry if id(e) not in stale]
    return None


def _rerun(module):
    """Runs a user module's current source again in its own namespace, as
    importlib.reload does, but from its file."""
    spec = _user_spec(module.__name__, os.path.dirname(os.path.abspath(module.__file__)))
    module.__spec__ = spec
    module.__loader__ = spec.loader
    spec.loader.exec_module(module)


def modules_folder():
    """The ``modules`` folder beside the add-in: the package lies beside it."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(tindral_xl.__file__))), "modules")


def refresh_exec_entry():
    """Makes ``tindral_xl._exec_entry`` in sys.modules the package's own
    working module again when something replaced or removed it, or swapped
    its ``dispatch_request``. True when it was imported afresh. Never
    imported yet is sound as it is: the first agent request imports it by
    name, from the package's folder, so a workbook no agent reaches never
    pays for it."""
    if _EXEC_ENTRY not in sys.modules:
        # An import in progress is in sys.modules from its start, so none is
        # missed here; the /mcp module needs this one and is absent too.
        _refresh_mcp_entry()
        return False
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
