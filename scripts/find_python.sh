# Sourced by the scripts: tindral_find_python prints the prefix of a Python
# 3.12 that has a shared libpython3.12.so, or fails.
tindral_find_python() {
  local candidates=()
  [[ -n "${TINDRAL_PYTHON_PREFIX:-}" ]] && candidates+=("$TINDRAL_PYTHON_PREFIX")
  if command -v python3.12-config >/dev/null 2>&1; then
    candidates+=("$(python3.12-config --prefix 2>/dev/null || true)")
  fi
  local d
  for d in $(ls -d "$HOME"/.pyenv/versions/3.12* /root/.pyenv/versions/3.12* 2>/dev/null | sort -rV); do
    candidates+=("$d")
  done
  for d in "${candidates[@]}"; do
    if [[ -n "$d" && -e "$d/lib/libpython3.12.so" ]]; then
      echo "$d"
      return 0
    fi
  done
  return 1
}
