#!/usr/bin/env bash
# Runs a command against a private Xvfb (1440x900 unless QOVA_XVFB_SCREEN says otherwise) and stops
# the server afterwards.
#   scripts/with-xvfb.sh [--desktop] command [args...]
# --desktop gives the screen something to show and to use: a window manager (so a click gives a
# window the keyboard), a coloured background and a terminal.
set -euo pipefail
desktop=0
if [ "${1:-}" = "--desktop" ]; then
  desktop=1
  shift
fi
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -noreset -screen 0 "${QOVA_XVFB_SCREEN:-1440x900x24}" -nolisten tcp +extension RANDR 3>"$fifo" 2>/dev/null &
xvfb_pid=$!
read -r number <"$fifo"
rm -f "$fifo"
pids=("$xvfb_pid")
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export DISPLAY=":$number"
echo "Xvfb running on DISPLAY=$DISPLAY"
if ((desktop)); then
  if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=("$!")
    sleep 0.5
  fi
  command -v xsetroot >/dev/null && xsetroot -solid '#2f4f6f'
  if command -v xterm >/dev/null; then
    xterm -geometry 48x20-16+30 -fa 'Monospace' -fs 11 -title "QOVA desktop terminal" \
      -e "${SHELL:-/bin/bash}" -l >/dev/null 2>&1 &
    pids+=("$!")
  fi
fi
"$@"
