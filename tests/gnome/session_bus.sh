#!/bin/sh
# Runs a command on a private session bus with a PipeWire daemon and its session manager on it, as a
# GNOME session has, in a runtime folder of its own; the command starts the compositor itself.
runtime=$(mktemp -d)
chmod 700 "$runtime"
XDG_RUNTIME_DIR="$runtime" dbus-run-session -- sh -c '
  pipewire >/dev/null 2>&1 & pw=$!
  wireplumber >/dev/null 2>&1 & wp=$!
  "$@"; status=$?
  kill $wp $pw 2>/dev/null
  wait
  exit $status' sh "$@"
status=$?
rm -rf "$runtime"
exit $status
