#!/usr/bin/env bash
# Installs the browser tests' npm packages (playwright-core, without a browser of its own: the tests
# drive Debian's chromium) from tests/e2e/package-lock.json. Skipped when they are already in place.
set -euo pipefail
dir="$(cd "$(dirname "$0")/../tests/e2e" && pwd)"
stamp="$dir/node_modules/.package-lock.json"
if [ -f "$stamp" ] && [ "$stamp" -nt "$dir/package-lock.json" ]; then
  exit 0
fi
echo "setup: installing the browser tests' npm packages"
npm ci --prefix "$dir" --no-audit --no-fund --loglevel=error
