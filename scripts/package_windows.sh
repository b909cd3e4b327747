#!/usr/bin/env bash
# Builds the Windows add-in and packs what a Windows user unpacks beside a
# Python 3.12 embeddable distribution:
#
#     scripts/package_windows.sh [OUT_DIR]      (default: dist)
#
# gives OUT_DIR/TindralXL/ and OUT_DIR/TindralXL-windows-x64.zip holding
# TindralXL.xll, the tindral_xl package, modules/ with the examples, tools/
# (the MCP server and the agent client), docs/agent-protocol.md and
# INSTALL.txt.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || { echo "package_windows: cannot find the repository root" >&2; exit 1; }
out="$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)" || { echo "package_windows: cannot create ${1:-$root/dist}" >&2; exit 1; }
# Its own preset and build folder (a Release build): the test builds keep their settings.
build="$root/build/package-windows"

need() { command -v "$1" >/dev/null 2>&1 || { echo "package_windows: $1 is missing ($2)" >&2; exit 1; }; }
need cmake "apt-get install cmake"
need ninja "apt-get install ninja-build"
need x86_64-w64-mingw32-g++-posix "apt-get install g++-mingw-w64-x86-64-posix"
need x86_64-w64-mingw32-objdump "apt-get install binutils-mingw-w64-x86-64"

cd "$root" || { echo "package_windows: cannot enter $root" >&2; exit 1; }
cmake --preset package-windows >/dev/null
cmake --build --preset package-windows

xll="$build/TindralXL.xll"
# Nothing beyond Windows' own DLLs may be needed beside the add-in.
imports="$(x86_64-w64-mingw32-objdump -p "$xll" | sed -n 's/^\s*DLL Name: //p')"
if echo "$imports" | grep -qiE 'libstdc|libgcc|libwinpthread|python'; then
    echo "package_windows: TindralXL.xll needs DLLs that are not part of Windows:" >&2
    echo "$imports" >&2
    exit 1
fi

stage="$out/TindralXL"
rm -rf "$stage"
mkdir -p "$stage"
cp "$xll" "$stage/"
cp -r "$root/python/tindral_xl" "$stage/"
cp -r "$root/examples/modules" "$stage/modules"
mkdir -p "$stage/tools" "$stage/docs"
cp "$root/tools/mcp/tindral_mcp.py" "$root/tools/agent/tindral_agent.py" "$stage/tools/"
cp "$root/docs/agent-protocol.md" "$stage/docs/"
find "$stage" -name __pycache__ -prune -exec rm -rf {} +
sed 's/$/\r/' > "$stage/INSTALL.txt" <<'NOTE'
TindralXL - Python worksheet functions for Excel (64-bit)
=========================================================

What is here
  TindralXL.xll   the add-in
  tindral_xl\     its Python package (keep it beside the add-in)
  modules\        your worksheet functions: every *.py file here is imported
                  when the add-in opens (the examples show how)
  tools\          tindral_mcp.py (MCP server for AI agents, see below) and
                  tindral_agent.py (command-line client)
  docs\           agent-protocol.md: the agent interfaces in detail

What you add: Python 3.12, 64-bit, "embeddable package"
  1. Download the Windows embeddable package of Python 3.12 (x86-64), e.g.
     python-3.12.x-embed-amd64.zip, from python.org.
  2. Unpack it into a folder named "python" right beside TindralXL.xll, so
     that these files exist:
         python\python312.dll
         python\python312.zip
  3. Create the folder python\Lib\site-packages (empty is fine; packages you
     install there can be imported by your modules).

The result:
  TindralXL.xll
  tindral_xl\
  modules\
  python\python312.dll
  python\python312.zip
  python\Lib\site-packages\

Open it in Excel
  File > Options > Add-ins > Manage: Excel Add-ins > Go... > Browse...,
  pick TindralXL.xll. Excel's 64-bit edition is required.
  Then type in a cell, for example:  =GREET("Ada")   or   =IS_PRIME(97)

Write your own
  Put a file such as modules\mine.py beside the examples:

      from tindral_xl import xl_function

      @xl_function
      def add(a, b):
          return a + b

  Numbers arrive as float, text as str, TRUE/FALSE as bool, and empty cells
  or omitted arguments as None. A function that raises shows #VALUE!.
  New modules are picked up when the add-in is opened again.

Connect an AI agent (MCP)
  While Excel has the add-in open, an MCP client can run Python in Excel,
  list and reload the worksheet functions, write new ones and read the log.
  Over stdio (desktop assistants, coding agents), with the python.exe of
  the embeddable package (replace C:\TindralXL with this folder):

      {"mcpServers": {"tindralxl": {
          "command": "C:\\TindralXL\\python\\python.exe",
          "args": ["C:\\TindralXL\\tools\\tindral_mcp.py"]}}}

  Over HTTP, with the port and token of %APPDATA%\TindralXL\session.json
  (both change at every start, so the stdio form is easier):

      {"mcpServers": {"tindralxl": {"type": "http",
          "url": "http://127.0.0.1:PORT/mcp",
          "headers": {"Authorization": "Bearer TOKEN"}}}}

When something does not work
  The add-in writes what it did to %TEMP%\tindralxl.log.
NOTE

zip="$out/TindralXL-windows-x64.zip"
rm -f "$zip"
python3 - "$out" "$zip" <<'PY'
import os, sys, zipfile
out, dest = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(dest, "w", zipfile.ZIP_DEFLATED) as z:
    for base, dirs, files in os.walk(os.path.join(out, "TindralXL")):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(base, name)
            z.write(path, os.path.relpath(path, out))
PY
echo "package_windows: $stage"
echo "package_windows: $zip"
