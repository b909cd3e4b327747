#!/usr/bin/env bash
# Builds the add-in, xllhost and the tests: natively for Linux (build/linux)
# and cross-compiled for Windows (build/windows). `build.sh linux` or
# `build.sh windows` builds one of them.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${TINDRAL_JOBS:-2}
which=${1:-all}

build() {  # dir, extra cmake arguments...
  local dir=$1
  shift
  echo "build: $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log" >&2
    echo "build: configuring $dir failed" >&2
    return 1
  }
  ninja -C "$dir" -j "$JOBS"
}

mkdir -p build
case "$which" in
  linux) build build/linux ;;
  windows) build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ;;
  asan) build build/asan -DTINDRAL_SANITIZE=address,undefined ;;
  all)
    build build/linux
    build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
    ;;
  *) echo "usage: build.sh [linux|windows|asan|all]" >&2; exit 2 ;;
esac
