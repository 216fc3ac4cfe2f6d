#!/usr/bin/env bash
# The wlroots and GNOME capture paths beside the X11 one, at the same picture size in the same run: the
# same photo-like picture (Xvfb: drawn by capture_screen_changer; sway headless: its background;
# Mutter headless: its own plain background), changed every 30 ms (X11: a small square repainted;
# sway: the pointer moved, which the compositor draws in) or every 100 ms (GNOME: the pointer moved by
# capture_cpu_bench itself), then a still screen. capture_cpu_bench runs the application's capture
# path on each and prints its CPU per frame and the time from a sample to the frame's last byte in the
# agent's pipe; the display server's own CPU over the run is shown beside it. Last, on the still picture, the time from a pointer
# move to the first sample that shows it (capture_change_latency_bench).
# Usage: bench/capture_wayland_compare.sh [build-dir] [seconds-per-run] [width] [height]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
seconds="${2:-15}"
width="${3:-1920}"
height="${4:-1080}"
work="$(mktemp -d /tmp/qova-wayland-compare-XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

server_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# One measured run: label, server pid, then the environment for capture_cpu_bench.
measure() {
  local label="$1" server="$2" before after
  shift 2
  before=$(server_ticks "$server")
  result=$(env "$@" "$build/bench/capture_cpu_bench" "$seconds" 2>/dev/null | tail -1)
  after=$(server_ticks "$server")
  printf '%-22s server cpu %5.1f%% | %s\n' "$label" "$(echo "($after - $before) * 100 / $(getconf CLK_TCK) / $seconds" | bc -l)" "$result"
}

convert -size "${width}x${height}" plasma:fractal -seed 7 -blur 0x1 -fill white -stroke black -font DejaVu-Sans \
  -pointsize 28 -annotate +60+80 'Quarterly review - remote session' -pointsize 14 \
  -annotate +60+130 'The quick brown fox jumps over the lazy dog 0123456789' "$work/photo.png"
convert "$work/photo.png" -depth 8 "BGRA:$work/photo.bgra"

# X11: a private Xvfb with the picture and its changing square.
exec 9>"$work/displayfd"
Xvfb -displayfd 9 -screen 0 "${width}x${height}x24" -nolisten tcp -noreset +extension RANDR 2>/dev/null &
xvfb=$!
pids+=("$xvfb")
for _ in $(seq 100); do [ -s "$work/displayfd" ] && break; sleep 0.05; done
exec 9>&-
display=":$(head -1 "$work/displayfd")"
DISPLAY="$display" "$build/bench/capture_screen_changer" "$work/photo.bgra" "$width" "$height" 30 >"$work/x.out" &
changer=$!
pids+=("$changer")
for _ in $(seq 100); do grep -q ready "$work/x.out" 2>/dev/null && break; sleep 0.05; done
measure "X11 changing" "$xvfb" DISPLAY="$display"
kill "$changer"
DISPLAY="$display" "$build/bench/capture_screen_changer" "$work/photo.bgra" "$width" "$height" 0 >/dev/null &
pids+=($!)
sleep 1
measure "X11 still" "$xvfb" DISPLAY="$display"
printf '%-22s %s\n' "X11 pointer moved" "$(DISPLAY="$display" "$build/bench/capture_change_latency_bench" 2>/dev/null)"

# wlroots: a headless sway (as nobody when run as root: it refuses root) showing the picture.
mkdir -m 700 "$work/run"
cat >"$work/config" <<CONFIG
xwayland disable
output HEADLESS-1 mode ${width}x${height} bg $work/photo.png fill
CONFIG
as_sway=()
if [ "$(id -u)" = 0 ]; then
  chown 65534:65534 "$work/run"
  as_sway=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
env -i PATH="$PATH" XDG_RUNTIME_DIR="$work/run" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
  WLR_RENDERER=pixman "${as_sway[@]}" sway -c "$work/config" 2>"$work/sway.log" &
sway=$!
pids+=("$sway")
for _ in $(seq 100); do [ -S "$work/run/wayland-1" ] && break; sleep 0.05; done
sleep 1  # its background client draws the picture
SWAYSOCK=$(ls "$work"/run/sway-ipc.*) swaymsg -t get_outputs | grep -m1 -A3 current_mode | tr -d " \n"; echo
wayland=(WAYLAND_DISPLAY="$work/run/wayland-1" XDG_RUNTIME_DIR="$work/run" QOVA_DESKTOP_BACKEND=wlroots)
env "${wayland[@]}" "$build/bench/wayland_pointer_changer" 30 >"$work/w.out" &
changer=$!
pids+=("$changer")
for _ in $(seq 100); do grep -q ready "$work/w.out" 2>/dev/null && break; sleep 0.05; done
measure "wlroots changing" "$sway" "${wayland[@]}"
kill "$changer"
sleep 1
measure "wlroots still" "$sway" "${wayland[@]}"
printf '%-22s %s\n' "wlroots pointer moved" "$(env "${wayland[@]}" "$build/bench/capture_change_latency_bench" 2>/dev/null)"

# GNOME: a headless Mutter 43 on a private session bus with PipeWire.
export build seconds
tests/gnome/session_bus.sh bash -c "$(declare -f server_ticks measure)"'
  mutter --headless --wayland --no-x11 --virtual-monitor "$0" >/dev/null 2>&1 &
  mutter=$!
  for _ in $(seq 100); do
    gdbus introspect --session --dest org.gnome.Mutter.ScreenCast --object-path /org/gnome/Mutter/ScreenCast \
      >/dev/null 2>&1 && break
    sleep 0.1
  done
  measure "GNOME changing" "$mutter" QOVA_DESKTOP_BACKEND=gnome
  measure "GNOME still" "$mutter" QOVA_DESKTOP_BACKEND=gnome QOVA_BENCH_STILL_SCREEN=1
  printf "%-22s %s\n" "GNOME pointer moved" "$(QOVA_DESKTOP_BACKEND=gnome "$build/bench/capture_change_latency_bench" 2>/dev/null)"
  kill -9 "$mutter"  # Mutter 43 asked to end after a screen cast does not end' "${width}x${height}"
