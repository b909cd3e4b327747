#!/usr/bin/env bash
# Builds the Windows add-in and packs what a Windows user unpacks beside a
# Python 3.12 embeddable distribution:
#
#     scripts/package_windows.sh [OUT_DIR]      (default: dist)
#
# gives OUT_DIR/TindralXL/ and OUT_DIR/TindralXL-VERSION-windows-x64.zip
# (VERSION from the file VERSION) holding TindralXL.xll, the tindral_xl
# package, modules/ with the examples, agent/ with the agent's command-line
# client and the MCP server (stdio), docs/agent-protocol.md and
# INSTALL.txt. TINDRAL_PACKAGE_BUILD names a configured Windows build folder
# to use instead of build/package-windows (a Release build of its own).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || { echo "package_windows: cannot find the repository root" >&2; exit 1; }
out="$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)" || { echo "package_windows: cannot create ${1:-$root/dist}" >&2; exit 1; }
# Its own preset and build folder (a Release build): the test builds keep their settings.
build="${TINDRAL_PACKAGE_BUILD:-$root/build/package-windows}"
version="$(cat "$root/VERSION")" || { echo "package_windows: cannot read $root/VERSION" >&2; exit 1; }
# shellcheck source=scripts/host_python.sh
source "$root/scripts/host_python.sh"
py="$(tindral_python3)" || exit 1

need() { command -v "$1" >/dev/null 2>&1 || { echo "package_windows: $1 is missing ($2)" >&2; exit 1; }; }
need cmake "apt-get install cmake"
need ninja "apt-get install ninja-build"
need x86_64-w64-mingw32-g++-posix "apt-get install g++-mingw-w64-x86-64-posix"
need x86_64-w64-mingw32-objdump "apt-get install binutils-mingw-w64-x86-64"

cd "$root" || { echo "package_windows: cannot enter $root" >&2; exit 1; }
if [[ -n "${TINDRAL_PACKAGE_BUILD:-}" ]]; then
  # A Windows build folder configured elsewhere (the Wine tests' own).
  cmake --build "$build" -j2 --target TindralXL
else
  cmake --preset package-windows >/dev/null
  cmake --build --preset package-windows
fi

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
mkdir -p "$stage/agent" "$stage/docs"
cp "$xll" "$stage/"
cp -r "$root/python/tindral_xl" "$stage/"
cp "$build/generated/_version.py" "$stage/tindral_xl/_version.py"
cp -r "$root/examples/modules" "$stage/modules"
cp "$root/tools/agent/tindral_agent.py" "$stage/agent/"
mcp="$root/tools/mcp/tindral_mcp.py"
[[ -f "$mcp" ]] && cp "$mcp" "$stage/agent/"
cp "$root/docs/agent-protocol.md" "$stage/docs/"
find "$stage" -name __pycache__ -prune -exec rm -rf {} +
# The note names this version; its MCP part only when the MCP server ships.
if [[ -f "$mcp" ]]; then keep_mcp='/^@\(END_\)\{0,1\}MCP@$/d'; else keep_mcp='/^@MCP@$/,/^@END_MCP@$/d'; fi
sed -e "$keep_mcp" -e "s/@VERSION@/$version/g" -e 's/$/\r/' "$root/scripts/INSTALL.windows.txt" >"$stage/INSTALL.txt"

zip="$out/TindralXL-$version-windows-x64.zip"
rm -f "$zip"
"$py" - "$out" "$zip" <<'PY'
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
