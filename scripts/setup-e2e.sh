#!/usr/bin/env bash
# Installs the browser tests' npm packages (playwright-core, without a browser of its own: the tests
# drive Debian's chromium) from tests/e2e/package-lock.json. Skipped when exactly that lock file was
# installed already.
set -euo pipefail
dir="$(cd "$(dirname "$0")/../tests/e2e" && pwd)"
installed="$dir/node_modules/.installed-package-lock.json"
if [ -f "$installed" ] && cmp -s "$installed" "$dir/package-lock.json"; then
  exit 0
fi
echo "setup: installing the browser tests' npm packages"
npm ci --prefix "$dir" --no-audit --no-fund --no-update-notifier --loglevel=error
cp "$dir/package-lock.json" "$installed"
