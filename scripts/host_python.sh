# shellcheck shell=bash disable=SC2119,SC2120
# Sourced by the scripts. The Python tools run under the host's python3 as PATH
# finds it (on a fresh Debian the system's), never under a fixed path.

# tindral_python3 [MODULE...]: prints the first python3 on PATH that imports
# every MODULE (e.g. pytest), or fails naming the ones it tried.
tindral_python3() {
  local py tried=()
  while IFS= read -r py; do
    if "$py" -c 'import sys; [__import__(m) for m in sys.argv[1:]]' "$@" >/dev/null 2>&1; then
      echo "$py"
      return 0
    fi
    tried+=("$py")
  done < <(type -ap python3 | awk '!seen[$0]++')
  echo "no python3 on PATH${1:+ that imports $*} (tried: ${tried[*]:-none})" >&2
  return 1
}

# tindral_python312_prefix: prints the prefix of the Python 3.12 the Linux build
# embeds, found by scripts/find_python312.py (the search CMake and
# make_python_home.py use too), or fails saying where it looked.
tindral_python312_prefix() {
  local py
  py=$(tindral_python3) || return 1
  "$py" "$(dirname "${BASH_SOURCE[0]}")/find_python312.py"
}

# tindral_pytest_for PY312 HOSTPY DIR: prints the PYTHONPATH under which PY312
# runs pytest: empty when it has pytest itself, else DIR, made to hold links
# to HOSTPY's pytest and the pure-Python packages it imports (never the
# host's whole site-packages, whose compiled modules are not 3.12's). Fails
# saying why when neither works.
tindral_pytest_for() {
  local py312=$1 host=$2 dir=$3 m origin
  if "$py312" -c 'import pytest' >/dev/null 2>&1; then
    echo ""
    return 0
  fi
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  for m in pytest _pytest py pluggy iniconfig packaging attr; do
    # A package is linked as its folder, a module (py.py) as its file.
    origin=$("$host" -c 'import importlib.util as u, os, sys
s = u.find_spec(sys.argv[1])
if s is None or not s.origin: sys.exit(1)
print(os.path.dirname(s.origin) if s.submodule_search_locations else s.origin)' "$m" 2>/dev/null) || continue
    ln -s "$origin" "$dir/" || return 1
  done
  if ! PYTHONPATH=$dir "$py312" -m pytest --version >/dev/null 2>&1; then
    echo "$py312 has no pytest, and $host's pytest does not run under it (tried PYTHONPATH=$dir)" >&2
    return 1
  fi
  echo "$dir"
}
