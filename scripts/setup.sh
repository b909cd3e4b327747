#!/usr/bin/env bash
# Installs what building and testing need on Debian, when it is missing:
# compilers for both builds, Wine (with winegcc, for the test bed's
# python312.dll bridge), Boost, GoogleTest, pytest, curl, wrk and
# slowhttptest (real clients of the agent channel), and Node with npm for the
# MCP client tests. Also reports the Python 3.12 that the Linux build embeds
# in its tests.
#
#   setup.sh          everything the test command (scripts/test.sh) needs
#   setup.sh --run    only what scripts/run.sh needs: the builds and Wine;
#                     no pytest, no HTTP tools, no Node, no npm
set -euo pipefail

for_run=0
case ${1:-} in
  "") ;;
  --run) for_run=1 ;;
  *) echo "usage: setup.sh [--run]" >&2; exit 2 ;;
esac

PACKAGES=(
  cmake ninja-build g++ binutils
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 wine64-tools
  libboost-dev libgtest-dev rapidjson-dev
  python3
)
if ((!for_run)); then
  PACKAGES+=(python3-pytest e2fsprogs curl wrk slowhttptest)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node by command, not by package: a Node from elsewhere (NodeSource's
# nodejs carries its own npm) serves as well, and Debian's npm would conflict.
# Only the MCP client tests need it.
if ((!for_run)); then
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    SUDO=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Package lists may be missing or stale on a fresh machine: refresh once.
  "${SUDO[@]}" apt-get update -q || { echo "setup: apt-get update failed" >&2; exit 1; }
  "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" || {
    echo "setup: apt-get install failed for: ${missing[*]}" >&2
    exit 1
  }
else
  echo "setup: all Debian packages present"
fi

# Python 3.12 with a shared libpython3.12.so (scripts/find_python312.py: from
# $TINDRAL_PYTHON_PREFIX, python3.12-config, or pyenv). Debian does not package
# it here, so it is only looked for; the finder's message says where it looked.
# shellcheck source=scripts/host_python.sh
source "$(dirname "$0")/host_python.sh"
if prefix=$(tindral_python312_prefix); then
  echo "setup: Python 3.12 at $prefix"
  # The Wine suite's Python runs through a bridge that links it statically.
  if ! compgen -G "$prefix/lib/python3.12/config-3.12*/libpython3.12.a" >/dev/null; then
    echo "setup: WARNING: no static libpython3.12.a under $prefix/lib/python3.12: the python312.dll" \
         "bridge is not built, and the Wine suite's Python cases skip" >&2
  fi
else
  echo "setup: WARNING: tests that embed Python will fail or skip" >&2
fi

# The MCP clients the tests drive (the official SDK, the Inspector, the
# conformance suite), exactly as tests/mcp/package-lock.json pins them. npm's
# cache under ~/.cache makes a rerun work offline; an install that still
# matches the lock file is kept. A test dependency: not for run.sh.
((for_run)) && exit 0
"$(dirname "$0")/npm_ci.sh" || { echo "setup: installing the MCP test clients from npm failed" >&2; exit 1; }
