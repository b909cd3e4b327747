#!/usr/bin/env bash
# Installs tests/mcp/node_modules with `npm ci` from package-lock.json, using
# the npm cache in ~/.cache/tindralxl/npm (offline when it holds everything).
# Does nothing when the installed tree was made from the same lock file.
# Fails loudly when npm or the registry is missing: the MCP tests need it.
set -euo pipefail
cd "$(dirname "$0")/../tests/mcp" || { echo "npm_ci: cannot enter tests/mcp" >&2; exit 1; }
command -v npm >/dev/null || { echo "npm_ci: npm is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
stamp=node_modules/.tindral-lock.sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
if [[ -f $stamp && $(cat "$stamp") == "$want" ]]; then
  echo "npm_ci: tests/mcp/node_modules matches package-lock.json"
  exit 0
fi
export npm_config_cache="${npm_config_cache:-$HOME/.cache/tindralxl/npm}"
echo "npm_ci: installing tests/mcp from package-lock.json (cache $npm_config_cache)"
if ! npm ci --prefer-offline --no-audit --no-fund; then
  echo "npm_ci: npm ci failed: is the npm registry reachable (or the cache complete)?" >&2
  exit 1
fi
echo "$want" > "$stamp"
