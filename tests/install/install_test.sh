#!/usr/bin/env bash
# Installs the build into a scratch prefix as a user would and checks what a desktop relies on: the
# launcher starts the bundled application from anywhere, the desktop entry is valid and names it, and
# the theme has the icon.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
entry="$prefix/share/applications/qova-lumaro-agent.desktop"
desktop-file-validate "$entry"
grep -qx "Exec=\"$prefix/bin/qova-lumaro-agent\"" "$entry"
for size in 16 32 48 64 128 256; do test -s "$prefix/share/icons/hicolor/${size}x${size}/apps/qova-lumaro-agent.png"; done
test -s "$prefix/share/icons/hicolor/scalable/apps/qova-lumaro-agent.svg"
test -x "$prefix/lib/qova-lumaro-agent/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper"

# Through a link elsewhere, as a menu or a PATH entry would start it; it runs until SIGTERM ends it
# cleanly (status 0). Everything it writes stays in the prefix.
ln -s "$prefix/bin/qova-lumaro-agent" "$prefix/elsewhere"
status=0
env -u DISPLAY HOME="$prefix" XDG_RUNTIME_DIR="$prefix" XDG_STATE_HOME="$prefix" QT_QPA_PLATFORM=offscreen \
  timeout --preserve-status -s TERM 3 "$prefix/elsewhere" 2>/dev/null || status=$?
test "$status" -eq 0
echo "install ok"
