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
