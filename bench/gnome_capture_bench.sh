#!/usr/bin/env bash
# GNOME's capture path at 1280x720: a headless Mutter 43 on a private session bus with PipeWire, the
# application's capture path on its screen cast (capture_cpu_bench with QOVA_DESKTOP_BACKEND=gnome),
# the pointer moved every 100 ms so the compositor sends frames. Prints our CPU per frame, the
# compositor's CPU per frame, latencies, and then our CPU share while the screen stays still.
# X11 at the same size: QOVA_CAPTURE_SIZES=1280x720 bench/capture_compare.sh build 15
# Usage: bench/gnome_capture_bench.sh [build-dir] [seconds-per-run]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
seconds="${2:-15}"
exec tests/gnome/session_bus.sh bash -c '
  build="$1"; seconds="$2"
  mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 >/dev/null 2>&1 &
  mutter=$!
  trap "kill -9 $mutter 2>/dev/null" EXIT
  for _ in $(seq 100); do
    gdbus introspect --session --dest org.gnome.Mutter.ScreenCast --object-path /org/gnome/Mutter/ScreenCast \
      >/dev/null 2>&1 && break
    sleep 0.1
  done
  ticks() { awk "{print \$14 + \$15}" "/proc/$1/stat"; }
  hz=$(getconf CLK_TCK)
  m0=$(ticks $mutter)
  moving=$(QOVA_DESKTOP_BACKEND=gnome "$build/bench/capture_cpu_bench" "$seconds" 2>/dev/null)
  m1=$(ticks $mutter)
  echo "$moving"
  sent=$(sed -n "s/^frames \([0-9]*\).*/\1/p" <<<"$moving")
  awk -v a="$m0" -v b="$m1" -v n="$sent" -v hz="$hz" \
    "BEGIN { printf \"compositor cpu/frame %.2f ms (rendering and the copy into PipeWire)\n\", (b - a) * 1000 / hz / n }"
  echo "still screen:"
  QOVA_DESKTOP_BACKEND=gnome "$build/bench/capture_cpu_bench" "$seconds" --quiet-screen 2>/dev/null | grep "^frames"
' bash "$build" "$seconds"
