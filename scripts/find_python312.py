#!/usr/bin/env python3
"""Find the Python 3.12 that the Linux build embeds and tests against.

    scripts/find_python312.py            print its prefix, or fail saying where it looked
    scripts/find_python312.py --include  print its header folder instead

The one search every tool uses (the shell scripts, CMake, make_python_home.py):

    1. $TINDRAL_PYTHON_PREFIX (when set, it must be usable: no fallback hides a typo)
    2. `python3.12-config --prefix`
    3. pyenv's $PYENV_ROOT/versions/3.12* (default ~/.pyenv), newest first

A prefix is usable when it holds a shared lib/libpython3.12.so, the standard
library, bin/python3.12 and the headers. Runs under any Python 3 (it is the
host's python3 that runs it, not the one it looks for).
"""

import glob
import os
import re
import subprocess
import sys

LIBRARY = "libpython3.12.so"
# What the build (headers), make_python_home.py (library, stdlib, interpreter)
# and the tests need from a prefix.
REQUIRED = (
    "lib/" + LIBRARY,
    "lib/python3.12/os.py",
    "lib/python3.12/lib-dynload",
    "bin/python3.12",
    "include/python3.12/cpython/initconfig.h",
)


class NotFound(Exception):
    pass


def problem(prefix):
    """None when `prefix` is a usable 3.12, else what it lacks."""
    for rel in REQUIRED:
        if not os.path.exists(os.path.join(prefix, rel)):
            return "no " + rel
    return None


def _version_key(path):
    return [int(n) for n in re.findall(r"\d+", os.path.basename(path))]


def candidates(looked):
    """(where, prefix) in search order; appends to `looked` each place that gave nothing."""
    env = os.environ.get("TINDRAL_PYTHON_PREFIX")
    if env:
        yield "$TINDRAL_PYTHON_PREFIX", env
        return
    looked.append("$TINDRAL_PYTHON_PREFIX (not set)")
    try:
        out = subprocess.run(["python3.12-config", "--prefix"], capture_output=True, text=True, timeout=30)
        if out.returncode == 0 and out.stdout.strip():
            yield "python3.12-config --prefix", out.stdout.strip()
        else:
            looked.append("python3.12-config --prefix (exit %d)" % out.returncode)
    except (OSError, subprocess.SubprocessError):
        looked.append("python3.12-config (not on PATH)")
    pyenv_root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    pattern = os.path.join(pyenv_root, "versions", "3.12*")
    found = sorted(glob.glob(pattern), key=_version_key, reverse=True)
    if not found:
        looked.append(pattern + " (none)")
    for path in found:
        yield "pyenv", path


def find_prefix():
    """The prefix of a usable Python 3.12 (resolved), or NotFound naming each place looked."""
    looked = []
    for where, prefix in candidates(looked):
        why = problem(prefix)
        if why is None:
            return os.path.realpath(prefix)
        if where == "$TINDRAL_PYTHON_PREFIX":
            raise NotFound("TINDRAL_PYTHON_PREFIX=%s is not a Python 3.12 with a shared library (%s)" % (prefix, why))
        looked.append("%s: %s (%s)" % (where, prefix, why))
    raise NotFound(
        "no Python 3.12 with a shared lib/%s found. Looked at: %s. Install one "
        "(e.g. `env PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 3.12`) "
        "or set TINDRAL_PYTHON_PREFIX to its prefix." % (LIBRARY, "; ".join(looked)))


def main(argv):
    if argv not in ([], ["--include"]):
        sys.stderr.write("usage: find_python312.py [--include]\n")
        return 2
    try:
        prefix = find_prefix()
    except NotFound as e:
        sys.stderr.write("find_python312: %s\n" % e)
        return 1
    print(os.path.join(prefix, "include", "python3.12") if argv else prefix)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
