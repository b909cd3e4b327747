#!/usr/bin/env python3
"""Assemble the add-in's Python home for Linux from a Python 3.12 prefix.

    scripts/make_python_home.py --out DIR [--prefix PREFIX]

DIR receives what the add-in expects beside itself in its `python` folder:

    libpython3.12.so     the interpreter library (the add-in binds it by name)
    python312.zip        the standard library, compiled, each .pyc where its
                         .py was (the zip importer never writes bytecode, so a
                         zip of sources would recompile on every import), and
                         stored, not deflated: every import at open then reads
                         its module without inflating it (about 5 ms less for
                         `re` and what it imports; the zip is 10 MB, not 4.5)
    *.so                 the extension modules of lib-dynload, beside the zip
    Lib/site-packages/   empty; the add-in puts it on sys.path itself

The prefix is taken from --prefix, else found by find_python312.py (beside
this script), the one search the build and the scripts share.

A finished DIR records what it was built from; a second run with the same
prefix and the same script does nothing, so test runs stay fast.

    scripts/make_python_home.py --wine --out DIR [--bridge DLL] [--prefix PREFIX]

lays out DIR/python/ for the Windows add-in under Wine: the same standard
library and extension modules, with the test bed's bridge as python312.dll
in place of libpython3.12.so (a Winelib DLL that runs this Linux CPython; see
tests/README.md). The bridge is taken from --bridge, else from the Linux build
(build/linux/standin/bridge/python312.dll, or $TINDRAL_BUILD_LINUX's).
"""

import argparse
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import find_python312

LIBRARY = "libpython3.12.so"
ARCHIVE = "python312.zip"
STAMP = ".tindral-python-home.json"

# Folders of the standard library that an embedded interpreter never needs.
SKIPPED_DIRS = {
    "__pycache__", "test", "tests", "idle_test", "idlelib", "tkinter",
    "turtledemo", "ensurepip", "site-packages", "lib-dynload",
}
SKIPPED_PREFIXES = ("config-3.12",)


def fail(message):
    sys.stderr.write("make_python_home: " + message + "\n")
    sys.exit(1)


def find_prefix(explicit):
    if explicit:
        problem = find_python312.problem(explicit)
        if problem:
            fail("--prefix %s is not a Python 3.12 with a shared library (%s)" % (explicit, problem))
        return os.path.realpath(explicit)
    try:
        return find_python312.find_prefix()
    except find_python312.NotFound as e:
        fail(str(e))


def stdlib_sources(stdlib):
    """(path on disk, path in the archive) of every .py worth shipping."""
    for root, dirs, files in os.walk(stdlib):
        rel_root = os.path.relpath(root, stdlib)
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.startswith(SKIPPED_PREFIXES))
        for name in sorted(files):
            if name.endswith(".py"):
                rel = name if rel_root == "." else os.path.join(rel_root, name)
                yield os.path.join(root, name), rel.replace(os.sep, "/")


def build_archive(stdlib, target):
    """Runs under 3.12 itself: the bytecode must carry its magic number."""
    import importlib._bootstrap_external as external
    count = 0
    with zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as archive:
        for path, rel in stdlib_sources(stdlib):
            with open(path, "rb") as f:
                source = f.read()
            try:
                code = compile(source, rel, "exec", dont_inherit=True)
            except SyntaxError:
                continue  # a few files are templates or deliberately broken
            st = os.stat(path)
            data = external._code_to_timestamp_pyc(code, int(st.st_mtime), st.st_size)
            info = zipfile.ZipInfo(rel[:-3] + ".pyc", date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            archive.writestr(info, bytes(data))
            count += 1
    return count


def script_digest():
    with open(os.path.abspath(__file__), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def atomic_copy(src, dst):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(dst), prefix=".tmp-")
    os.close(fd)
    shutil.copy2(src, tmp)
    os.replace(tmp, dst)


def assemble(prefix, out):
    lib = os.path.join(prefix, "lib")
    stdlib = os.path.join(lib, "python3.12")
    stamp = {
        "prefix": prefix,
        "library_mtime": os.stat(os.path.join(lib, LIBRARY)).st_mtime,
        "script": script_digest(),
    }
    stamp_path = os.path.join(out, STAMP)
    try:
        with open(stamp_path) as f:
            if json.load(f) == stamp and os.path.exists(os.path.join(out, ARCHIVE)):
                return False
    except (OSError, ValueError):
        pass

    os.makedirs(os.path.join(out, "Lib", "site-packages"), exist_ok=True)
    atomic_copy(os.path.realpath(os.path.join(lib, LIBRARY)), os.path.join(out, LIBRARY))
    for so in sorted(glob.glob(os.path.join(stdlib, "lib-dynload", "*.so"))):
        atomic_copy(so, os.path.join(out, os.path.basename(so)))

    fd, tmp = tempfile.mkstemp(dir=out, prefix=".tmp-", suffix=".zip")
    os.close(fd)
    python = os.path.join(prefix, "bin", "python3.12")
    run = subprocess.run([python, "-E", "-s", os.path.abspath(__file__), "--build-archive", stdlib, tmp])
    if run.returncode != 0:
        os.unlink(tmp)
        fail("compiling the standard library with %s failed" % python)
    os.replace(tmp, os.path.join(out, ARCHIVE))

    with open(stamp_path, "w") as f:
        json.dump(stamp, f)
    return True


BRIDGE = "python312.dll"


def find_bridge(explicit):
    if explicit:
        bridge = explicit
    else:
        build = os.environ.get("TINDRAL_BUILD_LINUX") or os.path.join(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "linux")
        bridge = os.path.join(build, "standin", "bridge", BRIDGE)
    if not os.path.isfile(bridge):
        fail("no python312.dll bridge at %s: the Linux build makes it where wine64-tools (winegcc) and a "
             "static libpython3.12.a are installed (scripts/setup.sh, scripts/build.sh linux)" % bridge)
    return os.path.realpath(bridge)


def assemble_wine(prefix, out, bridge):
    """DIR/python for the Windows add-in under Wine: the Linux home with the
    bridge as the interpreter library. True when anything changed."""
    home = os.path.join(out, "python")
    os.makedirs(home, exist_ok=True)
    built = assemble(prefix, home)
    # The bridge carries its own libpython; the shared one would only mislead.
    linux_library = os.path.join(home, LIBRARY)
    if os.path.exists(linux_library):
        os.unlink(linux_library)
    target = os.path.join(home, BRIDGE)
    src = os.stat(bridge)
    try:
        dst = os.stat(target)
        same = (dst.st_size, int(dst.st_mtime)) == (src.st_size, int(src.st_mtime))
    except OSError:
        same = False
    if not same:
        atomic_copy(bridge, target)
        built = True
    return built


def main():
    parser = argparse.ArgumentParser(description="Assemble the add-in's Python home for Linux.")
    parser.add_argument("--out", help="the home folder to fill (created when missing)")
    parser.add_argument("--prefix", help="a Python 3.12 prefix with lib/libpython3.12.so")
    parser.add_argument("--wine", action="store_true",
                        help="lay out OUT/python for the Windows add-in under Wine, with the python312.dll bridge")
    parser.add_argument("--bridge", help="with --wine: the bridge to use (default: the Linux build's)")
    parser.add_argument("--build-archive", nargs=2, metavar=("STDLIB", "ZIP"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.build_archive:
        if sys.version_info[:2] != (3, 12):
            fail("--build-archive must run under Python 3.12")
        count = build_archive(*args.build_archive)
        print("make_python_home: %d modules compiled into %s" % (count, os.path.basename(args.build_archive[1])))
        return
    if not args.out:
        parser.error("--out is required")

    if args.bridge and not args.wine:
        parser.error("--bridge goes with --wine")
    bridge = find_bridge(args.bridge) if args.wine else None
    prefix = find_prefix(args.prefix)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    if args.wine:
        built = assemble_wine(prefix, out, bridge)
        out = os.path.join(out, "python")
    else:
        built = assemble(prefix, out)
    print("make_python_home: %s %s (from %s)" % ("assembled" if built else "already up to date:", out, prefix))


if __name__ == "__main__":
    main()
