#!/usr/bin/env bash
# Runs a command against a private Xvfb (1440x900) and stops the server afterwards.
set -euo pipefail
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 "${QOVA_XVFB_SCREEN:-1440x900x24}" -nolisten tcp +extension RANDR 3>"$fifo" 2>/dev/null &
xvfb_pid=$!
read -r number <"$fifo"
rm -f "$fifo"
trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
export DISPLAY=":$number"
echo "Xvfb running on DISPLAY=$DISPLAY"
"$@"
