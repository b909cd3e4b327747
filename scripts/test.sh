#!/usr/bin/env bash
# The whole test run: installs what is missing, builds both targets, checks
# the exported names, runs the unit tests (CTest) and the end-to-end suite on
# Linux and, under Wine, against the Windows build (both drive the MCP clients
# from npm: tests/mcp). Ends with each runner's summary line and a total;
# exits non-zero when anything failed.
#
# TINDRAL_SKIP_SETUP=1 skips the package step; TINDRAL_ASAN=0 skips the
# sanitizer build of the unit tests; TINDRAL_TSAN=0 skips the race case (the
# add-in and xllhost built with ThreadSanitizer under mixed load).
set -uo pipefail
cd "$(dirname "$0")/.." || { echo "test: cannot enter the repository root" >&2; exit 1; }
ROOT=$(pwd)
LOGS=build/test-logs
start=$(date +%s)
# shellcheck source=scripts/host_python.sh
source scripts/host_python.sh

step() { echo; echo "=== $* ($(( $(date +%s) - start )) s)"; }
fail_hard() { echo "test: $*" >&2; exit 1; }

if [[ "${TINDRAL_SKIP_SETUP:-0}" != 1 ]]; then
  step "setup"
  scripts/setup.sh || fail_hard "setup failed"
fi
# The first python3 on PATH that has pytest runs the suites and the checks.
PY=$(tindral_python3 pytest) || fail_hard "no python3 with pytest (apt-get install python3-pytest)"

step "build"
scripts/build.sh all || fail_hard "build failed"
mkdir -p "$LOGS"
rm -f "$LOGS"/*.log

failures=0
summary=()
declare -A counts=([passed]=0 [failed]=0 [skipped]=0)

# The build a newcomer types by hand: no preset, CMake's default generator
# (Unix Makefiles) and no build type (unoptimised). Only what proves it
# builds: the add-in with its symbol-prefix check (tindral_core), xllhost and
# the Wine bridge, whose link once raced its own object file under make.
step "by-hand build (cmake -S . -B build/by-hand)"
by_hand() {
  local dir=build/by-hand targets=(TindralXL tindral_core xllhost)
  cmake -S . -B "$dir" || return 1
  cmake --build "$dir" --target help | grep -q ' python_bridge$' && targets+=(python_bridge)
  cmake --build "$dir" -j "${TINDRAL_JOBS:-2}" --target "${targets[@]}"
}
if by_hand >"$LOGS/by-hand-build.log" 2>&1; then
  summary+=("by-hand build (default generator, no build type): ok")
  counts[passed]=$((counts[passed] + 1))
else
  tail -n 30 "$LOGS/by-hand-build.log"
  failures=$((failures + 1))
  counts[failed]=$((counts[failed] + 1))
  summary+=("by-hand build (default generator, no build type): FAILED (see $LOGS/by-hand-build.log)")
fi

step "exported names"
if ! $PY scripts/check_exports.py --linux build/linux --windows build/windows; then
  failures=$((failures + 1))
  summary+=("check_exports: FAILED")
  counts[failed]=$((counts[failed] + 1))
else
  summary+=("check_exports: ok")
  counts[passed]=$((counts[passed] + 1))
fi

# ctest's closing line: "100% tests passed, 0 tests failed out of 35".
run_ctest() {  # test preset of CMakePresets.json
  local name=$1 log="$LOGS/ctest-$1.log"
  step "ctest ($name)"
  ctest --preset "$name" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
  if [[ -z "$line" ]]; then
    rc=1
    line="no summary (exit $rc)"
  else
    local total failed
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    failed=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    counts[passed]=$((counts[passed] + total - failed))
    counts[failed]=$((counts[failed] + failed))
  fi
  ((rc != 0)) && failures=$((failures + 1))
  summary+=("ctest ($name): $line")
}

# pytest's closing line: "=== 44 passed, 1 skipped in 0.63s ===".
run_pytest() {  # name, pytest arguments...
  local name=$1
  shift
  local log="$LOGS/pytest-$name.log"
  step "pytest ($name)"
  $PY -m pytest "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E "^=+ .*(passed|failed|error|skipped|no tests ran).* in [0-9.]+s" "$log" | tail -1 | sed -E 's/^=+ //; s/ =+$//')
  local k n
  for k in passed failed skipped error; do
    n=$(grep -oE "[0-9]+ $k" <<<"$line" | grep -oE "^[0-9]+" || true)
    [[ -z "$n" ]] && continue
    [[ $k == error ]] && k=failed
    counts[$k]=$((counts[$k] + n))
  done
  # Exit 5 means no test ran: a suite that lost its tests is a failure too.
  ((rc != 0)) && failures=$((failures + 1))
  summary+=("pytest ($name): ${line:-no summary (exit $rc)}")
}

run_ctest linux

if [[ "${TINDRAL_ASAN:-1}" == 1 ]]; then
  step "sanitizer build"
  if scripts/build.sh asan; then
    run_ctest asan  # the preset sets ASAN_OPTIONS and UBSAN_OPTIONS
  else
    failures=$((failures + 1))
    summary+=("ctest (asan): build FAILED")
  fi
fi

if [[ "${TINDRAL_TSAN:-1}" == 1 ]]; then
  step "thread sanitizer build"
  if scripts/build.sh tsan; then
    run_pytest tsan tests/e2e/test_thread_races.py tests/e2e/test_async.py::test_async_calls_cancels_and_closes_race_nothing \
      --target tsan
  else
    failures=$((failures + 1))
    counts[failed]=$((counts[failed] + 1))
    summary+=("pytest (tsan): build FAILED")
  fi
fi

# The MCP end-to-end tests drive real clients from npm. Installed here as well
# as in setup, so that TINDRAL_SKIP_SETUP=1 still gets them; without them
# those tests fail and say why.
step "MCP clients (npm ci)"
if scripts/npm_ci.sh; then
  summary+=("npm ci (tests/mcp): ok")
else
  failures=$((failures + 1))
  counts[failed]=$((counts[failed] + 1))
  summary+=("npm ci (tests/mcp): FAILED (npm or its registry missing)")
fi

pydirs=(tests/e2e)
run_pytest linux "${pydirs[@]}" --target linux
# The package's own tests run under the Python 3.12 the build embeds, as the
# package does in Excel; its pytest, or else the host's (pytest is pure
# Python): a folder linking just pytest's packages goes on its PYTHONPATH.
# The old pytest of Debian rewrites asserts with ast names 3.12 deprecates:
# those warnings are its own, not the tests'.
if [[ -d tests/python ]]; then
  if py312=$(tindral_python312_prefix)/bin/python3.12 && pytest_path=$(tindral_pytest_for "$py312" "$PY" build/pytest-py312); then
    PY="env PYTHONPATH=$pytest_path $py312" run_pytest python tests/python -p no:cacheprovider \
      -W "ignore::DeprecationWarning:_pytest.assertion.rewrite"
  else
    failures=$((failures + 1))
    counts[failed]=$((counts[failed] + 1))
    summary+=("pytest (python): no Python 3.12 that runs pytest")
  fi
fi
run_pytest wine tests/e2e --target wine

step "summary"
for s in "${summary[@]}"; do echo "$s"; done
echo "total: ${counts[passed]} passed, ${counts[failed]} failed, ${counts[skipped]} skipped"
if ((failures)); then
  echo "test: $failures step(s) failed" >&2
  exit 1
fi
exit 0
