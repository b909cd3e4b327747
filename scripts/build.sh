#!/usr/bin/env bash
# Builds the add-in, xllhost and the tests through the presets of
# CMakePresets.json: natively for Linux (build/linux) and cross-compiled for
# Windows (build/windows). `build.sh linux`, `build.sh windows`, `build.sh asan`,
# `build.sh tsan` (the add-in and xllhost only) or `build.sh release` builds one
# of them; `all` (the default) the first two.
set -euo pipefail
cd "$(dirname "$0")/.." || { echo "build: cannot enter the repository root" >&2; exit 1; }
JOBS=${TINDRAL_JOBS:-2}
which=${1:-all}

build() {  # preset
  local preset=$1 log=build/$1.configure.log
  echo "build: $preset"
  cmake --preset "$preset" >"$log" 2>&1 || {
    cat "$log" >&2
    echo "build: configuring preset $preset failed" >&2
    return 1
  }
  cmake --build --preset "$preset" -j "$JOBS"
}

mkdir -p build
case "$which" in
  linux | windows | asan | tsan | release) build "$which" ;;
  all)
    build linux
    build windows
    ;;
  *) echo "usage: build.sh [linux|windows|asan|tsan|release|all]" >&2; exit 2 ;;
esac
