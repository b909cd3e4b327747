#!/usr/bin/env bash
# Runs the add-in headless: builds it, assembles a folder the way a user
# would lay it out beside Excel (the add-in, the tindral_xl package, the
# example modules and a Python home) and loads it in xllhost, the Excel
# stand-in. The script it runs opens the add-in, lists what it registered,
# and closes it again; with a terminal it waits in between (press Ctrl-D or
# Ctrl-C) so that an agent can connect.
#
#   scripts/run.sh            the Linux build
#   scripts/run.sh --windows  the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
target=linux
[[ "${1:-}" == "--windows" ]] && target=windows

if [[ "${TINDRAL_SKIP_SETUP:-0}" != 1 ]]; then
  scripts/setup.sh >/dev/null || { echo "run: setup failed (run scripts/setup.sh to see why)" >&2; exit 1; }
fi
scripts/build.sh "$target" >/dev/null || { echo "run: build failed (run scripts/build.sh $target)" >&2; exit 1; }

folder=build/run-$target
rm -rf "$folder"
mkdir -p "$folder"
if [[ $target == linux ]]; then
  addin=TindralXL.so
  cp build/linux/TindralXL.so "$folder/"
  host=(build/linux/tools/xllhost/xllhost)
  if /usr/bin/python3 scripts/make_python_home.py --out "$folder/python" >"$folder.python.log" 2>&1; then
    echo "run: Python home assembled in $folder/python"
  else
    echo "run: no Python home (see $folder.python.log): the add-in will start without Python"
  fi
else
  addin=TindralXL.xll
  cp build/windows/TindralXL.xll "$folder/"
  host=(env WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine build/windows/tools/xllhost/xllhost.exe)
  if [[ -n "${TINDRAL_WIN_PYTHON:-}" ]]; then
    cp -r "$TINDRAL_WIN_PYTHON" "$folder/python"
  else
    echo "run: no Windows Python (set TINDRAL_WIN_PYTHON to an embeddable Python folder): starting without it"
  fi
fi
cp -r python/tindral_xl "$folder/"
[[ -d examples/modules ]] && cp -r examples/modules "$folder/"

if [[ $target == linux ]]; then
  log="${TMPDIR:-/tmp}/tindralxl.log"
  session="${XDG_CONFIG_HOME:-$HOME/.config}/TindralXL/session.json"
else
  log="the Wine user's Temp folder, tindralxl.log"
  session="the Wine user's AppData/Roaming/TindralXL/session.json"
fi
lines_before=0
[[ -f "$log" ]] && lines_before=$(wc -l <"$log")

script=(open list)
if [[ -t 0 ]]; then
  script+=("echo the add-in is open: session file $session" "echo press Ctrl-D or Ctrl-C to close it" wait)
fi
script+=(close)

echo "run: $folder/$addin in xllhost"
echo "----------------------------------------------------------------"
"${host[@]}" "$folder/$addin" "${script[@]}"
echo "----------------------------------------------------------------"
if [[ -f "$log" ]]; then
  echo "run: what the add-in logged ($log):"
  tail -n +"$((lines_before + 1))" "$log"
fi
