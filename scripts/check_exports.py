#!/usr/bin/env python3
"""Checks what the built binaries show the outside world.

* The export lists the build generated (BUILD_DIR/generated/exports.map and
  exports.def) name one entry point per slot of FUNC_SLOT_COUNT in
  xll/src/func_registry.h: a stale list is caught.
* The Linux add-in exports exactly the names of exports.map
  (`nm -D --defined-only`), nothing stray.
* The Windows add-in exports exactly the names of exports.def, undecorated
  (`objdump -p`), and neither it nor xllhost.exe imports a MinGW runtime DLL
  (libstdc++, libgcc, libwinpthread): nothing is needed beside them.
* Both hosts export MdCallBack12, which the add-in looks up by name.

Usage: check_exports.py [--linux BUILD_DIR] [--windows BUILD_DIR]
"""

import argparse
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
MINGW_RUNTIME = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread).*\.dll$", re.I)


def slot_count():
    text = (ROOT / "xll/src/func_registry.h").read_text()
    m = re.search(r"^constexpr int FUNC_SLOT_COUNT = (\d+);", text, re.M)
    if not m:
        raise SystemExit("check_exports: func_registry.h defines no FUNC_SLOT_COUNT")
    return int(m.group(1))


def slot_problem(list_name, names):
    """None when `names` holds exactly the slot entry points of FUNC_SLOT_COUNT."""
    want = {"xll_slot_%d" % n for n in range(slot_count())}
    got = {n for n in names if n.startswith("xll_slot_")}
    if got != want:
        return "%s names %d slot entry points, FUNC_SLOT_COUNT is %d (stale build?)" % (
            list_name, len(got), len(want))
    return None


def map_names(build):
    text = (build / "generated/exports.map").read_text()
    glob = text.split("global:", 1)[1].split("local:", 1)[0]
    return sorted(n.strip() for n in glob.replace("\n", " ").split(";") if n.strip())


def def_names(build):
    names = []
    in_exports = False
    for line in (build / "generated/exports.def").read_text().splitlines():
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if in_exports:
            names.append(re.split(r"[\s=@]", line, 1)[0])
    return sorted(names)


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def nm_exports(path):
    names = []
    for line in run("nm", "-D", "--defined-only", str(path)).splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TWDBRVi":
            names.append(parts[2])
    return sorted(names)


def pe_info(path):
    out = run("x86_64-w64-mingw32-objdump", "-p", str(path))
    imports = re.findall(r"DLL Name: (\S+)", out)
    exports = []
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if not m:
                break
            exports.append(m.group(1))
    return sorted(exports), imports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux")
    ap.add_argument("--windows")
    args = ap.parse_args()
    problems = []

    if args.linux:
        build = pathlib.Path(args.linux)
        got, want = nm_exports(build / "TindralXL.so"), map_names(build)
        problems.append(slot_problem("exports.map", want))
        if got != want:
            problems.append("TindralXL.so exports %s, expected %s (stray: %s, missing: %s)" % (
                len(got), len(want), sorted(set(got) - set(want)), sorted(set(want) - set(got))))
        if "MdCallBack12" not in nm_exports(build / "tools/xllhost/xllhost"):
            problems.append("xllhost does not export MdCallBack12")
        print("check_exports: linux: %d names checked" % len(want))

    if args.windows:
        build = pathlib.Path(args.windows)
        got, imports = pe_info(build / "TindralXL.xll")
        want = def_names(build)
        problems.append(slot_problem("exports.def", want))
        if got != want:
            problems.append("TindralXL.xll exports %s, expected %s (stray: %s, missing: %s)" % (
                len(got), len(want), sorted(set(got) - set(want)), sorted(set(want) - set(got))))
        host_exports, host_imports = pe_info(build / "tools/xllhost/xllhost.exe")
        if host_exports != ["MdCallBack12"]:
            problems.append("xllhost.exe exports %s, expected only MdCallBack12" % host_exports)
        for name, dlls in (("TindralXL.xll", imports), ("xllhost.exe", host_imports)):
            bad = [d for d in dlls if MINGW_RUNTIME.match(d)]
            if bad:
                problems.append("%s needs MinGW runtime DLLs: %s" % (name, bad))
        print("check_exports: windows: %d names checked; imports %s" % (len(want), ", ".join(imports)))

    problems = [p for p in problems if p]
    for p in problems:
        print("check_exports: FAIL: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
