#!/usr/bin/env bash
# Runs the add-in headless and shows what a spreadsheet user and an agent see.
#
#   scripts/run.sh [--windows] [--modules DIR] [--raw]
#
# It builds the add-in and xllhost (only those), lays out a folder the way a
# user puts the add-in beside Excel (build/run-linux or build/run-windows: the
# add-in, the tindral_xl package, a Python home and a `modules` folder that
# links to DIR's files), opens it in xllhost, the Excel stand-in, and shows
# each example call as a formula and the value its cell gets, then the
# agent's exchange with the running add-in. The add-in stays open: type
# formulas to call them; Ctrl-D closes it (exit 0), so does Ctrl-C (exit 130).
# It ends with what the add-in logged.
#
#   --windows      the Windows build, under Wine
#   --modules DIR  your own modules (default: examples/modules). DIR is only
#                  read: the run folder links to its files, so edits show at
#                  the next run (or at once, through the agent's `reload`)
#   --raw          the host's protocol lines instead of the formulas
#
# One line per step with the time it took; the steps' full output goes to
# build/run-linux.log (build/run-windows.log), named when a step fails.
# TINDRAL_SKIP_SETUP=1 skips the package check; TINDRAL_BUILD_LINUX /
# TINDRAL_BUILD_WINDOWS name other build folders, TINDRAL_RUN_DIR another
# run folder.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd) || { echo "run: cannot find the repository root" >&2; exit 1; }
cd "$root" || { echo "run: cannot enter $root" >&2; exit 1; }
# shellcheck source=scripts/host_python.sh
source scripts/host_python.sh

usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

target=linux
modules=examples/modules
raw=()
while (($#)); do
  case $1 in
    --windows) target=windows ;;
    --modules)
      [[ $# -ge 2 ]] || { echo "run: --modules needs a folder" >&2; exit 2; }
      modules=$2
      shift
      ;;
    --modules=*) modules=${1#--modules=} ;;
    --raw) raw=(--raw) ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

python=$(tindral_python3) || { echo "run: apt-get install python3" >&2; exit 1; }
[[ -d $modules ]] || { echo "run: no modules folder '$modules'" >&2; exit 2; }
modules=$(cd "$modules" && pwd) || { echo "run: cannot enter '$modules'" >&2; exit 2; }

# The presets' build folders, unless TINDRAL_BUILD_LINUX / TINDRAL_BUILD_WINDOWS
# name folders configured elsewhere (the test suites' own).
linux_build=${TINDRAL_BUILD_LINUX:-build/linux}
if [[ $target == linux ]]; then
  build=$linux_build
  addin=TindralXL.so
else
  build=${TINDRAL_BUILD_WINDOWS:-build/windows}
  addin=TindralXL.xll
  # A prefix of its own: the test suites keep theirs, and ~/.wine stays untouched.
  export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/tindralxl/wineprefix-run}
fi
folder=${TINDRAL_RUN_DIR:-build/run-$target}
mkdir -p build "$folder" || exit 1
steps_log=$(cd "$(dirname "$folder")" && pwd)/$(basename "$folder").log || { echo "run: cannot enter the folder of $folder" >&2; exit 1; }
: >"$steps_log"

# step TITLE COMMAND...: runs COMMAND with its output in the log, and prints
# one line with the time it took; on failure names the log, shows its end and
# stops the run. try_step does the same but lets the run go on (status 1).
try_step() {
  local title=$1
  shift
  printf 'run: %-44s ' "$title"
  printf '\n=== %s: %s\n' "$title" "$*" >>"$steps_log"
  local t0=$EPOCHREALTIME
  if "$@" >>"$steps_log" 2>&1; then
    printf 'ok (%s s)\n' "$(elapsed "$t0")"
    return 0
  fi
  printf 'FAILED (%s s)\n' "$(elapsed "$t0")"
  echo "run: the full output is in $steps_log; its last lines:" >&2
  tail -n 15 "$steps_log" | sed 's/^/    /' >&2
  return 1
}
step() { try_step "$@" || exit 1; }
elapsed() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

# set_aside PATH: keeps a folder run.sh did not make by renaming it; the
# note is shown after the step (whose own output goes to the log).
kept=()
set_aside() {
  local saved
  saved="$1.saved-$(date +%Y%m%d-%H%M%S)"
  mv "$1" "$saved" && kept+=("run: $1 held files of yours: kept as $saved")
}
show_kept() {
  ((${#kept[@]})) && printf '%s\n' "${kept[@]}"
  kept=()
}

if [[ "${TINDRAL_SKIP_SETUP:-0}" != 1 ]]; then
  step "check the Debian packages" scripts/setup.sh --run
fi

# build_targets PRESET FOLDER TARGET...: only the targets the run needs; the
# tests and benchmarks of the same folder are left to test.sh. A preset's
# folder is configured once (afterwards ninja re-runs CMake when a CMake file
# changed); a folder named by the environment must already be configured.
build_targets() {
  local preset=$1 dir=$2 names
  shift 2
  names=$(printf '%s and ' "$@")
  names=${names% and }
  if [[ $dir == "build/$preset" ]]; then
    if [[ ! -f $dir/build.ninja ]]; then
      step "configure $dir (cmake --preset $preset)" cmake --preset "$preset"
    fi
    step "build $names in $dir" cmake --build --preset "$preset" -j "${TINDRAL_JOBS:-2}" --target "$@"
  else
    [[ -f $dir/build.ninja ]] || { echo "run: $dir is not a configured build folder" >&2; exit 1; }
    step "build $names in $dir" cmake --build "$dir" -j "${TINDRAL_JOBS:-2}" --target "$@"
  fi
}
build_targets "$target" "$build" TindralXL xllhost
version=$(<VERSION) || { echo "run: cannot read VERSION" >&2; exit 1; }

# --- the Python home -----------------------------------------------------------------
no_python=""
if [[ $target == linux ]]; then
  if ! try_step "Python home in $folder/python" "$python" scripts/make_python_home.py --out "$folder/python"; then
    no_python="no Python home could be laid out (see $steps_log)"
    echo "run: going on without Python: $no_python"
  fi
elif [[ -n "${TINDRAL_WIN_PYTHON:-}" ]]; then
  # A Windows Python of the user's: linked, never copied over or deleted.
  [[ -L $folder/python ]] && rm "$folder/python"
  [[ -e $folder/python ]] && set_aside "$folder/python"
  show_kept
  win_python=$(cd "$TINDRAL_WIN_PYTHON" && pwd) || { echo "run: cannot enter TINDRAL_WIN_PYTHON '$TINDRAL_WIN_PYTHON'" >&2; exit 2; }
  ln -s "$win_python" "$folder/python"
  printf 'run: %-44s %s\n' "Python for Wine" "$TINDRAL_WIN_PYTHON (TINDRAL_WIN_PYTHON), linked"
else
  # The test bed's python312.dll bridge: a Winelib DLL running the Linux
  # CPython, made by the Linux build where winegcc and a static libpython are.
  [[ -L $folder/python ]] && rm "$folder/python"
  no_bridge=""
  if [[ $linux_build == build/linux && ! -f $linux_build/build.ninja ]]; then
    step "configure $linux_build (cmake --preset linux)" cmake --preset linux
  fi
  if ! ninja -C "$linux_build" -t query python_bridge >/dev/null 2>&1; then
    no_bridge="the Linux build makes no python312.dll bridge here (it needs winegcc of wine64-tools and a static libpython3.12.a; configuring $linux_build says which is missing)"
  elif ! try_step "build the python312.dll bridge in $linux_build" \
      cmake --build "$linux_build" -j "${TINDRAL_JOBS:-2}" --target python_bridge; then
    no_bridge="the python312.dll bridge did not build (see $steps_log)"
  elif ! try_step "Python for Wine (the bridge) in $folder/python" \
      env TINDRAL_BUILD_LINUX="$linux_build" "$python" scripts/make_python_home.py --wine --out "$folder"; then
    no_bridge="the Wine bridge Python could not be laid out (see $steps_log)"
  fi
  if [[ -n $no_bridge ]]; then
    # A home an earlier run laid out would contradict the reason given.
    if [[ -f $folder/python/.tindral-python-home.json ]]; then
      rm -rf "$folder/python"
    elif [[ -e $folder/python ]]; then
      set_aside "$folder/python"
      show_kept
    fi
    no_python="$no_bridge; set TINDRAL_WIN_PYTHON to a Windows embeddable Python 3.12 folder"
    echo "run: going on without Python: $no_python"
  fi
fi

# --- the add-in folder ----------------------------------------------------------------
lay_out() {
  # A new file renamed over the old one: a host still running keeps its copy.
  cp "$build/$addin" "$folder/.$addin.new" && mv -f "$folder/.$addin.new" "$folder/$addin" || return 1
  # The package is ours: replaced whole, with the build's release number.
  rm -rf "$folder/tindral_xl" && cp -r python/tindral_xl "$folder/tindral_xl" || return 1
  find "$folder/tindral_xl" -name __pycache__ -prune -exec rm -rf {} +
  cp "$build/generated/_version.py" "$folder/tindral_xl/_version.py" || return 1

  # The modules folder holds links to the user's files and nothing else of
  # theirs: only links are ever removed from it. Files the add-in wrote there
  # in an earlier run (an agent's write_module) are the run folder's own:
  # run_session.py lists them with their digests, and they stay.
  local dest=$folder/modules
  if [[ -d $dest && ! -L $dest && $dest -ef $modules ]]; then
    return 0  # the user's folder is the run folder's own: used as it is
  fi
  [[ -L $dest ]] && rm "$dest"
  if [[ -d $dest ]] && holds_theirs "$dest"; then
    set_aside "$dest" || return 1
  fi
  mkdir -p "$dest" || return 1
  find "$dest" -mindepth 1 -maxdepth 1 -type l -delete
  local entry
  for entry in "$modules"/* "$modules"/.[!.]*; do
    [[ -e $entry && $(basename "$entry") != __pycache__ ]] || continue
    ln -s "$entry" "$dest/" || return 1
  done
}
# holds_theirs DIR: true when DIR holds an entry that is neither a link, nor
# __pycache__, nor a file the add-in wrote (listed in DIR/.tindral-written
# with the digest it still has), or one such file shares a name with an
# entry of the user's folder (its link could not be made).
holds_theirs() {
  local dir=$1 entry name digest
  for entry in "$dir"/* "$dir"/.[!.]*; do
    [[ -e $entry || -L $entry ]] || continue
    name=$(basename "$entry")
    [[ -L $entry || $name == __pycache__ || $name == .tindral-written ]] && continue
    [[ -f $entry && -f $dir/.tindral-written ]] || return 0
    digest=$(sha256sum "$entry" | cut -d' ' -f1)
    grep -qxF "$digest  $name" "$dir/.tindral-written" || return 0
    [[ -e $modules/$name || -L $modules/$name ]] && return 0
  done
  return 1
}
label=${modules#"$root"/}
step "lay out $folder (modules: $label)" lay_out
show_kept

if [[ $target == windows ]]; then
  prepare_wine() {
    command -v wine >/dev/null || { echo "wine is missing (apt-get install wine wine64)"; return 1; }
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      WINEDEBUG=-all wineboot -i && WINEDEBUG=-all wineserver -w
    fi
  }
  if [[ -f $WINEPREFIX/system.reg ]]; then
    step "Wine prefix $WINEPREFIX" prepare_wine
  else
    step "Wine prefix $WINEPREFIX (first time: a minute)" prepare_wine
  fi
fi

echo
exec "$python" scripts/run_session.py --target "$target" --build "$build" --folder "$folder" \
  --version "$version" --host-log "$steps_log" --no-python-reason "$no_python" --modules "$modules" "${raw[@]}"
