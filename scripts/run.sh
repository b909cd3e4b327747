#!/usr/bin/env bash
# Runs the add-in headless: builds it, assembles a folder the way a user
# would lay it out beside Excel (the add-in, the tindral_xl package, the
# example modules and a Python home) and loads it in xllhost, the Excel
# stand-in. The host opens the add-in, lists what it registered and calls the
# example worksheet functions, printing each formula and the result a cell
# would get; then, with the add-in still open, this script talks to it over
# the agent channel (ping, functions, eval). From a terminal the add-in stays
# open until you press Ctrl-D or Ctrl-C, so that an agent of your own can
# connect; otherwise it is closed at once. Ends with what the add-in logged.
#
#   scripts/run.sh            the Linux build
#   scripts/run.sh --windows  the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.." || { echo "run: cannot enter the repository root" >&2; exit 1; }
ROOT=$(pwd)
# shellcheck source=scripts/host_python.sh
source scripts/host_python.sh
target=linux
[[ "${1:-}" == "--windows" ]] && target=windows

if [[ "${TINDRAL_SKIP_SETUP:-0}" != 1 ]]; then
  scripts/setup.sh >/dev/null || { echo "run: setup failed (run scripts/setup.sh to see why)" >&2; exit 1; }
fi
PY=$(tindral_python3) || exit 1
scripts/build.sh "$target" >/dev/null || { echo "run: build failed (run scripts/build.sh $target)" >&2; exit 1; }

folder=build/run-$target
rm -rf "$folder"
mkdir -p "$folder"
if [[ $target == linux ]]; then
  addin=TindralXL.so
  cp build/linux/TindralXL.so "$folder/"
  host=(build/linux/tools/xllhost/xllhost)
  if "$PY" scripts/make_python_home.py --out "$folder/python" >"$folder.python.log" 2>&1; then
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
  elif scripts/build.sh linux >"$folder.python.log" 2>&1 &&
       "$PY" scripts/make_python_home.py --wine --out "$folder" >>"$folder.python.log" 2>&1; then
    # The test bed's python312.dll bridge: Linux CPython behind a Windows DLL.
    echo "run: Python home with the python312.dll bridge in $folder/python (set TINDRAL_WIN_PYTHON for a real Windows Python)"
  else
    echo "run: no Windows Python (see $folder.python.log; or set TINDRAL_WIN_PYTHON to an embeddable Python folder): starting without it"
  fi
fi
cp -r python/tindral_xl "$folder/"
[[ -d examples/modules ]] && cp -r examples/modules "$folder/"

if [[ $target == linux ]]; then
  log="${TMPDIR:-/tmp}/tindralxl.log"
  session="${XDG_CONFIG_HOME:-$HOME/.config}/TindralXL/session.json"
else
  # Wine keeps the user's folders inside its prefix.
  profile="${WINEPREFIX:-$HOME/.wine}/drive_c/users/$(id -un)"
  log="$profile/Temp/tindralxl.log"
  session="$profile/AppData/Roaming/TindralXL/session.json"
fi
lines_before=0
[[ -f "$log" ]] && lines_before=$(wc -l <"$log")

# What a spreadsheet user would type, and the host command that plays it.
calls=(
  '=LOAN_PAYMENT(0.05, 30, 300000)|call LOAN_PAYMENT n:0.05 n:30 n:300000'
  '=CAGR(100, 200, 5)|call CAGR n:100 n:200 n:5'
  '=FACTORIAL(20)|call FACTORIAL n:20'
  '=FACTORIAL(171)     (beyond a double: #NUM!)|call FACTORIAL n:171'
  '=GREET("Ada")|call GREET s:Ada'
  '=GREET()            (omitted argument arrives as None)|call GREET missing'
  '=SLUGIFY("Hello World, 2024!")|call SLUGIFY s:Hello\sWorld,\s2024!'
  '=WORD_COUNT("one two three")|call WORD_COUNT s:one\stwo\sthree'
  '=PYTYPE(TRUE)|call PYTYPE b:1'
  '=PYTYPE(A1:B1)      (a range arrives as None)|call PYTYPE m:1,2:1;2'
  '=IS_PRIME(97)|call IS_PRIME n:97'
  '=IS_PRIME(1.5)      (raises: #VALUE!, message in the log)|call IS_PRIME n:1.5'
  '=SAFE_DIVIDE(1, 0, -1)|call SAFE_DIVIDE n:1 n:0 n:-1'
)
script=(open list)
if [[ -d "$folder/python" ]]; then
  script+=("echo ---- worksheet calls: formula, then what the cell gets ----")
  for c in "${calls[@]}"; do
    script+=("echo ${c%%|*}" "${c#*|}")
  done
else
  # Without Python nothing is registered: the log below says why.
  script+=("echo ---- no python folder: no worksheet functions and no agent channel ----")
fi
script+=("echo agent channel open" wait close)

echo "run: $folder/$addin in xllhost"
echo "----------------------------------------------------------------"
# The host reads its stdin from a pipe that this script holds open: the
# host's `wait` lasts until the pipe closes, and meanwhile the agent channel
# is live for tools/agent/tindral_agent.py (and anything else that reads
# session.json).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/stdin"
"${host[@]}" "$folder/$addin" "${script[@]}" <"$work/stdin" > >(tee "$work/out") 2>&1 &
host_pid=$!
exec 3>"$work/stdin"

# Wait until the host has run everything up to `wait` (or has ended).
for _ in $(seq 1 600); do
  grep -q '^echo agent channel open' "$work/out" 2>/dev/null && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done

agent=("$PY" tools/agent/tindral_agent.py)
[[ $target == windows ]] && agent+=(--session "$session")
if grep -q '^echo agent channel open' "$work/out" && [[ -f "$session" ]]; then
  echo "---- the agent channel (session: $session) ----"
  for a in "ping" "functions" "eval sum(range(10))"; do
    echo "\$ tools/agent/tindral_agent.py $a"
    # shellcheck disable=SC2086
    "${agent[@]}" $a || true
  done
fi

if [[ -t 0 ]]; then
  echo "----------------------------------------------------------------"
  echo "The add-in is open and its agent channel is live. From another terminal:"
  echo "    ${agent[*]} functions"
  echo "    ${agent[*]} eval '2 ** 10'"
  echo "Press Ctrl-D or Ctrl-C here to close it."
  trap 'true' INT
  cat >/dev/null || true
  trap - INT
fi
exec 3>&-
wait "$host_pid" || true
echo "----------------------------------------------------------------"
if [[ -f "$log" ]]; then
  echo "run: what the add-in logged ($log):"
  tail -n +"$((lines_before + 1))" "$log"
fi
